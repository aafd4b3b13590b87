#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QNetworkReply>
#include <QString>

#include <chrono>
#include <optional>

// When a request that failed is sent again, and after how long: the one table
// the size probe, the transfer and the manifest fetch all follow. No socket, no
// timer: the callers wait, these rules say for how long.
namespace NetRules {

// A server's Retry-After is honoured up to this.
inline constexpr std::chrono::seconds MaxRetryAfter{30};

// Whether a request that failed this way may work when sent again: the
// connection refused or broken, or a gateway's 502, 503 or 504. A status other
// than 0 decides alone.
bool mayPass(QNetworkReply::NetworkError error, int status);

// The wait a Retry-After value asks for, in seconds or as an HTTP date counted
// from now (UTC); nothing when it asks none.
std::optional<std::chrono::milliseconds> parseRetryAfter(const QByteArray &value,
                                                         const QDateTime &now);

// What to do after an attempt that failed in a way that may pass.
struct RetryDecision
{
    bool retry = false;
    std::chrono::milliseconds delay{0};
    // The attempt brought new bytes: the next follows without a wait of its own.
    bool afterProgress = false;

    friend bool operator==(const RetryDecision &, const RetryDecision &) = default;
};

// The retries of one request. Waits start at the first delay and double;
// progress (a byte beyond the furthest any attempt reached) resets the count,
// and the attempt that made it is followed at once.
class RetrySchedule
{
public:
    static constexpr int ProbeAttempts = 3;   // a HEAD, in all
    static constexpr int TransferRetries = 5; // a GET of the file, in a row without progress
    static constexpr int FetchAttempts = 3;   // the manifest, in all

    static RetrySchedule probe(std::chrono::milliseconds firstDelay);
    static RetrySchedule transfer(std::chrono::milliseconds firstDelay);
    static RetrySchedule fetch(std::chrono::milliseconds firstDelay);

    RetrySchedule(std::chrono::milliseconds firstDelay, int maxRetries);

    // Counts an attempt that starts now.
    void attemptStarted();
    // The running attempt reached beyond every earlier one.
    void progressed();
    // After a failure that may pass: whether to try again and after how long,
    // at least what the server asked for, up to MaxRetryAfter. Counts the retry.
    RetryDecision afterFailure(std::optional<std::chrono::milliseconds> asked = std::nullopt);

    int attempts() const { return m_attempts; }
    // The retry under way or last made, 1 for the first; 0 after progress.
    int retry() const { return m_retries; }
    int maxRetries() const { return m_maxRetries; }

    // The log's line for a retry decided for address, asking from byte from.
    QString describe(const RetryDecision &decision, const QString &address, qint64 from) const;

private:
    std::chrono::milliseconds m_firstDelay;
    int m_maxRetries;
    int m_retries = 0;  // in a row without progress
    int m_attempts = 0; // in all, for the report
    bool m_progressed = false;
};

} // namespace NetRules
