#include "target_file.h"

#include "diagnostics.h"
#include "runtime_error.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

int errorNumberOf(int error)
{
    switch (error) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return ErrorNumber::DiskFull;
    case EACCES:
    case EPERM:
    case EROFS:
    case ENOENT:
    case ENOTDIR:
    case EEXIST:
    case EISDIR:
        return ErrorNumber::PathAccess;
    default:
        return ErrorNumber::DeviceIo;
    }
}

QString kindOf(mode_t mode)
{
    if (S_ISDIR(mode)) {
        return QStringLiteral("a folder");
    }
    if (S_ISFIFO(mode)) {
        return QStringLiteral("a FIFO");
    }
    if (S_ISSOCK(mode)) {
        return QStringLiteral("a socket");
    }
    return QStringLiteral("a device");
}

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

TargetFile::TargetFile(const QString &path, const ReleasePin &pin)
    : m_path(path), m_partPath(partPath(path)), m_pin(pin)
{
    if (m_pin.pinsDigest()) {
        m_sha256 = std::make_unique<BackgroundSha256>();
    }
    createPart();
    m_pending.reserve(BlockBytes);
}

TargetFile::~TargetFile()
{
    if (!m_finished) {
        discard();
    }
}

qint64 TargetFile::reclaimableBytes(const QString &path)
{
    struct stat status = {};
    if (::lstat(QFile::encodeName(partPath(path)).constData(), &status) != 0 ||
        !S_ISREG(status.st_mode) || status.st_nlink != 1) {
        return 0;
    }
    return status.st_size;
}

