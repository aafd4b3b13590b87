#include "qt_http_request.h"

#include "runtime_error.h"

#include <QEventLoop>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <memory>

QtHttpRequest::QtHttpRequest(const NetworkAccess &network, std::chrono::milliseconds timeout)
    : m_network(network), m_timeout(timeout)
{
}

QByteArray QtHttpRequest::Get(const QString &address, qint64 maxBytes)
{
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

    if (tooLarge) {
        throw RuntimeError(ErrorNumber::ManifestRefused,
                           QStringLiteral("The answer from %1 is larger than %2 bytes")
                               .arg(address).arg(maxBytes));
    }
    // Only the transfer time-out cancels a request here.
    if (reply->error() == QNetworkReply::OperationCanceledError) {
        throw RuntimeError(ErrorNumber::RequestTimedOut,
                           QStringLiteral("The request for %1 timed out after %2 s")
                               .arg(address).arg(m_timeout.count() / 1000.0));
    }
    // Before the status: a refused redirect still carries the 3xx it came with.
    if (const QString refusal = NetworkAccess::refusal(*reply, address); !refusal.isEmpty()) {
        throw RuntimeError(ErrorNumber::TransferFailed, refusal);
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 0) {
        throw RuntimeError(ErrorNumber::TransferFailed,
                           QStringLiteral("No answer from %1: %2")
                               .arg(address, reply->errorString()));
    }
    if (status < 200 || status > 299) {
        const QString reason =
            reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        throw RuntimeError(ErrorNumber::TransferFailed,
                           QStringLiteral("%1 answered HTTP %2 %3").arg(address).arg(status)
                               .arg(reason).trimmed());
    }
    if (reply->error() != QNetworkReply::NoError) {
        throw RuntimeError(ErrorNumber::TransferFailed,
                           QStringLiteral("The answer from %1 broke off: %2")
                               .arg(address, reply->errorString()));
    }
    body += reply->readAll();
    if (body.size() > maxBytes) {
        throw RuntimeError(ErrorNumber::ManifestRefused,
                           QStringLiteral("The answer from %1 is larger than %2 bytes")
                               .arg(address).arg(maxBytes));
    }
    return body;
}
