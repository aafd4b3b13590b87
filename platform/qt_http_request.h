#pragma once

#include "http_request.h"

#include <chrono>

class QNetworkAccessManager;

class QtHttpRequest final : public HttpRequest
{
public:
    explicit QtHttpRequest(QNetworkAccessManager &network,
                           std::chrono::milliseconds timeout = std::chrono::seconds(60));

    QByteArray Get(const QString &address, qint64 maxBytes) override;

private:
    QNetworkAccessManager &m_network;
    std::chrono::milliseconds m_timeout;
};
