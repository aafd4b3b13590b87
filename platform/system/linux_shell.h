#pragma once

#include "shell.h"

#include <QProcessEnvironment>

class LinuxShell final : public Shell
{
public:
    explicit LinuxShell(
        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());

    QString RegRead(const QString &name) override;
    QString ExpandEnvironmentStrings(const QString &text) override;
    void Run(const QString &filePath, int descriptor) override;

private:
    QProcessEnvironment m_environment;
};

// How a file is started: run itself when it is a program (a script with "#!" or
// an ELF executable), else handed to the desktop's default application.
enum class LaunchKind { Execute, OpenWithDesktop };
LaunchKind launchKindOf(const QByteArray &firstBytes);
