#include "linux_file_system.h"

#include "runtime_error.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <array>

namespace {

// The largest text file read whole; a manifest is a few kilobytes.
constexpr qint64 MaxTextFileBytes = 16 * 1024 * 1024;

// Lines are cut from the text as they are read: a manifest of thousands of
// entries is read while the user waits for the window.
class LineStream final : public TextStream
{
public:
    explicit LineStream(QString text) : m_text(std::move(text)) {}

    bool AtEndOfStream() const override { return m_next >= m_text.size(); }

    QString ReadLine() override
    {
        if (AtEndOfStream()) {
            throw RuntimeError(ErrorNumber::InvalidCall, QStringLiteral("Input past end of file"));
        }
        return takeLine(m_text, m_next);
    }

    void Close() override
    {
        m_text.clear();
        m_next = 0;
    }

private:
    QString m_text;
    qsizetype m_next = 0;
};

// Windows-1252 in 0x80..0x9F; the rest of the upper half is Latin-1.
constexpr std::array<char16_t, 32> Cp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

QString decodeWindows1252(const QByteArray &bytes)
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

} // namespace

QString decodeText(const QByteArray &bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (utf8.hasError()) {
        return decodeWindows1252(bytes);
    }
    if (text.startsWith(QChar(0xFEFF))) {
        text.remove(0, 1);
    }
    return text;
}

QString takeLine(const QString &text, qsizetype &position)
{
    const qsizetype start = position;
    qsizetype end = text.indexOf(QLatin1Char('\n'), start);
    if (end < 0) {
        end = text.size();
        position = end;
    } else {
        position = end + 1;
    }
    if (end > start && text.at(end - 1) == QLatin1Char('\r')) {
        --end;
    }
    return text.mid(start, end - start);
}

QStringList splitLines(const QString &text)
{
    QStringList lines;
    for (qsizetype position = 0; position < text.size();) {
        lines.append(takeLine(text, position));
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
        throw RuntimeError(ErrorNumber::PathAccess,
                           QStringLiteral("\"%1\" is larger than %2 bytes")
                               .arg(path).arg(MaxTextFileBytes));
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        throw RuntimeError(ErrorNumber::DeviceIo,
                           QStringLiteral("Cannot read \"%1\": %2").arg(path, file.errorString()));
    }
    return std::make_unique<LineStream>(decodeText(bytes));
}

void LinuxFileSystem::DeleteFile(const QString &path)
{
    QFile file(path);
    if (!file.exists()) {
        return;
    }
    if (!file.remove()) {
        throw RuntimeError(ErrorNumber::PermissionDenied,
                           QStringLiteral("Cannot delete \"%1\": %2")
                               .arg(path, file.errorString()));
    }
}
