#include "transfer_meter.h"

#include <algorithm>
#include <cmath>

void TransferMeter::sample(qint64 bytesSoFar, qint64 msecs)
{
    if (!m_started || bytesSoFar < m_lastBytes || msecs < m_anchorMsecs) {
        m_started = true;
        m_anchorBytes = bytesSoFar;
        m_anchorMsecs = msecs;
        m_lastBytes = bytesSoFar;
        return;
    }
    m_lastBytes = bytesSoFar;
    const qint64 elapsed = msecs - m_anchorMsecs;
    if (elapsed < MinIntervalMsecs) {
        return;
    }

    const double seconds = double(elapsed) / 1000.0;
    const double intervalRate = double(bytesSoFar - m_anchorBytes) / seconds;
    // The first interval weighs 1; later ones their share of the time covered,
    // and at least what the time constant gives them.
    const double weight = std::max(seconds / (m_coveredSeconds + seconds),
                                   1.0 - std::exp(-seconds / WindowSeconds));
    m_rate += weight * (intervalRate - m_rate);
    if (m_rate < 1.0) {
        m_rate = 0.0;
    }
    m_hasRate = true;
    m_coveredSeconds += seconds;
    m_anchorBytes = bytesSoFar;
    m_anchorMsecs = msecs;
}

void TransferMeter::reset()
{
    *this = TransferMeter();
}

std::optional<double> TransferMeter::bytesPerSecond() const
{
    if (!m_hasRate) {
        return std::nullopt;
    }
    return m_rate;
}

std::optional<qint64> TransferMeter::secondsLeft(qint64 totalBytes) const
{
    if (!m_hasRate || m_rate <= 0.0 || totalBytes < 0) {
        return std::nullopt;
    }
    const qint64 remaining = std::max<qint64>(totalBytes - m_lastBytes, 0);
    // Held far below qint64's limit so that the conversion is defined whatever
    // the sizes.
    return qint64(std::min(std::ceil(double(remaining) / m_rate), 1e15));
}
