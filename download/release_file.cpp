#include "release_file.h"

#include "runtime_error.h"
#include "sha256.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void failOn(const QString &path, int error)
{
    throw RuntimeError(ErrorNumber::PathAccess,
                       QStringLiteral("Cannot open \"%1\": %2").arg(path, qt_error_string(error)));
}

} // namespace

ReleaseFile ReleaseFile::open(const QString &path)
{
    const QFileInfo info(path);
    FileDescriptor folder(::open(QFile::encodeName(info.absolutePath()).constData(),
                                 O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.isValid()) {
        failOn(path, errno);
    }
    // Non-blocking, so that a FIFO at the name cannot hold the program up.
    FileDescriptor descriptor(::openat(folder.get(), QFile::encodeName(info.fileName()).constData(),
                                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!descriptor.isValid()) {
        if (errno == ELOOP) {
            throw RuntimeError(ErrorNumber::PathAccess,
                               QStringLiteral("\"%1\" is a symbolic link, not a file of its own; "
                                              "it is not started")
                                   .arg(path));
        }
        failOn(path, errno);
    }
    struct stat status = {};
    if (::fstat(descriptor.get(), &status) != 0) {
        failOn(path, errno);
    }
    if (!S_ISREG(status.st_mode)) {
        throw RuntimeError(
            ErrorNumber::PathAccess,
            QStringLiteral("\"%1\" is not a regular file; it is not started").arg(path));
    }
    return {path, std::move(folder), std::move(descriptor)};
}

ReleaseFile::ReleaseFile(const QString &path, FileDescriptor folder, FileDescriptor descriptor,
                         const QByteArray &digest)
    : m_path(path), m_name(QFile::encodeName(QFileInfo(path).fileName())),
      m_folder(std::move(folder)), m_descriptor(std::move(descriptor)), m_digest(digest)
{
    struct stat status = {};
    if (::fstat(m_descriptor.get(), &status) != 0) {
        failOn(path, errno);
    }
    m_identity = identityOf(status);
}

ReleaseFile::Identity ReleaseFile::identityOf(const struct stat &status)
{
    constexpr qint64 NsPerSecond = 1000 * 1000 * 1000;
    return {status.st_dev, status.st_ino, status.st_size,
            qint64(status.st_mtim.tv_sec) * NsPerSecond + status.st_mtim.tv_nsec,
            qint64(status.st_ctim.tv_sec) * NsPerSecond + status.st_ctim.tv_nsec};
}

CheckedFile ReleaseFile::checked(const QByteArray &pin) const
{
    return {m_path, m_descriptor.get(), m_folder.get(), pin.isEmpty() ? m_digest : pin};
}

QByteArray ReleaseFile::sha256() const
{
    const FileDigest file = sha256OfDescriptor(m_descriptor.get(), m_path);
    if (!file.error.isEmpty()) {
        throw RuntimeError(ErrorNumber::DeviceIo, file.error);
    }
    return file.digest;
}

bool ReleaseFile::isUnchangedAtPath() const
{
    struct stat atPath = {};
    struct stat held = {};
    if (::fstatat(m_folder.get(), m_name.constData(), &atPath, AT_SYMLINK_NOFOLLOW) != 0 ||
        ::fstat(m_descriptor.get(), &held) != 0 || !S_ISREG(atPath.st_mode)) {
        return false;
    }
    // The name leads to the file held, and nothing about it moved: a write
    // changes its modification time, and anything at all its change time,
    // which no one can set back.
    return identityOf(atPath) == m_identity && identityOf(held) == m_identity;
}
