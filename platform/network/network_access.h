#pragma once

#include "proxy_settings.h"
#include "resume_rules.h"
#include "verdict.h"

#include <QList>
#include <QNetworkReply>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

class QNetworkAccessManager;
class QNetworkRequest;
class QUrl;

// How every request goes out: the manifest fetch, the size probe and the transfer
// share one manager, one TLS trust and the same request settings. A small value:
// each component keeps its own copy, all of them speaking through the same manager.
// One trust per manager: Qt hands a later request to the same host and port the
// connection it already has, with the TLS configuration that connection was
// opened with.
class NetworkAccess final
{
public:
    static constexpr int MaxRedirects = 5;

    // Trusts the system's certificate store, and sends every request of manager
    // the way proxies says.
    explicit NetworkAccess(QNetworkAccessManager &manager,
                           ProxySettings proxies = ProxySettings::direct());
    // Trusts the system's store and the authorities given besides (a test's own CA).
    NetworkAccess(QNetworkAccessManager &manager, const QList<QSslCertificate> &authorities,
                  ProxySettings proxies = ProxySettings::direct());

    // A request for url with the TLS trust, no transparent decoding and redirects
    // that never go from https to http.
    QNetworkRequest request(const QUrl &url) const;
    // Sends a GET or a HEAD of a request made by request(); the reply remembers
    // what its TLS handshake objected to, for refusal(). The caller owns it.
    QNetworkReply *get(const QNetworkRequest &request) const;
    QNetworkReply *head(const QNetworkRequest &request) const;

    // Why a finished reply was refused for its security, naming address: a
    // certificate that did not verify, a failed TLS handshake or a redirect to
    // http. Empty for any other outcome.
    static QString refusal(const QNetworkReply &reply, const QString &address);

    // What went wrong with the proxy a finished reply went through, naming the
    // proxy, where it was set, and address; empty when the proxy is not to blame.
    QString proxyFailure(const QNetworkReply &reply, const QString &address) const;

    // What a reply shows the rule book at its headers or at its end, naming address.
    NetRules::Seen seen(const QNetworkReply &reply, const QString &address,
                        NetRules::Seen::Moment moment) const;

    // Writes the line orbistane.net keeps of a finished or dropped request:
    // method, address, the proxy, the status or error, the body bytes received
    // and the time taken; attempt counts from 1.
    void logRequest(const QNetworkReply &reply, qint64 bytes, qint64 msecs, int attempt) const;

    // The wait the reply's Retry-After asks for, from now; nothing when it asks none.
    static std::optional<std::chrono::milliseconds> retryAfter(const QNetworkReply &reply);
    // What the reply's headers say, for the rules of resuming.
    static NetRules::Answer answerOf(const QNetworkReply &reply);

private:
    QNetworkReply *watched(QNetworkReply *reply) const;

    QNetworkAccessManager *m_manager;
    QSslConfiguration m_tls;
    std::shared_ptr<const ProxySettings> m_proxies;
};
