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
    DriveInfo GetDrive(const QString &designation) override;

private:
    MountTable &m_mounts;
};

// Text as the vendor may have saved it: UTF-8 when the bytes are valid UTF-8
// (a byte order mark is dropped), else Windows-1252.
QString decodeText(const QByteArray &bytes);

// Lines split at LF; a CR before the LF, and a final empty line, are dropped.
QStringList splitLines(const QString &text);

// The line of text that starts at position, which moves past its end. The
// same rules as splitLines; there is a line left while position < size.
QString takeLine(const QString &text, qsizetype &position);
