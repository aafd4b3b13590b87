#pragma once

#include <QString>

#include <optional>

namespace Manifest {
inline constexpr char FileName[] = "manifest.txt";
inline constexpr char CopyName[] = "OrbistaneInfo.txt";
inline constexpr char PlatformTag[] = "W2003";
// A manifest lists a few releases; anything near this is not a manifest.
inline constexpr qint64 MaxBytes = 16 * 1024 * 1024;
// Entries sit at 1..N with a 16-bit next-free index, so N stops here.
inline constexpr int MaxEntries = 32766;
// The shortest line that holds an entry: the tag, a tab, a one-letter file
// name and a tab.
inline constexpr qsizetype MinEntryBytes = sizeof(PlatformTag) - 1 + 3;
}

struct ManifestEntry
{
    QString file;
    QString name;

    bool operator==(const ManifestEntry &) const = default;
};

// True for a name that stays inside the folder it is joined to: not empty, not
// "." or "..", without "/", "\" or control characters.
bool isPlainFileName(const QString &name);

// The entry a manifest line holds: tab-separated fields, the platform tag in
// field 0 (any letter case, nothing around it), the file name in field 1 and
// the display name in field 2. Other lines, lines with fewer than three
// fields and lines whose file name is not plain hold none.
std::optional<ManifestEntry> parseManifestLine(const QString &line);
