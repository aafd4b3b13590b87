#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <optional>

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

// Text as Windows-1252 bytes, for adding to a text in that encoding; nothing
// when a character has no place in it.
std::optional<QByteArray> encodeWindows1252(QStringView text);
