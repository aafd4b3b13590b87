#include "linux_shell.h"

#include "runtime_error.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

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

void LinuxShell::Run(const QString &filePath)
{
    // Absolute, so that no name can read as an option to xdg-open.
    const QFileInfo info(filePath);
    const QString path = info.absoluteFilePath();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        throw RuntimeError(ErrorNumber::FileNotFound,
                           QStringLiteral("Cannot open \"%1\": %2").arg(path, file.errorString()));
    }
    const QByteArray head = file.read(4);
    file.close();

    // No shell in between: the path is one argument, whatever it contains.
    QProcess process;
    process.setWorkingDirectory(info.absolutePath());
    process.setStandardInputFile(QProcess::nullDevice());
    QString reason;
    if (launchKindOf(head) == LaunchKind::Execute) {
        // Downloads arrive without the execute bit; the owner may run what it fetched.
        if (!file.setPermissions(file.permissions() | QFileDevice::ExeOwner)) {
            reason = file.errorString();
        }
        process.setProgram(path);
    } else {
        process.setProgram(QStringLiteral("xdg-open"));
        process.setArguments({path});
    }
    if (!reason.isEmpty() || !process.startDetached()) {
        if (reason.isEmpty()) {
            reason = process.errorString();
        }
        throw RuntimeError(ErrorNumber::FileNotFound,
                           QStringLiteral("Cannot start \"%1\": %2").arg(path, reason));
    }
}
