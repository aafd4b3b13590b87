#pragma once

#include "http_request.h"
#include "network_access.h"

#include <chrono>

class QtHttpRequest final : public HttpRequest
{
public:
    explicit QtHttpRequest(const NetworkAccess &network,
                           std::chrono::milliseconds timeout = std::chrono::seconds(60));

    QByteArray Get(const QString &address, qint64 maxBytes) override;

private:
    NetworkAccess m_network;
    std::chrono::milliseconds m_timeout;
};
