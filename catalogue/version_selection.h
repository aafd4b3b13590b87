#pragma once

#include "manifest_reader.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

struct VersionPick
{
    QString selectedFile;
    // The new caption of the chosen-file label, when any name matched.
    std::optional<QString> caption;
    // The index whose file name was taken last; -1 when none matched.
    qsizetype index = -1;
};

// Turns a picked display name into its file name. names and files are indexed
// alike, index 0 empty. Every index is compared, without stopping at a match,
// against the current value, which a match replaces by its file name.
VersionPick pickVersion(const QString &picked, const QStringList &names, const QStringList &files);

// The releases of a manifest as the window lists them: names, files and pins
// indexed alike, index 0 empty (and all three empty when none is listed).
struct VersionLists
{
    QStringList names;
    QStringList files;
    QList<ReleasePin> pins;
};
VersionLists versionListsOf(const ManifestContents &contents);
