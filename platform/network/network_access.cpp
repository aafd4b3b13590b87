#include "network_access.h"

#include "diagnostics.h"
#include "failure_texts.h"
#include "retry_rules.h"

#include <QDateTime>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslError>
#include <QStringList>
#include <QUrl>

namespace {

// Where a reply keeps the texts of what its handshake objected to. Qt hands
// them out only while the handshake runs, and says no more than "handshake
// failed" once the reply is finished.
constexpr char TlsErrorsProperty[] = "orbistaneTlsErrors";

} // namespace

NetworkAccess::NetworkAccess(QNetworkAccessManager &manager, ProxySettings proxies)
    : m_manager(&manager), m_tls(QSslConfiguration::defaultConfiguration()),
      m_proxies(std::make_shared<const ProxySettings>(std::move(proxies)))
{
    // The manager owns the factory; every request it sends asks it the way.
    manager.setProxyFactory(new SettingsProxyFactory(m_proxies));
}

NetworkAccess::NetworkAccess(QNetworkAccessManager &manager,
                             const QList<QSslCertificate> &authorities, ProxySettings proxies)
    : NetworkAccess(manager, std::move(proxies))
{
    if (!authorities.isEmpty()) {
        // Setting any authority turns off the lazy load of the system's store,
        // so the store is named here in full.
        m_tls.setCaCertificates(QSslConfiguration::systemCaCertificates() + authorities);
    }
}

QNetworkRequest NetworkAccess::request(const QUrl &url) const
{
    QNetworkRequest request(url);
    request.setSslConfiguration(m_tls);
    // The bytes written must be the bytes announced: no transparent decoding.
    request.setRawHeader("Accept-Encoding", "identity");
    // Qt's default, stated here because it is what keeps https from falling
    // back to http: such a redirect ends the reply with InsecureRedirectError.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(MaxRedirects);
    return request;
}

QNetworkReply *NetworkAccess::get(const QNetworkRequest &request) const
{
    return watched(m_manager->get(request));
}

QNetworkReply *NetworkAccess::head(const QNetworkRequest &request) const
{
    return watched(m_manager->head(request));
}

QNetworkReply *NetworkAccess::watched(QNetworkReply *reply) const
{
    // Nothing is ignored: the errors are only written down, and the handshake
    // then fails as Qt fails it.
    QObject::connect(reply, &QNetworkReply::sslErrors, reply,
                     [reply](const QList<QSslError> &errors) {
                         QStringList texts = reply->property(TlsErrorsProperty).toStringList();
                         for (const QSslError &error : errors) {
                             if (!texts.contains(error.errorString())) {
                                 texts.append(error.errorString());
                             }
                         }
                         reply->setProperty(TlsErrorsProperty, texts);
                     });
    return reply;
}

QString NetworkAccess::refusal(const QNetworkReply &reply, const QString &address)
{
    if (reply.error() == QNetworkReply::NoError) {
        return {};
    }
    const QStringList tlsErrors = reply.property(TlsErrorsProperty).toStringList();
    if (!tlsErrors.isEmpty()) {
        return FailureTexts::certificateNotVerified(address, tlsErrors);
    }
    if (reply.error() == QNetworkReply::InsecureRedirectError) {
        // The refused answer is the reply's last: its Location says where to.
        const QByteArray location = reply.rawHeader("Location");
        return FailureTexts::insecureRedirect(
            address, location.isEmpty()
                         ? QString()
                         : reply.url().resolved(QUrl::fromEncoded(location)).toString());
    }
    if (reply.error() == QNetworkReply::SslHandshakeFailedError) {
        return FailureTexts::noSecureConnection(address, reply.errorString());
    }
    return {};
}

