#include "linux_drives.h"

#include "diagnostics.h"
#include "file_system.h"
#include "linux_file_system.h"
#include "runtime_error.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace {

QSet<QString> names(std::initializer_list<const char *> list)
{
    QSet<QString> set;
    for (const char *name : list) {
        set.insert(QLatin1String(name));
    }
    return set;
}

// Kernel interfaces, plus read-only images (snaps, live media) nobody stores files on.
const QSet<QString> &pseudoTypes()
{
    // clang-format off
    static const QSet<QString> types = names({
        "proc", "sysfs", "cgroup", "cgroup2", "cpuset", "devpts", "devtmpfs", "devfs",
        "mqueue", "debugfs", "tracefs", "securityfs", "pstore", "bpf", "configfs",
        "fusectl", "hugetlbfs", "autofs", "binfmt_misc", "efivarfs", "nsfs", "rpc_pipefs",
        "nfsd", "selinuxfs", "smackfs", "sockfs", "pipefs", "anon_inodefs", "usbfs",
        "fuse.lxcfs", "fuse.portal", "fuse.gvfsd-fuse", "fuse.snapfuse", "squashfs",
        "erofs", "cramfs",
    });
    // clang-format on
    return types;
}

// File systems that hold the system's own trees; nothing mounted inside them is
// a place for user files.
const QSet<QString> &systemTreeTypes()
{
    static const QSet<QString> types = names({"proc", "sysfs", "devtmpfs", "devfs"});
    return types;
}

const QSet<QString> &networkTypes()
{
    // clang-format off
    static const QSet<QString> types = names({
        "nfs", "nfs4", "cifs", "smb3", "smbfs", "ncpfs", "sshfs", "fuse.sshfs", "9p",
        "virtiofs", "ceph", "fuse.ceph", "fuse.ceph-fuse", "glusterfs", "fuse.glusterfs",
        "davfs", "davfs2", "fuse.davfs", "fuse.davfs2", "afs", "openafs", "coda", "lustre",
        "beegfs", "gpfs", "orangefs", "pvfs2", "vboxsf", "vmhgfs", "fuse.vmhgfs-fuse",
        "fuse.rclone", "s3fs", "fuse.s3fs", "fuse.gcsfuse", "curlftpfs", "fuse.curlftpfs",
        "fuse.smbnetfs",
    });
    // clang-format on
    return types;
}

const QSet<QString> &ramTypes()
{
    static const QSet<QString> types = names({"tmpfs", "ramfs", "rootfs"});
    return types;
}

const QSet<QString> &opticalTypes()
{
    static const QSet<QString> types = names({"iso9660", "udf"});
    return types;
}

const QSet<QString> &localDiskTypes()
{
    // clang-format off
    static const QSet<QString> types = names({
        "ext2", "ext3", "ext4", "ext4dev", "xfs", "btrfs", "f2fs", "jfs", "reiserfs",
        "reiser4", "zfs", "bcachefs", "nilfs2", "hfs", "hfsplus", "apfs", "ufs", "minix",
        "overlay", "aufs", "ecryptfs", "vfat", "msdos", "fat", "umsdos", "exfat", "ntfs",
        "ntfs3", "fuseblk", "hpfs", "qnx4",
    });
    // clang-format on
    return types;
}

// "server:/export", "//server/share", "sshfs#user@host:", "remote:" name a remote source.
bool namesRemoteSource(const QString &device)
{
    static const QRegularExpression hostColon(QStringLiteral("^[^/\\s]+:"));
    return device.startsWith(QLatin1String("//")) || hostColon.match(device).hasMatch();
}

bool isOpticalDevice(const QString &device)
{
    static const QRegularExpression optical(QStringLiteral("^/dev/(sr|scd)\\d+$|^/dev/cdrom"));
    return optical.match(device).hasMatch();
}

bool answersStatvfs(const QString &mountPoint, struct statvfs &result)
{
    return ::statvfs(QFile::encodeName(mountPoint).constData(), &result) == 0;
}

// A volume mounted over a file (containers bind their /etc/hosts that way).
bool isMountedOverFile(const QString &mountPoint)
{
    struct stat status = {};
    return ::stat(QFile::encodeName(mountPoint).constData(), &status) == 0 &&
           !S_ISDIR(status.st_mode);
}

} // namespace

QString decodeMountField(const QByteArray &field)
{
    const auto isOctal = [](char c) { return c >= '0' && c <= '7'; };
    QByteArray bytes;
    bytes.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field.at(i) == '\\' && i + 3 < field.size() && isOctal(field.at(i + 1)) &&
            isOctal(field.at(i + 2)) && isOctal(field.at(i + 3))) {
            bytes.append(static_cast<char>(((field.at(i + 1) - '0') << 6) |
                                           ((field.at(i + 2) - '0') << 3) |
                                           (field.at(i + 3) - '0')));
            i += 3;
        } else {
            bytes.append(field.at(i));
        }
    }
    return QFile::decodeName(bytes);
}

std::optional<Volume> parseMountLine(const QByteArray &line)
{
    const QList<QByteArray> fields = line.simplified().split(' ');
    if (fields.size() < 3 || fields.at(0).isEmpty()) {
        return std::nullopt;
    }
    return Volume{decodeMountField(fields.at(1)), decodeMountField(fields.at(0)),
                  decodeMountField(fields.at(2))};
}

bool isPseudoFileSystem(const QString &fsType)
{
    return pseudoTypes().contains(fsType);
}

