#include "progress.h"

#include <cmath>
#include <limits>

qint32 addReceived(qint32 count, qint64 bytes)
{
    const qint64 sum = qint64(count) + bytes;
    if (sum > std::numeric_limits<qint32>::max()) {
        return count;
    }
    return static_cast<qint32>(sum);
}

qint16 nextPercentage(qint16 previous, qint64 received, qint64 remoteSize)
{
    const double share = std::floor(double(received) / double(remoteSize) * 100.0);
    qint16 percentage = previous;
    if (std::isfinite(share) && share >= std::numeric_limits<qint16>::min() &&
        share <= std::numeric_limits<qint16>::max()) {
        percentage = static_cast<qint16>(share);
    }
    if (percentage > 100) {
        percentage = 100;
    }
    if (percentage < 0) {
        percentage = 0;
    }
    return percentage;
}
