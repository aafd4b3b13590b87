#include "linux_drives.h"

#include "linux_file_system.h"
#include "runtime_error.h"

#include <QStorageInfo>

QList<Volume> LinuxMountTable::volumes()
{
    QList<Volume> result;
    for (const QStorageInfo &info : QStorageInfo::mountedVolumes()) {
        result.append({info.rootPath(), QString::fromLocal8Bit(info.device()),
                       QString::fromLatin1(info.fileSystemType())});
    }
    return result;
}

QString LinuxManagementService::FreeSpace(const QString &designation)
{
    const QStorageInfo info(designation);
    if (!info.isValid()) {
        throw RuntimeError(ErrorNumber::DeviceIo,
                           QStringLiteral("No volume at \"%1\"").arg(designation));
    }
    return QString::number(info.bytesAvailable());
}

DriveInfo LinuxFileSystem::GetDrive(const QString &designation)
{
    const QStorageInfo info(designation);
    return {DriveType::Fixed, info.isValid() && info.isReady()};
}