QList<Volume> storageVolumes(const QList<Volume> &mounted)
{
    QList<Volume> visible;
    for (const Volume &volume : mounted) {
        visible.removeIf([&](const Volume &v) { return v.mountPoint == volume.mountPoint; });
        visible.append(volume);
    }

    QList<QString> systemTrees;
    for (const Volume &volume : std::as_const(visible)) {
        if (systemTreeTypes().contains(volume.fsType) && volume.mountPoint != QLatin1String("/")) {
            systemTrees.append(volume.mountPoint + QLatin1Char('/'));
        }
    }
    const auto insideSystemTree = [&](const QString &mountPoint) {
        return std::any_of(systemTrees.cbegin(), systemTrees.cend(),
                           [&](const QString &tree) { return mountPoint.startsWith(tree); });
    };

    QList<Volume> result;
    for (const Volume &volume : std::as_const(visible)) {
        if (!isPseudoFileSystem(volume.fsType) && !insideSystemTree(volume.mountPoint)) {
            result.append(volume);
        }
    }
    return result;
}

int classifyDrive(const QString &fsType, const QString &device, bool removable)
{
    if (networkTypes().contains(fsType) || namesRemoteSource(device)) {
        return DriveType::Network;
    }
    if (ramTypes().contains(fsType)) {
        return DriveType::RamDisk;
    }
    // Before the removable flag: a CD drive reports itself removable too.
    if (opticalTypes().contains(fsType) || isOpticalDevice(device)) {
        return DriveType::Optical;
    }
    if (removable) {
        return DriveType::Removable;
    }
    if (localDiskTypes().contains(fsType)) {
        return DriveType::Fixed;
    }
    return DriveType::Unknown;
}

bool isRemovableDevice(const QString &device, const QString &sysClassBlock)
{
    if (!device.startsWith(QLatin1String("/dev/"))) {
        return false;
    }
    // /dev/disk/by-label/x, /dev/mapper/x and the like are links to the node.
    const QString node = QFileInfo(device).canonicalFilePath();
    const QString name = QFileInfo(node.isEmpty() ? device : node).fileName();
    const QFileInfo entry(sysClassBlock + QLatin1Char('/') + name);
    if (name.isEmpty() || !entry.exists()) {
        return false;
    }
    QString deviceDir = entry.canonicalFilePath();
    if (QFileInfo::exists(deviceDir + QLatin1String("/partition"))) {
        deviceDir = QFileInfo(deviceDir).path();
    }
    QFile flag(deviceDir + QLatin1String("/removable"));
    return flag.open(QIODevice::ReadOnly) && flag.readAll().trimmed() == "1";
}

LinuxMountTable::LinuxMountTable(QString path) : m_path(std::move(path)) {}

QList<Volume> LinuxMountTable::volumes()
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        throw RuntimeError(ErrorNumber::DeviceIo, QStringLiteral("Cannot read the mount table "
                                                                 "\"%1\": %2")
                                                      .arg(m_path, file.errorString()));
    }
    QList<Volume> mounted;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (const std::optional<Volume> volume = parseMountLine(line)) {
            mounted.append(*volume);
        }
    }
    QList<Volume> result = storageVolumes(mounted);
    // A network volume is not asked: a server that went away would hang the list.
    result.removeIf([](const Volume &v) {
        const bool hidden = classifyDrive(v.fsType, v.device, false) != DriveType::Network &&
                            isMountedOverFile(v.mountPoint);
        if (hidden) {
            qCInfo(lcFolder).noquote()
                << QStringLiteral("%1 is left out: it is mounted over a file").arg(v.mountPoint);
        }
        return hidden;
    });
    return result;
}

QString LinuxManagementService::FreeSpace(const QString &designation)
{
    const QList<Volume> volumes = LinuxMountTable().volumes();
    const bool known = std::any_of(volumes.cbegin(), volumes.cend(),
                                   [&](const Volume &v) { return v.mountPoint == designation; });
    if (!known) {
        throw RuntimeError(ErrorNumber::DeviceIo,
                           QStringLiteral("No volume is mounted at \"%1\"").arg(designation));
    }
    const std::optional<qint64> available = availableBytes(designation);
    if (!available) {
        throw RuntimeError(ErrorNumber::DeviceIo,
                           QStringLiteral("Cannot read the free space of \"%1\": %2")
                               .arg(designation, QString::fromLocal8Bit(std::strerror(errno))));
    }
    return QString::number(*available);
}

std::optional<qint64> availableBytes(const QString &path)
{
    struct statvfs status = {};
    if (!answersStatvfs(path, status)) {
        return std::nullopt;
    }
    const unsigned long long unit = status.f_frsize != 0 ? status.f_frsize : status.f_bsize;
    const unsigned long long bytes = static_cast<unsigned long long>(status.f_bavail) * unit;
    return static_cast<qint64>(
        std::min<unsigned long long>(bytes, std::numeric_limits<qint64>::max()));
}

DriveInfo LinuxFileSystem::GetDrive(const QString &designation)
{
    const QList<Volume> volumes = m_mounts.volumes();
    const auto found = std::find_if(volumes.crbegin(), volumes.crend(),
                                    [&](const Volume &v) { return v.mountPoint == designation; });
    if (found == volumes.crend()) {
        throw RuntimeError(
            ErrorNumber::DeviceIo,
            QStringLiteral("Device unavailable: no volume is mounted at \"%1\"").arg(designation));
    }
    DriveInfo drive;
    const bool removable = isRemovableDevice(found->device);
    drive.drivetype = classifyDrive(found->fsType, found->device, removable);
    struct statvfs status = {};
    drive.IsReady = answersStatvfs(designation, status);
    qCInfo(lcFolder).noquote() << QStringLiteral("%1: %2 (%3%4), drive type %5, %6")
                                      .arg(designation, found->device, found->fsType,
                                           removable ? QStringLiteral(", removable") : QString(),
                                           QString::number(drive.drivetype),
                                           drive.IsReady ? QStringLiteral("ready")
                                                         : QStringLiteral("not ready"));
    return drive;
}
