#include "target_file.h"

#include "diagnostics.h"
#include "runtime_error.h"

#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <utility>

namespace {

int errorNumberOf(const QFile &file)
{
    switch (file.error()) {
    case QFileDevice::OpenError:
    case QFileDevice::PermissionsError:
        return ErrorNumber::PathAccess;
    case QFileDevice::ResourceError:
        return ErrorNumber::DiskFull;
    default:
        return ErrorNumber::DeviceIo;
    }
}

} // namespace

TargetFile::TargetFile(const QString &path, const ReleasePin &pin)
    : m_path(path), m_file(partPath(path)), m_pin(pin)
{
    if (m_pin.pinsDigest()) {
        m_sha256 = std::make_unique<BackgroundSha256>();
    }
    // Unbuffered: the blocks are gathered here, and a failed write then
    // reports the system's reason instead of an unspecified one.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        fail(QStringLiteral("Cannot open \"%1\" for writing"));
    }
    m_pending.reserve(BlockBytes);
}

TargetFile::~TargetFile()
{
    if (!m_finished) {
        discard();
    }
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
    if (m_pin.pinsDigest()) {
        m_sha256 = std::make_unique<BackgroundSha256>();
    }
    if (!m_file.resize(0) || !m_file.seek(0)) {
        fail(QStringLiteral("Cannot empty \"%1\""));
    }
}

void TargetFile::finish()
{
    writePending();
    m_file.close();
    if (m_file.error() != QFileDevice::NoError) {
        fail(QStringLiteral("Cannot close \"%1\""));
    }
    checkPin();
    // rename(2) replaces an older file in one step, where QFile::rename would
    // refuse to, or remove it first and leave a moment with neither.
    if (std::rename(QFile::encodeName(m_file.fileName()).constData(),
                    QFile::encodeName(m_path).constData()) != 0) {
        const QString reason = qt_error_string(errno);
        throw RuntimeError(ErrorNumber::PathAccess,
                           QStringLiteral("Cannot rename \"%1\" to \"%2\": %3")
                               .arg(m_file.fileName(), m_path, reason));
    }
    m_finished = true;
}

void TargetFile::checkPin()
{
    if (m_pin.pinsSize() && m_received != m_pin.size) {
        refuse(QStringLiteral("it has %1 bytes, the manifest lists %2")
                   .arg(m_received)
                   .arg(m_pin.size));
    }
    if (m_sha256) {
        const QByteArray digest = m_sha256->result();
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
    if (m_file.isOpen()) {
        m_file.close();
    }
    // Only what a download could have made: never a device or other special
    // file the path happened to name.
    const QFileInfo info(m_file.fileName());
    if (info.isSymLink() || info.isFile()) {
        m_file.remove();
    }
    m_finished = true;
}

void TargetFile::writePending()
{
    const char *data = m_pending.constData();
    qint64 left = m_pending.size();
    while (left > 0) {
        // A write cut short (a disk filling up) is tried again for the rest,
        // which then fails with the reason.
        const qint64 written = m_file.write(data, left);
        if (written <= 0) {
            fail(QStringLiteral("Cannot write to \"%1\""));
        }
        data += written;
        left -= written;
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

void TargetFile::fail(const QString &what) const
{
    throw RuntimeError(errorNumberOf(m_file),
                       what.arg(m_file.fileName()) + QLatin1String(": ") + m_file.errorString());
}
