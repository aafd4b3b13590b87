#include "manifest.h"

#include "byte_count.h"
#include "sha256.h"
#include "text_lines.h"

#include <QStringList>

bool isPlainFileName(const QString &name)
{
    // A leading dot hides the file from a listing, and "." and ".." are not files.
    if (name.isEmpty() || name.startsWith(QLatin1Char('.'))) {
        return false;
    }
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        const char16_t code = c.unicode();
        if (code == u'/' || code == u'\\') {
            return false;
        }
        // ASCII decided at once; only the rest needs the Unicode tables.
        if (code < 0x80) {
            if (code < 0x20 || code == 0x7F) {
                return false;
            }
            continue;
        }
        // Format characters are invisible or turn the text around ("exe.txt" shown
        // for "txt.exe" with U+202E): the name would not read as what it is.
        char32_t point = code;
        if (c.isHighSurrogate() && i + 1 < name.size() && name.at(i + 1).isLowSurrogate()) {
            point = QChar::surrogateToUcs4(c, name.at(++i));
        }
        const QChar::Category category = QChar::category(point);
        if (category == QChar::Other_Control || category == QChar::Other_Format ||
            category == QChar::Other_Surrogate) {
            return false;
        }
    }
    return true;
}

namespace {

// The field upper-cased is the tag: its letters in any case.
bool isTag(QStringView field, QLatin1StringView tag)
{
    if (field.size() != tag.size()) {
        return false;
    }
    for (qsizetype i = 0; i < tag.size(); ++i) {
        if (field[i].toUpper() != tag[i]) {
            return false;
        }
    }
    return true;
}

// The SHA-256s that text spells, one after the other; nothing unless there is
// at least one and every digit is hexadecimal.
std::optional<QByteArray> parseDigestList(QStringView text)
{
    if (text.isEmpty() || text.size() % Sha256::HexSize != 0) {
        return std::nullopt;
    }
    QByteArray digests;
    digests.reserve(text.size() / 2);
    for (qsizetype at = 0; at + Sha256::HexSize <= text.size(); at += Sha256::HexSize) {
        const std::optional<QByteArray> digest = parseSha256Hex(text.sliced(at, Sha256::HexSize));
        if (!digest) {
            return std::nullopt;
        }
        digests += *digest;
    }
    return digests;
}

ManifestLine skipped(SkipReason reason)
{
    ManifestLine line;
    line.skipped = reason;
    return line;
}

} // namespace

ManifestLine readManifestLine(QStringView line, Pinning pinning)
{
    // Views, not copies: only the fields kept are allocated.
    qsizetype next = 0;
    const QStringView tag = nextTabField(line, next);
    if (!isTag(tag, QLatin1StringView(Manifest::PlatformTag))) {
        return skipped(SkipReason::NotTagged);
    }
    const QStringView fileField = nextTabField(line, next);
    if (next < 0) {
        return skipped(SkipReason::TooFewFields);
    }
    const QString file = fileField.toString();
    if (!isPlainFileName(file)) {
        return skipped(SkipReason::NotPlainName);
    }
    const QStringView name = nextTabField(line, next);
    const QStringView digestField = nextTabField(line, next);
    const QStringView sizeField = nextTabField(line, next);

    ManifestLine result;
    ManifestEntry entry{file, name.toString(), {}};
    if (const std::optional<QByteArray> digest = parseSha256Hex(digestField)) {
        entry.pin.sha256 = *digest;
    } else if (pinning == Pinning::Required) {
        return skipped(SkipReason::NoDigest);
    } else {
        result.digestIgnored = !digestField.isEmpty();
    }
    // Without a size, nothing bounds the body: an endless one would fill the disk.
    if (const std::optional<qint64> size = parseByteCount(sizeField)) {
        entry.pin.size = *size;
    } else if (pinning == Pinning::Required) {
        return skipped(SkipReason::BadSize);
    } else {
        result.sizeIgnored = !sizeField.isEmpty();
    }
    result.entry = std::move(entry);
    return result;
}

std::optional<ManifestEntry> parseManifestLine(const QString &line, Pinning pinning)
{
    return readManifestLine(line, pinning).entry;
}

