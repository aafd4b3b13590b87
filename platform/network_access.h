#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;
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

    // Trusts the system's certificate store.
    explicit NetworkAccess(QNetworkAccessManager &manager);
    // Trusts the system's store and the authorities given besides (a test's own CA).
    NetworkAccess(QNetworkAccessManager &manager, const QList<QSslCertificate> &authorities);

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

private:
    QNetworkReply *watched(QNetworkReply *reply) const;

    QNetworkAccessManager *m_manager;
    QSslConfiguration m_tls;
};
