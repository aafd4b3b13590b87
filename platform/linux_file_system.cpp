#include "linux_file_system.h"

#include "runtime_error.h"

#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>

#include <algorithm>
#include <array>

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

// Windows-1252 in 0x80..0x9F, eight to a row; the rest of the upper half is Latin-1.
// clang-format off
constexpr std::array<char16_t, 32> Cp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};
// clang-format on

QString decodeWindows1252(QByteArrayView bytes)
{
    QString text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80 && byte <= 0x9F) {
            text.append(QChar(Cp1252High[byte - 0x80]));
        } else {
            text.append(QChar(byte));
        }
    }
    return text;
}

constexpr QByteArrayView Utf8ByteOrderMark("\xEF\xBB\xBF");

} // namespace

TextLines::TextLines(QByteArray bytes)
    : m_bytes(std::move(bytes)), m_utf8(QByteArrayView(m_bytes).isValidUtf8())
{
    if (m_utf8 && m_bytes.startsWith(Utf8ByteOrderMark)) {
        m_next = Utf8ByteOrderMark.size();
    }
}

QString TextLines::next()
{
    // LF and CR are single bytes in both encodings, never part of another character.
    const qsizetype start = m_next;
    qsizetype end = m_bytes.indexOf('\n', start);
    if (end < 0) {
        end = m_bytes.size();
        m_next = end;
    } else {
        m_next = end + 1;
    }
    if (end > start && m_bytes.at(end - 1) == '\r') {
        --end;
    }
    const QByteArrayView line = QByteArrayView(m_bytes).sliced(start, end - start);
    return m_utf8 ? QString::fromUtf8(line) : decodeWindows1252(line);
}

std::optional<QByteArray> encodeWindows1252(QStringView text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (const QChar c : text) {
        const char16_t code = c.unicode();
        if (code < 0x80 || (code >= 0xA0 && code <= 0xFF)) {
            bytes.append(static_cast<char>(code));
            continue;
        }
        // The holes of Windows-1252 (0x81, 0x8D...) stand for themselves in the table.
        const auto high = std::find(Cp1252High.cbegin(), Cp1252High.cend(), code);
        if (high == Cp1252High.cend()) {
            return std::nullopt;
        }
        bytes.append(static_cast<char>(0x80 + (high - Cp1252High.cbegin())));
    }
    return bytes;
}

QStringList splitLines(const QByteArray &bytes)
{
    QStringList lines;
    for (TextLines text(bytes); !text.atEnd();) {
        lines.append(text.next());
    }
    return lines;
}

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
    // What an unprivileged writer may use, not the blocks kept for root.
    const QStorageInfo volume(existing.absoluteFilePath());
    return volume.isValid() && volume.isReady() ? volume.bytesAvailable() : -1;
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
