// Feeds arbitrary bytes through the manifest reader: decoding, line splitting
// and line parsing must never crash, every entry must be safe to join to a
// folder and write back as it was read, a signed manifest's entries must all
// be pinned, piece digests must fit the size they are for, and every mirror
// taken must be an http or https folder.
#include "manifest.h"
#include "manifest_reader.h"
#include "mirror_list.h"

#include <QUrl>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data),
                                                     static_cast<qsizetype>(size));
    const QString folder = QStringLiteral("https://dl.example/online_installer/");
    const ManifestContents optional = readManifest(bytes, Pinning::Optional, folder);
    const ManifestContents required = readManifest(bytes, Pinning::Required, folder);

    int previous = 0;
    for (const ListedRelease &release : optional.releases) {
        const ManifestEntry &entry = release.entry;
        require(isPlainFileName(entry.file) && !entry.file.contains(QLatin1Char('/')));
        require(!entry.name.contains(QLatin1Char('\n')) && !entry.name.contains(QLatin1Char('\t')));
        require(!entry.pin.pinsDigest() || entry.pin.sha256.size() == 32);
        require(entry.pin.size >= -1);
        require(release.line > previous && release.line <= optional.lines);
        previous = release.line;
        // Pieces only when they fit the pins, and what is written reads back as
        // it was: the release line, then its pieces line.
        require(entry.pin.pieces == PieceDigests() || entry.pin.pinsPieces());
        if (const std::optional<QByteArray> line = writeManifestLine(entry, TextEncoding::Utf8)) {
            ManifestReader reader(Pinning::Optional, {});
            reader.take(QString::fromUtf8(*line));
            if (entry.pin.pinsPieces()) {
                const std::optional<QByteArray> pieces =
                    writePiecesLine(entry.file, entry.pin.pieces, TextEncoding::Utf8);
                require(pieces.has_value());
                reader.take(QString::fromUtf8(*pieces));
            }
            require(reader.result().releases.value(0).entry == entry);
        }
    }
    // Requiring pins only ever takes releases away, and what it keeps is pinned.
    for (const ListedRelease &release : required.releases) {
        const auto same = std::find_if(
            optional.releases.cbegin(), optional.releases.cend(),
            [&release](const ListedRelease &other) { return other.line == release.line; });
        require(same != optional.releases.cend() && same->entry == release.entry);
        require(release.entry.pin.pinsDigest() && release.entry.pin.pinsSize());
    }
    require(required.servers.all() == optional.servers.all());
    require(optional.notes.size() <= Manifest::MaxNotes);

    const QStringList &servers = optional.servers.all();
    require(servers.size() <= Manifest::MaxMirrors + 1 && servers.value(0) == folder);
    for (const QString &mirror : servers) {
        const QUrl url(mirror);
        require(url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"));
        require(!url.host().isEmpty() && url.port() != 0 && url.path().endsWith(QLatin1Char('/')));
    }
    return 0;
}
