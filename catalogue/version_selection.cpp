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
