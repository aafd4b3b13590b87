#pragma once

#include "error_report.h"
#include "file_system.h"
#include "management_service.h"
#include "mount_table.h"
#include "program_end.h"
#include "prompt.h"
#include "runtime_error.h"
#include "shell.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// Test doubles for the platform: they answer as scripted and record what they
// were asked.

struct AskedPrompt
{
    QString text;
    int flags = 0;
    QString title;
};

class ScriptedPrompt final : public Prompt
{
public:
    // Answers given in order; once they run out, Yes for Yes/No boxes, else OK.
    QList<int> answers;
    QList<AskedPrompt> asked;
    // Runs inside the box, before it answers (as if the user did something).
    std::function<void(const AskedPrompt &)> whileShown;

    int ask(const QString &text, int flags, const QString &title) override
    {
        asked.append({text, flags, title});
        if (whileShown) {
            whileShown(asked.constLast());
        }
        if (!answers.isEmpty()) {
            return answers.takeFirst();
        }
        return (flags & 0x0F) == PromptFlags::YesNo ? PromptAnswer::Yes : PromptAnswer::Ok;
    }
};

class RecordingErrorReport final : public ErrorReport
{
public:
    QList<RuntimeError> reports;
    // Runs inside the report, before it returns.
    std::function<void(const RuntimeError &)> whileShown;
    void report(const RuntimeError &error) override
    {
        reports.append(error);
        if (whileShown) {
            whileShown(error);
        }
    }
    QString lastDescription() const
    {
        return reports.isEmpty() ? QString() : reports.constLast().description();
    }
};

class RecordingProgramEnd final : public ProgramEnd
{
public:
    int ends = 0;
    int exitCode = -1;
    void end(int code) override
    {
        ++ends;
        exitCode = code;
    }
};

// A shell with a fixed language and temporary folder that records what it runs.
class FakeShell final : public Shell
{
public:
    QString language = QStringLiteral("en_GB.UTF-8");
    QString tempFolder;
    QStringList started;
    bool failToStart = false;

    QString RegRead(const QString &) override { return language; }
    QString ExpandEnvironmentStrings(const QString &) override { return tempFolder; }
    void Run(const CheckedFile &file) override
    {
        if (failToStart) {
            throw RuntimeError(ErrorNumber::FileNotFound,
                               QStringLiteral("Cannot start \"%1\"").arg(file.path));
        }
        started.append(file.path);
    }
};

// A file system with exactly `free` bytes free in every folder (-1: cannot be
// told), so that a room compared with it is not moved by others writing to
// the disk meanwhile. Nothing else is asked of it.
class FixedFreeSpace final : public FileSystem
{
public:
    qint64 free = -1;

    bool FileExists(const QString &) override { return false; }
    std::unique_ptr<TextStream> OpenTextFile(const QString &) override { return nullptr; }
    void DeleteFile(const QString &) override {}
    qint64 FreeBytes(const QString &) override { return free; }
    DriveInfo GetDrive(const QString &) override { return {}; }
};
