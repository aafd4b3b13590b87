#pragma once

#include "release_pin.h"

#include <QSet>
#include <QString>
#include <QStringList>

namespace Manifest {
// Field 0 of a line that names a mirror: a folder that holds the same release files.
inline constexpr char MirrorTag[] = "MIRROR";
// A few mirrors serve any release; more would only lengthen the wait and the
// report when all fail.
inline constexpr int MaxMirrors = 16;
}

// Why a mirror line names no mirror that is used.
enum class MirrorSkip {
    None,
    NotAnAddress,    // field 1 is missing, not an address, or carries credentials, a query, a
                     // fragment or port 0
    NotHttp,         // an address of another scheme than http or https
    NoTrailingSlash, // its path does not end in "/", so it names no folder
    Duplicate,       // the same folder is listed before, or is the manifest's own
    TooMany,         // Manifest::MaxMirrors are listed before
    HttpWithoutPins, // over http beside a manifest over https, which pins no release
};

struct MirrorLine
{
    bool tagged = false; // field 0 is the mirror tag, in any letter case
    QString address;     // field 1, when tagged and usable
    MirrorSkip skipped = MirrorSkip::None;
};

// What a manifest line says of mirrors: tagged lines give the address of a
// folder in field 1; further fields are ignored.
MirrorLine readMirrorLine(QStringView line);

// Why a mirror line is not used, as a phrase.
QString describeMirrorSkip(MirrorSkip reason);

// The servers releases come from: the folder the manifest came from, then the
// mirrors in the order the manifest lists them. What a mirror serves needs no
// trust of its own when it is pinned; so a mirror reached over a weaker scheme
// than the manifest (http beside https) serves only pinned releases.
class ReleaseServers
{
public:
    explicit ReleaseServers(const QString &manifestFolder = {});

    // Adds a mirror read from the manifest; a duplicate, or one past the most
    // there may be, is left out and said so.
    MirrorSkip addMirror(const QString &address);
    // For a manifest that pins no release: a weaker mirror would never serve.
    static bool isWeaker(const QString &mirror, const QString &manifestFolder);

    // The folders release files with pin are fetched from, in order.
    QStringList forRelease(const ReleasePin &pin) const;
    // Every folder, the ones serving only pinned releases included.
    const QStringList &all() const { return m_folders; }

private:
    QStringList m_folders;
    QSet<QString> m_keys; // the same, compared as addresses
};

// The servers of a build's DOWNLOAD_SERVER, comma-separated, each a folder
// address; blanks around each are dropped.
QStringList splitServerList(const QString &servers);
