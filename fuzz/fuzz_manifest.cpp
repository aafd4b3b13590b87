// Feeds arbitrary bytes through the manifest reader: decoding, line splitting
// and line parsing must never crash, and every entry must be safe to join to
// a folder.
#include "linux_file_system.h"
#include "manifest.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data),
                                                     static_cast<qsizetype>(size));
    for (const QString &line : splitLines(bytes)) {
        if (line.contains(QLatin1Char('\n'))) {
            std::abort();
        }
        if (const std::optional<ManifestEntry> entry = parseManifestLine(line)) {
            if (!isPlainFileName(entry->file) || entry->file.contains(QLatin1Char('/'))) {
                std::abort();
            }
        }
    }
    return 0;
}