QString describeSkip(SkipReason reason)
{
    switch (reason) {
    case SkipReason::None:
        break;
    case SkipReason::NotTagged:
        return QStringLiteral("not tagged %1").arg(QLatin1String(Manifest::PlatformTag));
    case SkipReason::TooFewFields:
        return QStringLiteral("fewer than three fields (tag, file name, display name)");
    case SkipReason::NotPlainName:
        return QStringLiteral("the file name is not a plain name in the folder");
    case SkipReason::NoDigest:
        return QStringLiteral("field 3 is not a SHA-256 (64 hexadecimal digits), which a "
                              "signed manifest requires");
    case SkipReason::BadSize:
        return QStringLiteral("field 4 is not a size in bytes (decimal digits), which a signed "
                              "manifest requires");
    case SkipReason::PastMaxEntries:
        return QStringLiteral("%1 releases are listed before it, the most the list holds")
            .arg(Manifest::MaxEntries);
    }
    return {};
}

std::optional<QByteArray> writeManifestLine(const ManifestEntry &entry, TextEncoding encoding)
{
    const QString &name = entry.name;
    if (!isPlainFileName(entry.file) || name.contains(u'\t') || name.contains(u'\n') ||
        name.contains(u'\r')) {
        return std::nullopt;
    }
    const ReleasePin &pin = entry.pin;
    QString line = QLatin1String(Manifest::PlatformTag) + u'\t' + entry.file + u'\t' + name;
    if (pin.pinsDigest() || pin.pinsSize()) {
        line += u'\t' + QString::fromLatin1(pin.sha256.toHex());
    }
    if (pin.pinsSize()) {
        line += u'\t' + QString::number(pin.size);
    }
    return encodeText(line, encoding);
}

PiecesLine readPiecesLine(QStringView line)
{
    PiecesLine result;
    qsizetype next = 0;
    result.tagged = isTag(nextTabField(line, next), QLatin1StringView(Manifest::PiecesTag));
    if (!result.tagged) {
        return result;
    }
    result.file = nextTabField(line, next).toString();
    const std::optional<qint64> pieceBytes = parseByteCount(nextTabField(line, next));
    if (!pieceBytes || *pieceBytes < Manifest::MinPieceBytes ||
        *pieceBytes > Manifest::MaxPieceBytes) {
        result.skipped = PiecesSkip::BadPieceSize;
        return result;
    }
    std::optional<QByteArray> digests = parseDigestList(nextTabField(line, next));
    if (!digests) {
        result.skipped = PiecesSkip::NotDigests;
        return result;
    }
    result.pieces = {*pieceBytes, std::move(*digests)};
    return result;
}

QString describePiecesSkip(PiecesSkip reason)
{
    switch (reason) {
    case PiecesSkip::None:
        break;
    case PiecesSkip::BadPieceSize:
        return QStringLiteral("field 2 is not a piece size from %1 to %2 bytes")
            .arg(Manifest::MinPieceBytes)
            .arg(Manifest::MaxPieceBytes);
    case PiecesSkip::NotDigests:
        return QStringLiteral("field 3 is not one or more SHA-256s, 64 hexadecimal digits each");
    case PiecesSkip::NoRelease:
        return QStringLiteral("no release of that file is listed before it");
    case PiecesSkip::Again:
        return QStringLiteral("the releases of that file listed before it took an earlier "
                              "%1 line")
            .arg(QLatin1String(Manifest::PiecesTag));
    case PiecesSkip::NotPinned:
        return QStringLiteral("the release it names pins no SHA-256 and size");
    case PiecesSkip::DoesNotFit:
        return QStringLiteral("the number of pieces does not fit the release's pinned size");
    }
    return {};
}

std::optional<QByteArray> writePiecesLine(const QString &file, const PieceDigests &pieces,
                                          TextEncoding encoding)
{
    if (!isPlainFileName(file) || pieces.pieceBytes < Manifest::MinPieceBytes ||
        pieces.pieceBytes > Manifest::MaxPieceBytes || pieces.sha256.isEmpty() ||
        pieces.sha256.size() % PieceDigests::DigestBytes != 0) {
        return std::nullopt;
    }
    const std::optional<QByteArray> name = encodeText(file, encoding);
    if (!name) {
        return std::nullopt;
    }
    return QByteArray(Manifest::PiecesTag) + '\t' + *name + '\t' +
           QByteArray::number(pieces.pieceBytes) + '\t' + pieces.sha256.toHex();
}

qint64 pieceBytesFor(qint64 size)
{
    constexpr qint64 MostPieces = 4096;
    qint64 pieceBytes = 4 * 1024 * 1024;
    while (pieceBytes < Manifest::MaxPieceBytes && size > MostPieces * pieceBytes) {
        pieceBytes *= 2;
    }
    return pieceBytes;
}
