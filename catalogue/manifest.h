#pragma once

#include "release_pin.h"
#include "text_lines.h"

#include <QByteArray>

#include <QString>

#include <optional>

namespace Manifest {
inline constexpr char FileName[] = "manifest.txt";
inline constexpr char SignatureSuffix[] = ".minisig";
inline constexpr char CopyName[] = "OrbistaneInfo.txt";
inline constexpr char PlatformTag[] = "W2003";
// A manifest lists a few releases; anything near this is not a manifest.
inline constexpr qint64 MaxBytes = 16 * 1024 * 1024;
// A signature file is four short lines.
inline constexpr qint64 MaxSignatureBytes = 64 * 1024;
// Entries sit at 1..N with a 16-bit next-free index, so N stops here.
inline constexpr int MaxEntries = 32766;
// What a reading tells of lines that list no release or less than they hold,
// at most: more than any vendor writes, but a body of empty lines must not
// fill the memory with notes.
inline constexpr int MaxNotes = 10000;
// The shortest line that holds an entry: the tag, a tab, a one-letter file
// name and a tab.
inline constexpr qsizetype MinEntryBytes = sizeof(PlatformTag) - 1 + 3;
// Field 0 of a line that gives the SHA-256 of each piece of a release.
inline constexpr char PiecesTag[] = "PIECES";
// Smaller pieces cost a request each for too few bytes; larger ones, too much
// fetched again for one damaged byte.
inline constexpr qint64 MinPieceBytes = 64 * 1024;
inline constexpr qint64 MaxPieceBytes = 1024 * 1024 * 1024;
}

struct ManifestEntry
{
    QString file;
    QString name;
    ReleasePin pin;

    bool operator==(const ManifestEntry &) const = default;
};

// Whether every release must pin its SHA-256 and size: so it is when the
// manifest's signature was verified, so that everything listed is what the
// vendor signed, and no endless body passes for it.
enum class Pinning { Optional, Required };

// Why a line lists no release.
enum class SkipReason {
    None,
    NotTagged,    // field 0 is not the platform tag: comments, other platforms
    TooFewFields, // a tagged line without a display name
    NotPlainName, // field 1 would leave the folder it is joined to, or not read as what it is
    NoDigest,     // field 3 is not a SHA-256, which a signed manifest requires
    BadSize,      // field 4 is not a byte count, which a signed manifest requires
    // Manifest::MaxEntries releases are listed before: set by ManifestReader
    PastMaxEntries,
};

struct ManifestLine
{
    std::optional<ManifestEntry> entry;
    SkipReason skipped = SkipReason::None;
    // Fields 3 and 4 given but not readable, and so ignored (an unsigned
    // manifest only: a signed one skips such lines).
    bool digestIgnored = false;
    bool sizeIgnored = false;
};

// True for a name that stays inside the folder it is joined to and reads as
// what it is: not empty, not starting with ".", without "/", "\", control
// characters or Unicode format characters (bidirectional overrides, zero-width
// characters).
bool isPlainFileName(const QString &name);

// What a manifest line holds: tab-separated fields, the platform tag in field 0
// (any letter case, nothing around it), the file name in field 1, the display
// name in field 2, the release's SHA-256 in field 3 (64 hexadecimal digits)
// and its size in bytes in field 4; fields after that are ignored.
ManifestLine readManifestLine(QStringView line, Pinning pinning = Pinning::Optional);

// The entry of a line, when it holds one.
std::optional<ManifestEntry> parseManifestLine(const QString &line,
                                               Pinning pinning = Pinning::Optional);

// Why a line was skipped, as a phrase ("not tagged W2003").
QString describeSkip(SkipReason reason);

// The line that lists entry, without a line end, in the encoding given: the
// platform tag, the file name, the display name, then the SHA-256 and the
// size as far as they are pinned. Nothing when the encoding cannot hold the
// names, or when the line would not read back as entry: a file name that is
// not plain, a display name holding a tab or a line end.
std::optional<QByteArray> writeManifestLine(const ManifestEntry &entry, TextEncoding encoding);

// Why a pieces line gives no release its piece digests.
enum class PiecesSkip {
    None,
    BadPieceSize, // field 2 is not a size from Manifest::MinPieceBytes to MaxPieceBytes
    NotDigests,   // field 3 is not one or more SHA-256s, 64 hexadecimal digits each
    NoRelease,    // no release of the file in field 1 is listed before the line
    Again,        // every release of the file listed before took an earlier pieces line
    NotPinned,    // a release it names pins no SHA-256 and size to check pieces against
    DoesNotFit,   // a release it names pins a size that is not that many pieces
};

struct PiecesLine
{
    bool tagged = false; // field 0 is the pieces tag, in any letter case
    QString file;        // field 1, when tagged
    PieceDigests pieces; // when tagged and readable
    PiecesSkip skipped = PiecesSkip::None;
};

// What a manifest line says of a release's pieces: tagged lines give the file
// name in field 1, the piece size in bytes in field 2 and, in field 3, the
// SHA-256 of each piece in order, 64 hexadecimal digits each (either case),
// nothing between them; further fields are ignored. Which release the line is
// for is the reader's to tell.
PiecesLine readPiecesLine(QStringView line);

// Why a pieces line was ignored, as a phrase.
QString describePiecesSkip(PiecesSkip reason);

// The pieces line for the releases of file, without a line end, in the
// encoding given. Nothing when the encoding cannot hold the name, or when the
// line would not read back as pieces: a file name that is not plain, a piece
// size out of range, no digests.
std::optional<QByteArray> writePiecesLine(const QString &file, const PieceDigests &pieces,
                                          TextEncoding encoding);

// The piece size the vendor's tool writes for a release of size bytes: 4 MiB,
// doubled while that makes more than 4096 pieces, so that the line stays short.
qint64 pieceBytesFor(qint64 size);
