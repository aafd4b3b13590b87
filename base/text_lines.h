#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <optional>
#include <type_traits>

// Text as the vendor may have saved it: UTF-8 when the bytes are valid UTF-8
// (a byte order mark starting a line is dropped), else Windows-1252. Lines end at LF; a CR
// before the LF, and a final empty line, are dropped. Each line is decoded as
// it is read, so a large text is never held decoded whole.
class TextLines
{
public:
    explicit TextLines(QByteArray bytes);

    bool atEnd() const { return m_next >= m_bytes.size(); }
    // The next line; an empty string at the end.
    QString next();

private:
    QByteArray m_bytes;
    qsizetype m_next = 0;
    bool m_utf8 = true;
};

// All the lines of the text, by the rules above.
QStringList splitLines(const QByteArray &bytes);

// The encoding TextLines reads bytes in.
enum class TextEncoding { Utf8, Windows1252 };
TextEncoding textEncodingOf(QByteArrayView bytes);

// Text as Windows-1252 bytes, for adding to a text in that encoding; nothing
// when a character has no place in it.
std::optional<QByteArray> encodeWindows1252(QStringView text);
// Text in the encoding given; nothing when it cannot hold every character.
std::optional<QByteArray> encodeText(QStringView text, TextEncoding encoding);

// The tab-separated field of line that starts at from and runs to the next tab
// or the end; from is moved past that tab, or to -1 after the last field. For
// decoded text and for bytes alike: a tab is one byte in both encodings.
template <typename View> View nextTabField(View line, qsizetype &from)
{
    if (from < 0) {
        return {};
    }
    const qsizetype end = line.indexOf(std::remove_const_t<typename View::value_type>(u'\t'), from);
    const View field = end < 0 ? line.sliced(from) : line.sliced(from, end - from);
    from = end < 0 ? -1 : end + 1;
    return field;
}
