#include "linux_file_system.h"

#include "linux_drives.h"
#include "runtime_error.h"
#include "text_lines.h"

#include <QFile>
#include <QFileInfo>

namespace {

// The largest text file read whole; a manifest is a few kilobytes.
constexpr qint64 MaxTextFileBytes = 16 * 1024 * 1024;

class LineStream final : public TextStream
{
public:
    explicit LineStream(QByteArray bytes) : m_lines(std::move(bytes)) {}

    bool AtEndOfStream() const override { return m_lines.atEnd(); }

    QString ReadLine() override
    {
        if (AtEndOfStream()) {
            throw RuntimeError(ErrorNumber::InvalidCall, QStringLiteral("Input past end of file"));
        }
        return m_lines.next();
    }

    void Close() override { m_lines = TextLines({}); }

private:
    TextLines m_lines;
};

} // namespace

LinuxFileSystem::LinuxFileSystem(MountTable &mounts) : m_mounts(mounts) {}

bool LinuxFileSystem::FileExists(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() && !info.isDir();
}

std::unique_ptr<TextStream> LinuxFileSystem::OpenTextFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        throw RuntimeError(ErrorNumber::FileNotFound,
                           QStringLiteral("Cannot read \"%1\": %2").arg(path, file.errorString()));
    }
    if (file.size() > MaxTextFileBytes) {
        throw RuntimeError(
            ErrorNumber::PathAccess,
            QStringLiteral("\"%1\" is larger than %2 bytes").arg(path).arg(MaxTextFileBytes));
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        throw RuntimeError(ErrorNumber::DeviceIo,
                           QStringLiteral("Cannot read \"%1\": %2").arg(path, file.errorString()));
    }
    return std::make_unique<LineStream>(bytes);
}

qint64 LinuxFileSystem::FreeBytes(const QString &folder)
{
    // A folder made only when the download starts takes its room from the
    // nearest one that is there.
    QFileInfo existing(folder);
    while (!existing.exists() && existing.absolutePath() != existing.absoluteFilePath()) {
        existing.setFile(existing.absolutePath());
    }
    return availableBytes(existing.absoluteFilePath()).value_or(-1);
}

void LinuxFileSystem::DeleteFile(const QString &path)
{
    QFile file(path);
    if (!file.exists()) {
        return;
    }
    if (!file.remove()) {
        throw RuntimeError(
            ErrorNumber::PermissionDenied,
            QStringLiteral("Cannot delete \"%1\": %2").arg(path, file.errorString()));
    }
}
