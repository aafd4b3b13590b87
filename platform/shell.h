#pragma once

#include <QString>

// The shell: where the user's language and temporary folder come from, and how
// a downloaded installer is started.
class Shell
{
public:
    virtual ~Shell() = default;

    // The language abbreviation the user chose (a locale name such as
    // "es_ES.UTF-8"); only "sLanguage" is known.
    virtual QString RegRead(const QString &name) = 0;

    // Only "%TEMP%" is known: the temporary folder without a trailing separator.
    virtual QString ExpandEnvironmentStrings(const QString &text) = 0;

    // Starts the file at filePath on its own, not waited for. Throws RuntimeError
    // when it cannot be started.
    virtual void Run(const QString &filePath) = 0;
};
