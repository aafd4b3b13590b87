#include "manifest_signature_policy.h"

#include "printable_text.h"
#include "runtime_error.h"

#include <QDateTime>
#include <QTimeZone>

namespace {

constexpr qint64 SecondsPerDay = 24 * 60 * 60;

} // namespace

QString signingTimeText(qint64 secondsSinceEpoch)
{
    const QDateTime time = QDateTime::fromSecsSinceEpoch(secondsSinceEpoch, QTimeZone::utc());
    if (!time.isValid()) {
        return QStringLiteral("Unix time %1").arg(secondsSinceEpoch);
    }
    return time.toString(QStringLiteral("yyyy-MM-dd HH:mm")) + QStringLiteral(" UTC");
}

std::optional<QString> signatureMisfit(QByteArrayView trustedComment, const QString &expectedFile,
                                       int maxAgeDays, qint64 now)
{
    const Minisign::TrustedCommentFields fields = Minisign::readTrustedComment(trustedComment);
    if (!fields.file) {
        return QStringLiteral("its signature names no file, where it must name %1")
            .arg(expectedFile);
    }
    if (*fields.file != expectedFile) {
        return QStringLiteral("it was signed as \"%1\", not %2")
            .arg(printableText(*fields.file), expectedFile);
    }
    if (maxAgeDays <= 0) {
        return std::nullopt;
    }
    if (!fields.timestamp) {
        return QStringLiteral("its signature holds no signing time, which a limit of %1 days "
                              "on its age requires")
            .arg(maxAgeDays);
    }
    const qint64 signedAt = *fields.timestamp;
    // The smaller taken from the larger: a timestamp near 2^63 must not overflow.
    if (signedAt > now && signedAt - now > SecondsPerDay) {
        return QStringLiteral("it was signed on %1, more than a day ahead of this computer's "
                              "clock")
            .arg(signingTimeText(signedAt));
    }
    if (signedAt < now && now - signedAt > qint64(maxAgeDays) * SecondsPerDay) {
        return QStringLiteral("it was signed on %1, more than %2 days ago, so it may be an old "
                              "copy served in place of the current one")
            .arg(signingTimeText(signedAt))
            .arg(maxAgeDays);
    }
    return std::nullopt;
}

std::optional<QString> manifestSignatureRefusal(QByteArrayView manifest, QByteArrayView signature,
                                                const QString &manifestName,
                                                const ManifestTrust &trust, qint64 now)
{
    const Minisign::Verification verification = Minisign::verify(manifest, signature, trust.keys);
    if (verification.verdict != Minisign::Verdict::Valid) {
        return verification.description;
    }
    // A valid signature for another of the vendor's files, or an old copy of
    // this one, must not pass either.
    return signatureMisfit(verification.trustedComment, manifestName, trust.maxAgeDays, now);
}

ReleasePin listedPin(const ReleasePin &pin, const ManifestTrust &trust, const QString &file)
{
    if (trust.requiresSignature() && (!pin.pinsDigest() || !pin.pinsSize())) {
        throw RuntimeError(
            ErrorNumber::ManifestUntrusted,
            QStringLiteral("\"%1\" is not a release the signed manifest lists").arg(file));
    }
    return pin;
}
