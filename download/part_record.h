#pragma once

#include "piece_plan.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <optional>

// What a .part keeps, so that a later run can carry on with it: which release
// it holds and which of its bytes are on the disk. Read back from a file that
// anyone with the folder may have written, so every field is checked, and what
// it claims is trusted no further than the release's pins check it.
struct PartRecord
{
    // Where it is kept: an extended attribute of the .part, or, on a volume
    // without them, a small file beside it.
    static constexpr const char *Attribute = "user.orbistane.part";
    static constexpr QLatin1String SideSuffix{".state"};
    // Small enough for any volume's attribute; spans that do not fit are left
    // out, and come again.
    static constexpr qsizetype MaxBytes = 2048;

    QString file;         // the release's file name
    QByteArray sha256;    // its pinned SHA-256; empty when it is not pinned
    qint64 size = -1;     // pinned, or as its server said; -1 when not known
    QString address;      // unpinned: the address that served it
    QByteArray validator; // unpinned: that server's strong ETag or Last-Modified
    QList<ByteSpan> kept; // on the disk, in order, neither empty nor touching
    quint64 part = 0;     // the .part's inode, which a file beside it names

    QByteArray toBytes() const;
    // Nothing when bytes are not a record this program wrote.
    static std::optional<PartRecord> fromBytes(const QByteArray &bytes);

    // The bytes kept from the first on.
    qint64 keptPrefix() const;
    qint64 keptBytes() const;
    bool keeps(ByteSpan span) const;

    friend bool operator==(const PartRecord &, const PartRecord &) = default;
};
