#pragma once

#include "minisign.h"
#include "release_pin.h"

#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringView>

#include <optional>

// What a program built with the vendor's keys asks of the manifest's signature.
struct ManifestTrust
{
    // When empty, the manifest is read unsigned and nothing below applies.
    QList<Minisign::PublicKey> keys;
    // A signature made more than this many days ago is refused; 0: no limit.
    int maxAgeDays = 0;

    bool requiresSignature() const { return !keys.isEmpty(); }
};

// The pin of a release picked from the manifest. With keys, every release the
// manifest lists pins its SHA-256 and size, so one that does not was not
// listed: RuntimeError naming file.
ReleasePin listedPin(const ReleasePin &pin, const ManifestTrust &trust, const QString &file);

// A signing time as messages show it: "2026-10-01 12:00 UTC".
QString signingTimeText(qint64 secondsSinceEpoch);

// Whether a signature already verified fits the file it came with: its trusted
// comment must name expectedFile, so that a signature over another of the
// vendor's files does not pass for this one; and with maxAgeDays set, its
// signing time must be known, at most that many days before now and at most a
// day after it (clocks differ), so that an old list cannot be replayed for
// ever. Why not, as a phrase that follows "The manifest at URL cannot be
// trusted: "; nothing when it fits. now: seconds since 1970, UTC.
std::optional<QString> signatureMisfit(QByteArrayView trustedComment, const QString &expectedFile,
                                       int maxAgeDays, qint64 now);

// Whether a manifest may be read at all: signature must verify for it with one
// of trust's keys (Minisign::verify), then fit it under the name manifestName
// (signatureMisfit). Why not, as a phrase that follows "The manifest at URL
// cannot be trusted: "; nothing when it may be read. now: seconds since 1970, UTC.
std::optional<QString> manifestSignatureRefusal(QByteArrayView manifest, QByteArrayView signature,
                                                const QString &manifestName,
                                                const ManifestTrust &trust, qint64 now);
