#pragma once

#include <QtGlobal>

// The body is taken from the transfer control in pieces of this size.
inline constexpr int ChunkSize = 1024;

// The percentage shown after received of remoteSize bytes: received divided by
// remoteSize, times 100, in double precision and rounded down (so 29 of 100 gives
// 28). A result outside 16 bits keeps previous; the result is then held to 100
// and to 0, in that order. A remoteSize of -1 always gives 0. 64-bit, so that a
// release over 2 GiB has its percentage too.
qint16 nextPercentage(qint16 previous, qint64 received, qint64 remoteSize);
