#pragma once

#include <QList>
#include <QLocale>
#include <QString>

class Shell;

namespace Language {
inline constexpr qint16 Spanish = 1;
inline constexpr qint16 English = 2;
inline constexpr qint16 French = 3;
inline constexpr qint16 German = 4;
inline constexpr qint16 Portuguese = 5;
}

// Texts by language (0 to 5) and message number; cells never assigned read empty.
class MessageTable
{
public:
    // Sizes the table to languages 0 to 5 and messages 0 to lastMessage, keeping
    // every stored cell.
    void resize(int lastMessage);
    void set(int language, int message, const QString &text);
    // Throws RuntimeError outside the table, like any index out of range.
    QString at(int language, int message) const;
    int lastMessage() const;

private:
    static constexpr int LanguageCount = 6;
    QList<QList<QString>> m_cells;
};

// The process-wide table and the current language as decimal text ("1" to "5").
extern MessageTable Messages;
extern QString LanguageId;

// Reads the user's language, builds Messages, and returns the language number.
qint16 InitLanguage(Shell &shell);

// Message n in the current language.
QString message(int n);

// The locale of a language number, for its number formats and for Qt's own
// translations; English for any number outside 1 to 5.
QLocale languageLocale(int language);
