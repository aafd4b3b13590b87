// Feeds arbitrary bytes through the manifest reader: decoding, line splitting
// and line parsing must never crash, every entry must be safe to join to a
// folder, a signed manifest's entries must all be pinned, and every mirror
// taken must be an http or https folder.
#include "manifest.h"
#include "mirror_list.h"
#include "text_lines.h"

#include <QUrl>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data),
                                                     static_cast<qsizetype>(size));
    ReleaseServers servers(QStringLiteral("https://dl.example/online_installer/"));
    for (const QString &line : splitLines(bytes)) {
        if (line.contains(QLatin1Char('\n'))) {
            std::abort();
        }
        const ManifestLine optional = readManifestLine(line, Pinning::Optional);
        const ManifestLine required = readManifestLine(line, Pinning::Required);
        if (const std::optional<ManifestEntry> &entry = optional.entry) {
            if (!isPlainFileName(entry->file) || entry->file.contains(QLatin1Char('/')) ||
                (entry->pin.pinsDigest() && entry->pin.sha256.size() != 32) ||
                entry->pin.size < -1) {
                std::abort();
            }
        }
        // Requiring pins only ever takes lines away, and what it keeps is pinned.
        if (required.entry &&
            (!required.entry->pin.pinsDigest() || required.entry != optional.entry)) {
            std::abort();
        }
        if (optional.entry.has_value() == (optional.skipped != SkipReason::None)) {
            std::abort();
        }
        const MirrorLine mirror = readMirrorLine(line);
        if (mirror.tagged && mirror.skipped == MirrorSkip::None) {
            const QUrl url(mirror.address);
            if ((url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")) ||
                url.host().isEmpty() || url.port() == 0 || !url.path().endsWith(QLatin1Char('/'))) {
                std::abort();
            }
            servers.addMirror(mirror.address);
        }
    }
    if (servers.all().size() > Manifest::MaxMirrors + 1) {
        std::abort();
    }
    return 0;
}
