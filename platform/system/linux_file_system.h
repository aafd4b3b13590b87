#pragma once

#include "file_system.h"

class MountTable;

class LinuxFileSystem final : public FileSystem
{
public:
    explicit LinuxFileSystem(MountTable &mounts);

    bool FileExists(const QString &path) override;
    std::unique_ptr<TextStream> OpenTextFile(const QString &path) override;
    void DeleteFile(const QString &path) override;
    qint64 FreeBytes(const QString &folder) override;
    DriveInfo GetDrive(const QString &designation) override;

private:
    MountTable &m_mounts;
};
