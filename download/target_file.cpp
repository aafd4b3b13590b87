#include "target_file.h"

#include "runtime_error.h"

#include <QFileInfo>

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

TargetFile::TargetFile(const QString &path) : m_file(path)
{
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
    m_pending.append(bytes);
    if (m_pending.size() >= BlockBytes) {
        writePending();
    }
}

void TargetFile::finish()
{
    writePending();
    m_file.close();
    if (m_file.error() != QFileDevice::NoError) {
        fail(QStringLiteral("Cannot close \"%1\""));
    }
    m_finished = true;
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
    m_pending.resize(0);
}

void TargetFile::fail(const QString &what) const
{
    throw RuntimeError(errorNumberOf(m_file),
                       what.arg(m_file.fileName()) + QLatin1String(": ") + m_file.errorString());
}
