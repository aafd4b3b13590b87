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

    // Starts the file at filePath on its own, not waited for. The caller holds it
    // open as descriptor and has checked that the path still leads to it: what
    // decides how it starts is read, and its mode changed, through descriptor,
    // never through the path. Throws RuntimeError when it cannot be started.
    virtual void Run(const QString &filePath, int descriptor) = 0;
};
