#include "linux_stream.h"

#include "runtime_error.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

RuntimeError fileError(const QString &path, int error)
{
    const int number = error == ENOSPC                     ? ErrorNumber::DiskFull
                       : error == EACCES || error == EPERM ? ErrorNumber::PermissionDenied
                                                           : ErrorNumber::PathAccess;
    return RuntimeError(number, QStringLiteral("Cannot write \"%1\": %2")
                                    .arg(path, QString::fromLocal8Bit(std::strerror(error))));
}

} // namespace

void LinuxStream::SaveToFile(const QByteArray &bytes, const QString &path)
{
    // O_NOFOLLOW: a link planted at this path must not redirect the write.
    const QByteArray nativePath = QFile::encodeName(path);
    const int fd = ::open(nativePath.constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw fileError(path, errno);
    }
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + written,
                                  static_cast<size_t>(bytes.size() - written));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            throw fileError(path, error);
        }
        written += n;
    }
    if (::close(fd) != 0) {
        throw fileError(path, errno);
    }
}
