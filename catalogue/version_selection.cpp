#include "version_selection.h"

VersionPick pickVersion(const QString &picked, const QStringList &names, const QStringList &files)
{
    VersionPick pick{picked, std::nullopt, -1};
    for (qsizetype i = 0; i < names.size(); ++i) {
        if (pick.selectedFile.toUpper() == names.at(i).toUpper()) {
            pick.selectedFile = files.at(i);
            pick.caption = QStringLiteral("< ") + pick.selectedFile + QStringLiteral(" >");
            pick.index = i;
        }
    }
    return pick;
}

VersionLists versionListsOf(const ManifestContents &contents)
{
    VersionLists lists;
    if (contents.releases.isEmpty()) {
        return lists;
    }
    const qsizetype entries = contents.releases.size() + 1;
    lists.names.reserve(entries);
    lists.files.reserve(entries);
    lists.pins.reserve(entries);
    lists.names.append(QString());
    lists.files.append(QString());
    lists.pins.append(ReleasePin());
    for (const ListedRelease &release : contents.releases) {
        lists.names.append(release.entry.name);
        lists.files.append(release.entry.file);
        lists.pins.append(release.entry.pin);
    }
    return lists;
}
