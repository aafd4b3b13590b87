#include "qt_http_request.h"

#include "runtime_error.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <memory>

QtHttpRequest::QtHttpRequest(const NetworkAccess &network, std::chrono::milliseconds timeout,
                             std::chrono::milliseconds firstRetryDelay)
    : m_network(network), m_timeout(timeout), m_firstRetryDelay(firstRetryDelay)
{
}

QByteArray QtHttpRequest::Get(const QString &address, qint64 maxBytes)
{
    std::chrono::milliseconds delay = m_firstRetryDelay;
    for (int attempts = 1;; ++attempts) {
        bool mayPass = false;
        std::optional<std::chrono::milliseconds> asked;
        try {
            return attempt(address, maxBytes, attempts, mayPass, asked);
        } catch (const RuntimeError &error) {
            if (!mayPass || attempts == Attempts) {
                if (attempts == 1) {
                    throw;
                }
                throw RuntimeError(error.number(),
                                   error.description() +
                                       QStringLiteral(" (%1 attempts)").arg(attempts));
            }
        }
        const std::chrono::milliseconds wait = std::max(
            delay, std::min<std::chrono::milliseconds>(asked.value_or(delay), MaxRetryAfter));
        QEventLoop pause;
        QTimer::singleShot(wait, &pause, &QEventLoop::quit);
        pause.exec(QEventLoop::ExcludeUserInputEvents);
        delay *= 2;
    }
}

QByteArray QtHttpRequest::attempt(const QString &address, qint64 maxBytes, int number,
                                  bool &mayPass,
                                  std::optional<std::chrono::milliseconds> &retryAfter)
{
    QElapsedTimer clock;
    clock.start();
    QNetworkRequest request = m_network.request(QUrl(address));
    request.setTransferTimeout(static_cast<int>(m_timeout.count()));
    const std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)> reply(
        m_network.get(request), [](QNetworkReply *r) { r->deleteLater(); });

    bool tooLarge = false;
    QByteArray body;
    QEventLoop loop;
    QObject::connect(reply.get(), &QNetworkReply::readyRead, &loop, [&] {
        if (body.size() + reply->bytesAvailable() > maxBytes) {
            tooLarge = true;
            reply->abort();
            return;
        }
        body += reply->readAll();
    });
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished()) {
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    m_network.logRequest(*reply, body.size() + reply->bytesAvailable(), clock.elapsed(), number);

    if (tooLarge) {
        throw RuntimeError(ErrorNumber::ManifestRefused,
                           QStringLiteral("The answer from %1 is larger than %2 bytes")
                               .arg(address)
                               .arg(maxBytes));
    }
    // Only the transfer time-out cancels a request here.
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool refused = !NetworkAccess::refusal(*reply, address).isEmpty();
    const QString proxyFailure = m_network.proxyFailure(*reply, address);
    mayPass = !tooLarge && !refused &&
              (reply->error() == QNetworkReply::OperationCanceledError ||
               // A body that broke off under a 2xx may come whole the next time.
               NetworkAccess::mayPass(reply->error(), status / 100 == 2 ? 0 : status));
    retryAfter = NetworkAccess::retryAfter(*reply);
    if (reply->error() == QNetworkReply::OperationCanceledError) {
        throw RuntimeError(ErrorNumber::RequestTimedOut,
                           QStringLiteral("The request for %1 timed out after %2 s")
                               .arg(address)
                               .arg(m_timeout.count() / 1000.0));
    }
    // Before the status: a refused redirect still carries the 3xx it came with.
    if (const QString refusal = NetworkAccess::refusal(*reply, address); !refusal.isEmpty()) {
        throw RuntimeError(ErrorNumber::TransferFailed, refusal);
    }
    // Before the status too: a proxy that wants credentials answers 407 itself.
    if (!proxyFailure.isEmpty()) {
        throw RuntimeError(ErrorNumber::TransferFailed, proxyFailure);
    }
    if (status == 0) {
        throw RuntimeError(
            ErrorNumber::TransferFailed,
            QStringLiteral("No answer from %1: %2").arg(address, reply->errorString()));
    }
    if (status < 200 || status > 299) {
        const QString reason =
            reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        throw RuntimeError(ErrorNumber::TransferFailed, QStringLiteral("%1 answered HTTP %2 %3")
                                                            .arg(address)
                                                            .arg(status)
                                                            .arg(reason)
                                                            .trimmed());
    }
    if (reply->error() != QNetworkReply::NoError) {
        throw RuntimeError(
            ErrorNumber::TransferFailed,
            QStringLiteral("The answer from %1 broke off: %2").arg(address, reply->errorString()));
    }
    body += reply->readAll();
    if (body.size() > maxBytes) {
        throw RuntimeError(ErrorNumber::ManifestRefused,
                           QStringLiteral("The answer from %1 is larger than %2 bytes")
                               .arg(address)
                               .arg(maxBytes));
    }
    return body;
}
