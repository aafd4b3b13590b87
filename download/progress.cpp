#include "progress.h"

#include <cmath>
#include <limits>

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
