#pragma once

#include "manifest.h"
#include "mirror_list.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

// What a manifest line tells besides the release it lists, if any.
struct ManifestNote
{
    enum class Kind {
        NoRelease,     // a line that is no mirror line lists no release: skip says why
        DigestIgnored, // subject is listed without what field 3 holds, not a SHA-256
        SizeIgnored,   // subject is listed without what field 4 holds, not a size
        NoMirror,      // a mirror line names no mirror that is used: mirrorSkip says why
        Mirror,        // a mirror line adds subject to the servers
        PiecesIgnored, // a pieces line gives no piece digests: piecesSkip says why
    };

    int line = 0; // from 1
    Kind kind = Kind::NoRelease;
    SkipReason skip = SkipReason::None;
    MirrorSkip mirrorSkip = MirrorSkip::None;
    QString subject; // the release's file name, or the mirror's address
    PiecesSkip piecesSkip = PiecesSkip::None;

    // Why, as a phrase: describeSkip, describeMirrorSkip or describePiecesSkip,
    // or which field was ignored; empty for a mirror used.
    QString reason() const;
    // The line the program logs in orbistane.catalogue for the manifest at address.
    QString logText(const QString &address) const;
};

struct ListedRelease
{
    int line = 0; // from 1
    ManifestEntry entry;
};

struct ManifestContents
{
    // The releases in the order listed, at most Manifest::MaxEntries.
    QList<ListedRelease> releases;
    // The manifest's folder, then the mirrors the manifest adds.
    ReleaseServers servers;
    // In line order, at most Manifest::MaxNotes; how many more there were.
    QList<ManifestNote> notes;
    int notesLeftOut = 0;
    // The lines taken, the ones after the last release listed included.
    int lines = 0;
};

// Reads a manifest one decoded line at a time, as a text stream hands them
// out. Mirror lines add mirrors; a pieces line gives its digests to the
// releases of its file listed before it that no pieces line gave any yet, as
// far as they fit each one's pinned size; the other lines list releases,
// pinned as pinning requires. Once Manifest::MaxEntries releases are listed,
// the next release line is noted, and nothing after it is read.
class ManifestReader
{
public:
    ManifestReader(Pinning pinning, const QString &manifestFolder);

    void take(const QString &line);
    const ManifestContents &result() const { return m_contents; }

private:
    void note(ManifestNote note);
    void takePieces(int number, const PiecesLine &line);

    Pinning m_pinning;
    ManifestContents m_contents;
    // Per file listed, its releases no pieces line was for yet: each is
    // looked at once, however many pieces lines name it.
    QHash<QString, QList<qsizetype>> m_withoutPieces;
    bool m_full = false;
};

// A whole manifest, decoded as TextLines does, through ManifestReader.
ManifestContents readManifest(const QByteArray &bytes, Pinning pinning,
                              const QString &manifestFolder);

// Logs every note in orbistane.catalogue, for the manifest at address.
void logManifestNotes(const ManifestContents &contents, const QString &address);
