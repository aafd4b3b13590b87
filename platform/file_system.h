#pragma once

#include <QString>
#include <QStringList>

#include <memory>

// A text file read line by line; line ends (LF or CRLF) are never part of a line.
class TextStream
{
public:
    virtual ~TextStream() = default;
    virtual bool AtEndOfStream() const = 0;
    virtual QString ReadLine() = 0;
    virtual void Close() = 0;
};

// Drive types, as the file-system object reports them.
namespace DriveType {
inline constexpr int Unknown = 0;
inline constexpr int Removable = 1;
inline constexpr int Fixed = 2;
inline constexpr int Network = 3;
inline constexpr int Optical = 4;
inline constexpr int RamDisk = 5;
}

struct DriveInfo
{
    int drivetype = DriveType::Unknown;
    bool IsReady = false;
};

class FileSystem
{
public:
    virtual ~FileSystem() = default;

    virtual bool FileExists(const QString &path) = 0;

    // Opens a text file for reading. Throws RuntimeError when it cannot be read.
    virtual std::unique_ptr<TextStream> OpenTextFile(const QString &path) = 0;

    // Deletes a file. Throws RuntimeError when it exists and cannot be removed.
    virtual void DeleteFile(const QString &path) = 0;

    // The bytes a download may still write in folder's volume (that of the
    // nearest folder above it, for one not made yet); -1 when that cannot be told.
    virtual qint64 FreeBytes(const QString &folder) = 0;

    // A drive is a mounted volume, designated by its mount point. Throws
    // RuntimeError for a designation that is not a mount point.
    virtual DriveInfo GetDrive(const QString &designation) = 0;
};
