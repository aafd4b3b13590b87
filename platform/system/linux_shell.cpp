#include "linux_shell.h"

#include "runtime_error.h"

#include <QFileInfo>
#include <QProcess>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

LinuxShell::LinuxShell(const QProcessEnvironment &environment) : m_environment(environment) {}

QString LinuxShell::RegRead(const QString &name)
{
    if (name != QLatin1String("sLanguage")) {
        throw RuntimeError(ErrorNumber::InvalidCall,
                           QStringLiteral("Unknown setting \"%1\"").arg(name));
    }
    // The locale chosen for messages, in the order the C library honours them.
    for (const char *variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        QString value = m_environment.value(QLatin1String(variable));
        if (!value.isEmpty()) {
            return value;
        }
    }
    return QStringLiteral("C");
}

QString LinuxShell::ExpandEnvironmentStrings(const QString &text)
{
    if (text != QLatin1String("%TEMP%")) {
        return text;
    }
    QString folder = m_environment.value(QStringLiteral("TMPDIR"));
    if (folder.isEmpty()) {
        folder = QStringLiteral("/tmp");
    }
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/'))) {
        folder.chop(1);
    }
    return folder;
}

LaunchKind launchKindOf(const QByteArray &firstBytes)
{
    if (firstBytes.startsWith("#!") || firstBytes.startsWith("\177ELF")) {
        return LaunchKind::Execute;
    }
    return LaunchKind::OpenWithDesktop;
}

void LinuxShell::Run(const QString &filePath, int descriptor)
{
    // Absolute, so that no name can read as an option to xdg-open.
    const QFileInfo info(filePath);
    const QString path = info.absoluteFilePath();
    const auto cannotStart = [&path](const QString &reason) {
        return RuntimeError(ErrorNumber::FileNotFound,
                            QStringLiteral("Cannot start \"%1\": %2").arg(path, reason));
    };
    char head[4] = {};
    const ssize_t read = ::pread(descriptor, head, sizeof head, 0);
    struct stat status = {};
    if (read < 0 || ::fstat(descriptor, &status) != 0) {
        throw cannotStart(qt_error_string(errno));
    }

    // No shell in between: the path is one argument, whatever it contains, and
    // the program started sees it as its own name.
    QProcess process;
    process.setWorkingDirectory(info.absolutePath());
    process.setStandardInputFile(QProcess::nullDevice());
    if (launchKindOf(QByteArray(head, int(read))) == LaunchKind::Execute) {
        // Downloads arrive without the execute bit; the owner may run what it fetched.
        if ((status.st_mode & S_IXUSR) == 0 &&
            ::fchmod(descriptor, (status.st_mode & 07777) | S_IXUSR) != 0) {
            throw cannotStart(qt_error_string(errno));
        }
        process.setProgram(path);
    } else {
        process.setProgram(QStringLiteral("xdg-open"));
        process.setArguments({path});
    }
    if (!process.startDetached()) {
        throw cannotStart(process.errorString());
    }
}
