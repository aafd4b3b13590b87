#include "part_record.h"

#include "byte_count.h"
#include "resume_rules.h"

#include <QMap>

#include <algorithm>

namespace {

constexpr QByteArrayView Header = "orbistane-part 1\n";
constexpr qsizetype Sha256Bytes = 32;
constexpr qsizetype MaxValidatorBytes = 256;

QByteArray line(const char *key, const QByteArray &value)
{
    return QByteArray(key) + '\t' + value + '\n';
}

QByteArray spansText(const QList<ByteSpan> &spans)
{
    QByteArray text;
    for (const ByteSpan &span : spans) {
        text += (text.isEmpty() ? "" : " ") + QByteArray::number(span.begin) + '-' +
                QByteArray::number(span.end);
    }
    return text;
}

std::optional<qint64> count(const QByteArray &text)
{
    return parseByteCount(QString::fromLatin1(text));
}

std::optional<QList<ByteSpan>> parseSpans(const QByteArray &text, qint64 size)
{
    QList<ByteSpan> spans;
    qint64 after = -1;
    for (const QByteArray &word : text.split(' ')) {
        if (word.isEmpty()) {
            continue;
        }
        const qsizetype dash = word.indexOf('-');
        const std::optional<qint64> begin = count(word.left(dash));
        const std::optional<qint64> end = count(word.mid(dash + 1));
        // In order, not touching, and inside the file where its size is known.
        if (dash < 0 || !begin || !end || *begin <= after || *end <= *begin ||
            (size >= 0 && *end > size)) {
            return std::nullopt;
        }
        // One spelling, as this program writes them.
        if (QByteArray::number(*begin) + '-' + QByteArray::number(*end) != word) {
            return std::nullopt;
        }
        spans.append({*begin, *end});
        after = *end;
    }
    return spans;
}

} // namespace

QByteArray PartRecord::toBytes() const
{
    QByteArray head = Header.toByteArray();
    head += line("file", file.toUtf8().toPercentEncoding());
    if (!sha256.isEmpty()) {
        head += line("sha256", sha256.toHex());
    }
    head += line("size", QByteArray::number(size));
    if (!address.isEmpty()) {
        head += line("address", address.toUtf8().toPercentEncoding());
    }
    if (!validator.isEmpty()) {
        head += line("validator", validator);
    }
    if (part != 0) {
        head += line("part", QByteArray::number(part));
    }
    // Spans that do not fit are not recorded: they are fetched again.
    QList<ByteSpan> fitting = kept;
    QByteArray bytes = head + line("kept", spansText(fitting));
    while (bytes.size() > MaxBytes && !fitting.isEmpty()) {
        fitting.removeLast();
        bytes = head + line("kept", spansText(fitting));
    }
    return bytes.size() <= MaxBytes ? bytes : QByteArray();
}

std::optional<PartRecord> PartRecord::fromBytes(const QByteArray &bytes)
{
    if (bytes.size() > MaxBytes || !bytes.startsWith(Header) || !bytes.endsWith('\n')) {
        return std::nullopt;
    }
    QMap<QByteArray, QByteArray> fields;
    for (const QByteArray &text : bytes.mid(Header.size()).chopped(1).split('\n')) {
        const qsizetype tab = text.indexOf('\t');
        if (tab <= 0 || fields.contains(text.left(tab))) {
            return std::nullopt;
        }
        fields.insert(text.left(tab), text.mid(tab + 1));
    }
    static const QList<QByteArray> known{"file",      "sha256", "size", "address",
                                         "validator", "part",   "kept"};
    for (auto it = fields.cbegin(); it != fields.cend(); ++it) {
        if (!known.contains(it.key())) {
            return std::nullopt;
        }
    }
    PartRecord record;
    record.file = QString::fromUtf8(QByteArray::fromPercentEncoding(fields.value("file")));
    const QByteArray sha256 = fields.value("sha256");
    record.sha256 = QByteArray::fromHex(sha256);
    const QByteArray size = fields.value("size");
    const std::optional<qint64> sizeValue = size == "-1" ? std::optional<qint64>(-1) : count(size);
    record.address = QString::fromUtf8(QByteArray::fromPercentEncoding(fields.value("address")));
    record.validator = fields.value("validator");
    const QByteArray part = fields.value("part", "0");
    bool partOk = false;
    record.part = part.toULongLong(&partOk);
    // Only as this program writes it: one spelling of each value.
    const bool canonical = record.file.toUtf8().toPercentEncoding() == fields.value("file") &&
                           record.address.toUtf8().toPercentEncoding() == fields.value("address") &&
                           QByteArray::number(sizeValue.value_or(0)) == size &&
                           (!fields.contains("part") ||
                            (QByteArray::number(record.part) == part && record.part != 0));
    if (!canonical || record.file.isEmpty() || !sizeValue || !fields.contains("kept") || !partOk ||
        (fields.contains("sha256") &&
         (record.sha256.size() != Sha256Bytes || record.sha256.toHex() != sha256)) ||
        record.validator.size() > MaxValidatorBytes || !NetRules::isHeaderValue(record.validator)) {
        return std::nullopt;
    }
    record.size = *sizeValue;
    const std::optional<QList<ByteSpan>> kept = parseSpans(fields.value("kept"), record.size);
    if (!kept) {
        return std::nullopt;
    }
    record.kept = *kept;
    return record;
}

qint64 PartRecord::keptPrefix() const
{
    return !kept.isEmpty() && kept.constFirst().begin == 0 ? kept.constFirst().end : 0;
}

qint64 PartRecord::keptBytes() const
{
    qint64 bytes = 0;
    for (const ByteSpan &span : kept) {
        bytes += span.size();
    }
    return bytes;
}

bool PartRecord::keeps(ByteSpan span) const
{
    return std::any_of(kept.cbegin(), kept.cend(), [span](const ByteSpan &whole) {
        return whole.begin <= span.begin && span.end <= whole.end;
    });
}