void TargetFile::createPart()
{
    const QByteArray part = QFile::encodeName(m_partPath);
    // Exclusive and never through a link: whatever stood at the name, the bytes
    // go only into a file made here. Something put back between the removal and
    // the creation is removed again, a few times at most.
    for (int round = 0; round < 3; ++round) {
        m_writer.reset(
            ::open(part.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (m_writer.isValid()) {
            break;
        }
        if (errno != EEXIST) {
            fail(QStringLiteral("Cannot create \"%1\""), errno);
        }
        struct stat stale = {};
        if (::lstat(part.constData(), &stale) != 0) {
            continue; // gone meanwhile
        }
        // A plain file or a link is what an earlier run, or a copy, leaves:
        // removing the name touches neither what a link leads to nor another
        // name of the same file.
        if (!S_ISREG(stale.st_mode) && !S_ISLNK(stale.st_mode)) {
            throw RuntimeError(ErrorNumber::PathAccess,
                               QStringLiteral("Cannot create \"%1\": %2 is in the way there. "
                                              "Nothing was changed; move it away and try again.")
                                   .arg(m_partPath, kindOf(stale.st_mode)));
        }
        if (::unlink(part.constData()) != 0 && errno != ENOENT) {
            fail(QStringLiteral("Cannot replace \"%1\""), errno);
        }
    }
    if (!m_writer.isValid()) {
        fail(QStringLiteral("Cannot create \"%1\""), EEXIST);
    }
    // Read back later by what starts the release, which a writer held open
    // would keep from running. Opened now, while the name is surely ours.
    m_reader.reset(::open(part.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!m_reader.isValid() || !partIsOurs()) {
        const int error = m_reader.isValid() ? EEXIST : errno;
        m_reader.reset();
        m_writer.reset();
        fail(QStringLiteral("Cannot open \"%1\" again after creating it"), error);
    }
}

bool TargetFile::partIsOurs() const
{
    struct stat atName = {};
    struct stat made = {};
    return ::lstat(QFile::encodeName(m_partPath).constData(), &atName) == 0 &&
           ::fstat(m_reader.get(), &made) == 0 && S_ISREG(atName.st_mode) && sameFile(atName, made);
}

void TargetFile::write(const QByteArray &bytes)
{
    m_received += bytes.size();
    // At once, not at the end: a body that never ends must not fill the disk.
    if (m_pin.pinsSize() && m_received > m_pin.size) {
        refuse(QStringLiteral("it is larger than the %1 bytes the manifest lists; the transfer "
                              "was stopped")
                   .arg(m_pin.size));
    }
    m_pending.append(bytes);
    if (m_pending.size() >= BlockBytes) {
        writePending();
    }
}

void TargetFile::restart()
{
    m_pending.resize(0);
    m_received = 0;
    m_written = 0;
    m_writtenBack = 0;
    if (m_pin.pinsDigest()) {
        m_sha256 = std::make_unique<BackgroundSha256>();
    }
    if (::ftruncate(m_writer.get(), 0) != 0 || ::lseek(m_writer.get(), 0, SEEK_SET) != 0) {
        fail(QStringLiteral("Cannot empty \"%1\""), errno);
    }
}

ReleaseFile TargetFile::finish()
{
    writePending();
    checkPin();
    // On the disk before it takes the name: after a power cut the name must
    // not hold an empty or partial file.
    if (::fsync(m_writer.get()) != 0) {
        fail(QStringLiteral("Cannot write \"%1\" to the disk"), errno);
    }
    m_writer.reset();
    const QByteArray part = QFile::encodeName(m_partPath);
    const QByteArray final = QFile::encodeName(m_path);
    // Whatever has taken the .part's name since is not to be given the
    // release's. A stranger slipped in between this check and the rename is
    // caught by the one after it.
    if (!partIsOurs()) {
        throw RuntimeError(ErrorNumber::PathAccess,
                           QStringLiteral("\"%1\" was replaced while the download was written to "
                                          "it; nothing was started")
                               .arg(m_partPath));
    }
    // rename(2) replaces an older file, or a link, in one step, where QFile::rename
    // would refuse to, or remove it first and leave a moment with neither.
    if (std::rename(part.constData(), final.constData()) != 0) {
        const int error = errno;
        throw RuntimeError(ErrorNumber::PathAccess,
                           QStringLiteral("Cannot rename \"%1\" to \"%2\": %3")
                               .arg(m_partPath, m_path, qt_error_string(error)));
    }
    m_finished = true;
    struct stat atName = {};
    struct stat made = {};
    if (::lstat(final.constData(), &atName) != 0 || ::fstat(m_reader.get(), &made) != 0 ||
        !sameFile(atName, made)) {
        throw RuntimeError(ErrorNumber::PathAccess,
                           QStringLiteral("\"%1\" was replaced while the download was written to "
                                          "it; nothing was started")
                               .arg(m_partPath));
    }
    // The rename itself on the disk too.
    const QByteArray folder = QFile::encodeName(QFileInfo(m_path).absolutePath());
    if (const FileDescriptor directory(
            ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        !directory.isValid() || ::fsync(directory.get()) != 0) {
        // Some file systems cannot sync a folder; the file itself is on the disk.
        qCInfo(lcDownload).noquote()
            << QStringLiteral("Cannot write the folder of %1 to the disk: %2")
                   .arg(m_path, qt_error_string(errno));
    }
    return {m_path, std::move(m_reader)};
}

void TargetFile::checkPin()
{
    if (m_pin.pinsSize() && m_received != m_pin.size) {
        refuse(QStringLiteral("it has %1 bytes, the manifest lists %2")
                   .arg(m_received)
                   .arg(m_pin.size));
    }
    if (m_sha256) {
        QByteArray digest;
        try {
            digest = m_sha256->result();
        } catch (const std::exception &error) {
            throw RuntimeError(ErrorNumber::DeviceIo,
                               QStringLiteral("Cannot work out the SHA-256 of \"%1\": %2")
                                   .arg(m_partPath, QString::fromLocal8Bit(error.what())));
        }
        if (digest != m_pin.sha256) {
            refuse(QStringLiteral("its SHA-256 is %1, the manifest lists %2")
                       .arg(QString::fromLatin1(digest.toHex()),
                            QString::fromLatin1(m_pin.sha256.toHex())));
        }
        qCInfo(lcDownload).noquote()
            << "SHA-256 as the manifest lists:" << QString::fromLatin1(digest.toHex());
    }
}

void TargetFile::discard()
{
    m_pending.clear();
    m_writer.reset();
    // Only the file made here: what has taken its name since is not ours to delete.
    if (m_reader.isValid() && partIsOurs()) {
        ::unlink(QFile::encodeName(m_partPath).constData());
    }
    m_reader.reset();
    m_finished = true;
}

void TargetFile::writePending()
{
    const char *data = m_pending.constData();
    qint64 left = m_pending.size();
    while (left > 0) {
        // A write cut short (a disk filling up) is tried again for the rest,
        // which then fails with the reason.
        const ssize_t written = ::write(m_writer.get(), data, size_t(left));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            fail(QStringLiteral("Cannot write to \"%1\""), written < 0 ? errno : ENOSPC);
        }
        data += written;
        left -= written;
    }
    m_written += m_pending.size();
    // Started now, not waited for: the sync before the rename then finds little
    // left to write, where it would otherwise write the whole file at the end.
    if (m_written - m_writtenBack >= WritebackBytes) {
        ::sync_file_range(m_writer.get(), m_writtenBack, m_written - m_writtenBack,
                          SYNC_FILE_RANGE_WRITE);
        m_writtenBack = m_written;
    }
    if (m_sha256 && !m_pending.isEmpty()) {
        // Handed over whole; the next block goes into one already hashed.
        m_sha256->addData(std::exchange(m_pending, m_sha256->spareBlock()));
        m_pending.reserve(BlockBytes);
    } else {
        m_pending.resize(0);
    }
}

void TargetFile::refuse(const QString &why) const
{
    // The file goes when this does, before anyone reads the message.
    throw RuntimeError(ErrorNumber::ReleaseMismatch,
                       QStringLiteral("The download of \"%1\" is not the listed release: %2. "
                                      "It was deleted and nothing was started.")
                           .arg(m_path, why));
}

void TargetFile::fail(const QString &what, int error) const
{
    throw RuntimeError(errorNumberOf(error),
                       what.arg(m_partPath) + QLatin1String(": ") + qt_error_string(error));
}
