#include "linux_shell.h"

#include "file_ownership.h"
#include "linux_launch.h"
#include "runtime_error.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <pwd.h>
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

QString LinuxShell::cacheFolder() const
{
    QString cache = m_environment.value(QStringLiteral("XDG_CACHE_HOME"));
    if (cache.startsWith(QLatin1Char('/'))) {
        return cache;
    }
    QString home = m_environment.value(QStringLiteral("HOME"));
    if (home.isEmpty()) {
        // The user's home as the system knows it, for an environment without one.
        if (const passwd *user = ::getpwuid(::geteuid()); user && user->pw_dir) {
            home = QFile::decodeName(user->pw_dir);
        }
    }
    return home.isEmpty() ? QString() : home + QLatin1String("/.cache");
}

void LinuxShell::Run(const CheckedFile &file)
{
    const QString path = QFileInfo(file.path).absoluteFilePath();
    const auto cannotStart = [&path](const QString &reason) {
        return RuntimeError(ErrorNumber::FileNotFound,
                            QStringLiteral("Cannot start \"%1\": %2").arg(path, reason));
    };
    char head[4] = {};
    const ssize_t read = ::pread(file.descriptor, head, sizeof head, 0);
    if (read < 0) {
        throw cannotStart(qt_error_string(errno));
    }
    const LaunchWay way = launchWayOf(QByteArray(head, int(read)),
                                      keepsOwnersAndModes(file.descriptor));

    // No shell in between: the path is one argument, whatever it contains.
    DetachedStart start;
    for (const QString &variable : m_environment.toStringList()) {
        start.environment.append(QFile::encodeName(variable));
    }
    start.workingFolder = file.folderDescriptor;
    if (m_beforeStart) {
        m_beforeStart();
    }
    if (way == LaunchWay::FromDescriptor) {
        start.executable = file.descriptor;
        start.arguments = {QFile::encodeName(path)};
        const int error = startDetached(start);
        // Not runnable where it is (no execute bit, a volume mounted noexec):
        // its copy is.
        if (error != EACCES) {
            if (error != 0) {
                throw cannotStart(qt_error_string(error));
            }
            return;
        }
        start.executable = -1;
    }
    const QString cache = cacheFolder();
    if (cache.isEmpty()) {
        throw cannotStart(QStringLiteral("the user has no home folder to copy it to"));
    }
    PrivateCopy copy(file, cache, way != LaunchWay::CopyToDesktop);
    if (way == LaunchWay::CopyToDesktop) {
        const QString opener = QStandardPaths::findExecutable(
            QStringLiteral("xdg-open"), m_environment.value(QStringLiteral("PATH"))
                                            .split(QLatin1Char(':'), Qt::SkipEmptyParts));
        if (opener.isEmpty()) {
            throw cannotStart(QStringLiteral("xdg-open, which opens it, is not installed"));
        }
        start.path = QFile::encodeName(opener);
        start.arguments = {"xdg-open", copy.path()};
    } else {
        // The script's $0, a path nobody else can change, there while it runs.
        start.path = copy.path();
        start.arguments = {copy.path()};
        start.removeAfter = &copy;
    }
    if (const int error = startDetached(start); error != 0) {
        throw cannotStart(qt_error_string(error));
    }
    // Deleted by what waits for the program, or, handed to the desktop,
    // left for its reader and removed by a later start.
    copy.keep();
}
