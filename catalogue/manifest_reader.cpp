#include "manifest_reader.h"

#include "diagnostics.h"
#include "text_lines.h"

QString ManifestNote::reason() const
{
    switch (kind) {
    case Kind::NoRelease:
        return describeSkip(skip);
    case Kind::DigestIgnored:
        return QStringLiteral("field 3 is not a SHA-256");
    case Kind::SizeIgnored:
        return QStringLiteral("field 4 is not a size in bytes");
    case Kind::NoMirror:
        return describeMirrorSkip(mirrorSkip);
    case Kind::PiecesIgnored:
        return describePiecesSkip(piecesSkip);
    case Kind::Mirror:
        break;
    }
    return {};
}

QString ManifestNote::logText(const QString &address) const
{
    // One arg() each: an address holding "%2" must stay as it is.
    const QString where = QStringLiteral("%1, line %2").arg(address, QString::number(line));
    switch (kind) {
    case Kind::NoRelease:
        return QStringLiteral("%1 lists no release: %2").arg(where, reason());
    case Kind::DigestIgnored:
        return QStringLiteral("%1: %2, so %3 is listed unchecked").arg(where, reason(), subject);
    case Kind::SizeIgnored:
        return QStringLiteral("%1: %2, so %3 is listed without one").arg(where, reason(), subject);
    case Kind::NoMirror:
        return QStringLiteral("%1 names no mirror: %2").arg(where, reason());
    case Kind::Mirror:
        return QStringLiteral("%1: mirror %2").arg(where, subject);
    case Kind::PiecesIgnored:
        return QStringLiteral("%1: piece digests ignored, %2").arg(where, reason());
    }
    return {};
}

ManifestReader::ManifestReader(Pinning pinning, const QString &manifestFolder) : m_pinning(pinning)
{
    m_contents.servers = ReleaseServers(manifestFolder);
}

void ManifestReader::take(const QString &text)
{
    const int number = ++m_contents.lines;
    if (m_full) {
        return;
    }
    using Kind = ManifestNote::Kind;
    if (const MirrorLine mirror = readMirrorLine(text); mirror.tagged) {
        const MirrorSkip skipped = mirror.skipped != MirrorSkip::None
                                       ? mirror.skipped
                                       : m_contents.servers.addMirror(mirror.address);
        if (skipped != MirrorSkip::None) {
            note({number, Kind::NoMirror, SkipReason::None, skipped, {}});
        } else {
            note({number, Kind::Mirror, SkipReason::None, MirrorSkip::None, mirror.address});
        }
        return;
    }
    if (const PiecesLine pieces = readPiecesLine(text); pieces.tagged) {
        takePieces(number, pieces);
        return;
    }
    ManifestLine line = readManifestLine(text, m_pinning);
    if (line.entry && m_contents.releases.size() == Manifest::MaxEntries) {
        // The lists hold no more; what follows is not read, as the lists were.
        m_full = true;
        line.skipped = SkipReason::PastMaxEntries;
    }
    if (line.skipped != SkipReason::None) {
        note({number, Kind::NoRelease, line.skipped, MirrorSkip::None, {}});
        return;
    }
    const QString &file = line.entry->file;
    if (line.digestIgnored) {
        note({number, Kind::DigestIgnored, SkipReason::None, MirrorSkip::None, file});
    }
    if (line.sizeIgnored) {
        note({number, Kind::SizeIgnored, SkipReason::None, MirrorSkip::None, file});
    }
    m_withoutPieces[file].append(m_contents.releases.size());
    m_contents.releases.append({number, std::move(*line.entry)});
}

void ManifestReader::takePieces(int number, const PiecesLine &line)
{
    PiecesSkip skipped = line.skipped;
    const auto waiting = m_withoutPieces.find(line.file);
    if (skipped == PiecesSkip::None && waiting == m_withoutPieces.end()) {
        skipped = PiecesSkip::NoRelease;
    } else if (skipped == PiecesSkip::None && waiting->isEmpty()) {
        skipped = PiecesSkip::Again;
    } else if (skipped == PiecesSkip::None) {
        for (const qsizetype index : std::as_const(*waiting)) {
            ReleasePin &pin = m_contents.releases[index].entry.pin;
            const PiecesSkip misfit = !pin.pinsDigest() || !pin.pinsSize() ? PiecesSkip::NotPinned
                                      : !line.pieces.fits(pin.size)        ? PiecesSkip::DoesNotFit
                                                                           : PiecesSkip::None;
            if (misfit == PiecesSkip::None) {
                pin.pieces = line.pieces;
            } else if (skipped == PiecesSkip::None) {
                skipped = misfit;
            }
        }
        waiting->clear();
    }
    if (skipped != PiecesSkip::None) {
        note({number, ManifestNote::Kind::PiecesIgnored, SkipReason::None, MirrorSkip::None,
              line.file, skipped});
    }
}

void ManifestReader::note(ManifestNote note)
{
    if (m_contents.notes.size() < Manifest::MaxNotes) {
        m_contents.notes.append(std::move(note));
    } else {
        ++m_contents.notesLeftOut;
    }
}

ManifestContents readManifest(const QByteArray &bytes, Pinning pinning,
                              const QString &manifestFolder)
{
    ManifestReader reader(pinning, manifestFolder);
    for (TextLines lines(bytes); !lines.atEnd();) {
        reader.take(lines.next());
    }
    return reader.result();
}

void logManifestNotes(const ManifestContents &contents, const QString &address)
{
    if (!lcCatalogue().isInfoEnabled()) {
        return;
    }
    for (const ManifestNote &note : contents.notes) {
        qCInfo(lcCatalogue).noquote() << note.logText(address);
    }
    if (contents.notesLeftOut > 0) {
        qCInfo(lcCatalogue).noquote()
            << QStringLiteral("%1: %2 more notes on its lines are not logged")
                   .arg(address, QString::number(contents.notesLeftOut));
    }
}
