#pragma once

#include <QByteArray>
#include <QString>

// A file to start, held open since it was checked. What starts is read through
// the descriptors, never through the path: the path is only what the user
// knows it by.
struct CheckedFile
{
    QString path;
    // Read-only, on the very bytes that were checked.
    int descriptor = -1;
    // The folder it was checked in, where it starts.
    int folderDescriptor = -1;
    // What the bytes must hash to; empty when nothing pins them.
    QByteArray sha256;
};

// How a file is started: run itself when it is a program (a script with "#!" or
// an ELF executable), else handed to the desktop's default application.
enum class LaunchKind { Execute, OpenWithDesktop };
inline LaunchKind launchKindOf(const QByteArray &firstBytes)
{
    if (firstBytes.startsWith("#!") || firstBytes.startsWith("\177ELF")) {
        return LaunchKind::Execute;
    }
    return LaunchKind::OpenWithDesktop;
}

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

    // Starts file on its own, not waited for. The caller has checked it and
    // holds it open. Throws RuntimeError when it cannot be started, with
    // ErrorNumber::ReleaseMismatch when its bytes changed since the check.
    virtual void Run(const CheckedFile &file) = 0;
};
