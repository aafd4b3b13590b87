#pragma once

#include <QtGlobal>

#include <optional>

// The transfer rate and the time left, smoothed for a status line read twice a
// second. Fed with the bytes written so far and a monotonic time in ms.
//
// Interval rates are averaged with weights that fade with time (an exponential
// moving average with a time constant of WindowSeconds), so a burst or a short
// stall moves the figure a little, and a pause brings it down steadily instead
// of freezing it. Until the estimate covers WindowSeconds, all of it weighs
// alike: the first figure is the plain average since the start, not one that
// lags behind it.
class TransferMeter final
{
public:
    static constexpr double WindowSeconds = 5.0;
    // Shorter intervals say more about the timer than about the network: their
    // bytes are counted with the next one.
    static constexpr qint64 MinIntervalMsecs = 250;

    // A count lower than the last one (the transfer started again from byte 0)
    // starts a new interval there; the smoothed rate carries on through it.
    void sample(qint64 bytesSoFar, qint64 msecs);
    // Forgets everything, for another transfer.
    void reset();

    // Unknown until an interval of MinIntervalMsecs has been seen. Below 1 B/s
    // it reads 0: a stall that has lasted is a stall.
    std::optional<double> bytesPerSecond() const;
    // Whole seconds to totalBytes at the current rate, rounded up so that
    // "0 s" is only shown when everything is there. Unknown while the rate is
    // unknown or 0, or when totalBytes is (below 0).
    std::optional<qint64> secondsLeft(qint64 totalBytes) const;

private:
    bool m_started = false;
    bool m_hasRate = false;
    double m_rate = 0.0;
    // How many seconds the estimate covers so far.
    double m_coveredSeconds = 0.0;
    // Where the current interval began.
    qint64 m_anchorBytes = 0;
    qint64 m_anchorMsecs = 0;
    qint64 m_lastBytes = 0;
};