QString NetworkAccess::proxyFailure(const QNetworkReply &reply, const QString &address) const
{
    QNetworkReply::NetworkError error = reply.error();
    // Through a proxy, the one connection made is the one to the proxy.
    if (error == QNetworkReply::ConnectionRefusedError) {
        error = QNetworkReply::ProxyConnectionRefusedError;
    } else if (error == QNetworkReply::HostNotFoundError) {
        error = QNetworkReply::ProxyNotFoundError;
    }
    if (error < QNetworkReply::ProxyConnectionRefusedError ||
        error > QNetworkReply::UnknownProxyError) {
        return {};
    }
    const std::optional<ProxyRoute> route = m_proxies->proxyFor(reply.url());
    if (!route) {
        // Direct: the server refused, or answered 407 itself.
        return {};
    }
    using FailureTexts::ProxyFault;
    ProxyFault fault = ProxyFault::Other;
    switch (error) {
    case QNetworkReply::ProxyConnectionRefusedError:
        fault = ProxyFault::Refused;
        break;
    case QNetworkReply::ProxyNotFoundError:
        fault = ProxyFault::NotFound;
        break;
    case QNetworkReply::ProxyAuthenticationRequiredError:
        fault = route->proxy.user().isEmpty() ? ProxyFault::WantsCredentials
                                              : ProxyFault::RejectedCredentials;
        break;
    default:
        break;
    }
    return FailureTexts::proxyFailure(fault, ProxySettings::describe(route->proxy), route->source,
                                      address, reply.errorString());
}

NetRules::Seen NetworkAccess::seen(const QNetworkReply &reply, const QString &address,
                                   NetRules::Seen::Moment moment) const
{
    NetRules::Seen seen;
    seen.moment = moment;
    seen.answer = answerOf(reply);
    if (moment == NetRules::Seen::Moment::Finished) {
        seen.error = reply.error();
        seen.errorText = reply.errorString();
        seen.refusal = refusal(reply, address);
        seen.proxyFailure = proxyFailure(reply, address);
    }
    return seen;
}

void NetworkAccess::logRequest(const QNetworkReply &reply, qint64 bytes, qint64 msecs,
                               int attempt) const
{
    if (!lcNet().isInfoEnabled()) {
        return;
    }
    const QNetworkRequest &request = reply.request();
    const QString method = reply.operation() == QNetworkAccessManager::HeadOperation
                               ? QStringLiteral("HEAD")
                               : QStringLiteral("GET");
    QString line = method + QLatin1Char(' ') + request.url().toString();
    if (const QByteArray range = request.rawHeader("Range"); !range.isEmpty()) {
        line += QStringLiteral(" (%1)").arg(QString::fromLatin1(range));
    }
    if (const std::optional<ProxyRoute> route = m_proxies->proxyFor(request.url())) {
        line += QStringLiteral(" via %1").arg(ProxySettings::describe(route->proxy));
    }
    const int status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status != 0) {
        line += QStringLiteral(": HTTP %1").arg(status);
        if (reply.url() != request.url()) {
            line += QStringLiteral(" from %1").arg(reply.url().toString());
        }
    } else {
        line += QStringLiteral(": no answer");
    }
    if (reply.error() != QNetworkReply::NoError) {
        line += QStringLiteral(" (%1)").arg(reply.errorString());
    }
    line += QStringLiteral(", %1 bytes in %2 ms, attempt %3").arg(bytes).arg(msecs).arg(attempt);
    qCInfo(lcNet).noquote() << line;
}

std::optional<std::chrono::milliseconds> NetworkAccess::retryAfter(const QNetworkReply &reply)
{
    return NetRules::parseRetryAfter(reply.rawHeader("Retry-After"),
                                     QDateTime::currentDateTimeUtc());
}

NetRules::Answer NetworkAccess::answerOf(const QNetworkReply &reply)
{
    const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
    return {reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
            reply.attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString(),
            length.isValid() ? std::optional<qint64>(length.toLongLong()) : std::nullopt,
            reply.rawHeader("Content-Range"),
            reply.rawHeader("ETag"),
            reply.rawHeader("Last-Modified"),
            reply.rawHeader("Accept-Ranges")};
}
