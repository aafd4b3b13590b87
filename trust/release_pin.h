#pragma once

#include <QByteArray>
#include <QtGlobal>

// What the manifest pins of a release, so that nothing else passes for it.
struct ReleasePin
{
    QByteArray sha256; // 32 bytes; empty when not pinned
    qint64 size = -1;  // in bytes; -1 when not pinned

    bool pinsDigest() const { return !sha256.isEmpty(); }
    bool pinsSize() const { return size >= 0; }
    bool operator==(const ReleasePin &) const = default;
};
