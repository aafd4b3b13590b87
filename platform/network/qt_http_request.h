#pragma once

#include "http_request.h"
#include "network_access.h"

#include <chrono>

// A GET that tries again when the failure may pass, as RetrySchedule::fetch
// says: a server that is down is reported within seconds. What each answer and
// each end means is the rule book's verdict, the same the transfer follows;
// unlike the transfer, a body that breaks off is asked for again whole.
//
// What a server sends is held to the size limit as it comes, never buffered far
// past it, and to the time-out and the floor on its rate of ReplyWatch: a body
// that never ends is refused at the limit, and one that crawls times out
// instead of holding the program.
class QtHttpRequest final : public HttpRequest
{
public:
    // The reply holds at most this much that was not read yet, or the limit and
    // one byte more when that is less.
    static constexpr qint64 MaxReadBufferBytes = 256 * 1024;

    // timeout: how long a request may go without any byte arriving.
    // firstRetryDelay: the wait before the first retry; the next one doubles.
    // rateWindow, minBytesPerSecond: every rateWindow from the request on, at
    // least minBytesPerSecond times its length must have come since the last
    // one, or the whole body, else the attempt timed out.
    explicit QtHttpRequest(const NetworkAccess &network,
                           std::chrono::milliseconds timeout = std::chrono::seconds(60),
                           std::chrono::milliseconds firstRetryDelay = std::chrono::seconds(1),
                           std::chrono::milliseconds rateWindow = std::chrono::seconds(30),
                           qint64 minBytesPerSecond = 1024);

    QByteArray Get(const QString &address, qint64 maxBytes) override;

private:
    // How one request ended: the body, or the verdict on it.
    struct Outcome
    {
        QByteArray body;
        NetRules::Verdict verdict;
        std::optional<std::chrono::milliseconds> retryAfter;
    };

    // One request, the number-th.
    Outcome attempt(const QUrl &url, const QString &address, const NetRules::Asked &asked,
                    int number);

    NetworkAccess m_network;
    std::chrono::milliseconds m_timeout;
    std::chrono::milliseconds m_firstRetryDelay;
    std::chrono::milliseconds m_rateWindow;
    qint64 m_minBytesPerSecond;
};
