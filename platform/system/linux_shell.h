#pragma once

#include "shell.h"

#include <QProcessEnvironment>

#include <functional>

// The shell on a Linux desktop. environment is what the shell reads the
// language and folders from, and what a started installer gets.
class LinuxShell final : public Shell
{
public:
    explicit LinuxShell(
        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());

    QString RegRead(const QString &name) override;
    QString ExpandEnvironmentStrings(const QString &text) override;
    void Run(const CheckedFile &file) override;

    // Runs at the very moment of a start, after every check: where a test
    // stands in for someone who changes the folder then.
    void setBeforeStart(std::function<void()> beforeStart)
    {
        m_beforeStart = std::move(beforeStart);
    }

private:
    // $XDG_CACHE_HOME, else ~/.cache: a folder of the user's, on a volume
    // with room, unlike the runtime folder's small tmpfs.
    QString cacheFolder() const;

    QProcessEnvironment m_environment;
    std::function<void()> m_beforeStart;
};
