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
bool isPlatformTag(QStringView field)
{
    const QLatin1StringView tag(Manifest::PlatformTag);
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
    if (!isPlatformTag(tag)) {
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
