#pragma once

#include "http_request.h"
#include "network_access.h"

#include <chrono>

// A GET that tries again when the failure may pass (no connection, a broken
// one, a time-out, a gateway's 502, 503 or 504): up to Attempts in all,
// waiting firstRetryDelay and then twice as long, or what Retry-After asks up
// to MaxRetryAfter. A server that is down is reported within seconds.
class QtHttpRequest final : public HttpRequest
{
public:
    static constexpr int Attempts = 3;
    static constexpr std::chrono::seconds MaxRetryAfter{30};

    explicit QtHttpRequest(const NetworkAccess &network,
                           std::chrono::milliseconds timeout = std::chrono::seconds(60),
                           std::chrono::milliseconds firstRetryDelay = std::chrono::seconds(1));

    QByteArray Get(const QString &address, qint64 maxBytes) override;

private:
    // One request, the number-th. When it fails, retryAfter says how long the
    // server asked to wait, and mayPass whether another attempt may do better.
    QByteArray attempt(const QString &address, qint64 maxBytes, int number, bool &mayPass,
                       std::optional<std::chrono::milliseconds> &retryAfter);

    NetworkAccess m_network;
    std::chrono::milliseconds m_timeout;
    std::chrono::milliseconds m_firstRetryDelay;
};
