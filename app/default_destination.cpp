#include "default_destination.h"

#include "runtime_error.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <array>
#include <filesystem>
#include <system_error>

namespace {

// Folders that belong to the system, and everything under them.
constexpr std::array<QLatin1String, 7> SystemFolders = {
    QLatin1String("/bin"), QLatin1String("/sbin"), QLatin1String("/lib"),  QLatin1String("/lib64"),
    QLatin1String("/usr"), QLatin1String("/opt"),  QLatin1String("/snap"),
};

QString cleaned(const QString &path)
{
    return path.isEmpty() ? QString() : QDir::cleanPath(path);
}

// Whether path is folder or lies under it; an empty folder holds nothing.
bool isUnder(const QString &path, const QString &folder)
{
    if (folder.isEmpty()) {
        return false;
    }
    if (folder == QLatin1String("/")) {
        return path == folder;
    }
    return path == folder ||
           (path.startsWith(folder) && path.at(folder.size()) == QLatin1Char('/'));
}

} // namespace

bool runsFromSharedFolder(const ProgramPlace &place)
{
    const QString folder = cleaned(place.folder);
    if (folder.isEmpty() || !place.writable || folder == QLatin1String("/")) {
        return true;
    }
    if (isUnder(folder, cleaned(place.installBindir))) {
        return true;
    }
    for (const QLatin1String system : SystemFolders) {
        if (isUnder(folder, system)) {
            return true;
        }
    }
    const QString home = cleaned(place.home);
    return !home.isEmpty() && isUnder(folder, cleaned(home + QStringLiteral("/.local/bin")));
}

QString defaultDestination(const ProgramPlace &place, const QString &downloadFolder)
{
    return runsFromSharedFolder(place) ? downloadFolder : place.folder;
}

ProgramPlace thisProgramPlace()
{
    // The executable's folder comes with its links resolved; so must the bindir,
    // which may be reached through one.
    QString bindir = QStringLiteral(ORBISTANE_INSTALL_BINDIR);
    if (const QString resolved = QFileInfo(bindir).canonicalFilePath(); !resolved.isEmpty()) {
        bindir = resolved;
    }
    const QString folder = QCoreApplication::applicationDirPath();
    return {folder, bindir, QDir::homePath(), QFileInfo(folder).isWritable()};
}

QString userDownloadFolder()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    return folder.isEmpty() ? QDir::homePath() : folder;
}

void makeDestinationFolder(const QString &folder)
{
    const std::filesystem::path path(QFile::encodeName(folder).toStdString());
    std::error_code error;
    std::filesystem::create_directories(path, error);
    if (error) {
        throw RuntimeError(ErrorNumber::PathAccess,
                           QStringLiteral("Cannot create the folder \"%1\": %2")
                               .arg(folder, QString::fromStdString(error.message())));
    }
}
