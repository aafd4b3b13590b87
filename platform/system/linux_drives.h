#pragma once

#include "management_service.h"
#include "mount_table.h"

#include <QByteArray>

#include <optional>

// The mount table as /proc/self/mounts lists it, without the system's own
// pseudo file systems and without what is mounted inside them.
class LinuxMountTable final : public MountTable
{
public:
    explicit LinuxMountTable(QString path = QStringLiteral("/proc/self/mounts"));
    QList<Volume> volumes() override;

private:
    QString m_path;
};

// Free space through statvfs, as the bytes an ordinary user may still write.
class LinuxManagementService final : public ManagementService
{
public:
    QString FreeSpace(const QString &designation) override;
};

// One line of a mounts file ("device mountpoint type options dump pass"), with
// the octal escapes (\040 for a blank) decoded. Nothing for a malformed line.
std::optional<Volume> parseMountLine(const QByteArray &line);

// A mounts field with its \ooo escapes turned back into the bytes they stand for.
QString decodeMountField(const QByteArray &field);

// File systems that hold no user files: kernel interfaces and read-only images.
bool isPseudoFileSystem(const QString &fsType);

// The volumes worth offering as drives: a later mount at the same point hides
// the earlier one, and pseudo file systems, and anything mounted inside one
// (such as /dev/shm or /sys/fs/cgroup), are left out.
QList<Volume> storageVolumes(const QList<Volume> &mounted);

// The drive type (DriveType) of a volume from its file-system type, its device
// and whether that device is removable.
int classifyDrive(const QString &fsType, const QString &device, bool removable);

// The bytes an unprivileged writer may still use on the volume of path, not
// the blocks kept for root; nothing when the volume does not answer. The one
// reading of free space: the folder dialog shows it, the download checks it.
std::optional<qint64> availableBytes(const QString &path);

// Whether the block device behind a device path is removable, as the kernel
// says in <sysClassBlock>/<disk>/removable; a partition answers for its disk.
bool isRemovableDevice(const QString &device,
                       const QString &sysClassBlock = QStringLiteral("/sys/class/block"));
