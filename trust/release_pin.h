#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

// The SHA-256 of each piece of a release, so that every piece is checked as it
// lands, whichever server sent it. Every piece is pieceBytes long but the last.
struct PieceDigests
{
    static constexpr qsizetype DigestBytes = 32;

    qint64 pieceBytes = 0; // 0 when the release has none
    QByteArray sha256;     // DigestBytes per piece, the first piece's first

    qsizetype count() const { return sha256.size() / DigestBytes; }
    QByteArrayView of(qsizetype piece) const
    {
        return QByteArrayView(sha256).sliced(piece * DigestBytes, DigestBytes);
    }
    // Whether these are the digests of a file of size bytes: one per piece.
    // Counted by the last piece's index: rounding a size near 2^63 up overflows.
    bool fits(qint64 size) const
    {
        return pieceBytes > 0 && size > 0 && sha256.size() % DigestBytes == 0 &&
               count() - 1 == (size - 1) / pieceBytes;
    }
    bool operator==(const PieceDigests &) const = default;
};

// What the manifest pins of a release, so that nothing else passes for it.
struct ReleasePin
{
    QByteArray sha256; // 32 bytes; empty when not pinned
    qint64 size = -1;  // in bytes; -1 when not pinned
    // Only with the SHA-256 and the size, and only when they fit the size.
    PieceDigests pieces = {};

    bool pinsDigest() const { return !sha256.isEmpty(); }
    bool pinsSize() const { return size >= 0; }
    bool pinsPieces() const { return pinsDigest() && pieces.fits(size); }
    bool operator==(const ReleasePin &) const = default;
};
