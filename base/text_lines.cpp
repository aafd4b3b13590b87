#include "text_lines.h"

#include <algorithm>
#include <array>

namespace {

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

TextEncoding textEncodingOf(QByteArrayView bytes)
{
    return bytes.isValidUtf8() ? TextEncoding::Utf8 : TextEncoding::Windows1252;
}

TextLines::TextLines(QByteArray bytes)
    : m_bytes(std::move(bytes)), m_utf8(textEncodingOf(m_bytes) == TextEncoding::Utf8)
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

std::optional<QByteArray> encodeText(QStringView text, TextEncoding encoding)
{
    if (encoding == TextEncoding::Utf8) {
        return text.toUtf8();
    }
    return encodeWindows1252(text);
}

QStringList splitLines(const QByteArray &bytes)
{
    QStringList lines;
    for (TextLines text(bytes); !text.atEnd();) {
        lines.append(text.next());
    }
    return lines;
}
