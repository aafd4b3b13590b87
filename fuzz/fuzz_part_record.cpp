// Feeds arbitrary bytes to the reader of a .part's record, which a later run
// reads from a file others may have written: it must never crash, and what it
// accepts must be a record it would write again as it read it, whose spans lie
// in order inside the file and whose validator can go into a header as it is.
#include "part_record.h"
#include "resume_rules.h"

#include <cstdint>
#include <cstdlib>
#include <optional>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const std::optional<PartRecord> record = PartRecord::fromBytes(bytes);
    if (!record) {
        return 0;
    }
    qint64 after = -1;
    for (const ByteSpan &span : record->kept) {
        if (span.begin <= after || span.end <= span.begin ||
            (record->size >= 0 && span.end > record->size)) {
            std::abort();
        }
        after = span.end;
    }
    if (!NetRules::isHeaderValue(record->validator) ||
        (!record->sha256.isEmpty() && record->sha256.size() != 32)) {
        std::abort();
    }
    if (PartRecord::fromBytes(record->toBytes()) != record) {
        std::abort();
    }
    return 0;
}
