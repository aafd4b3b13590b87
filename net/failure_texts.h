#pragma once

#include <QString>
#include <QStringList>

#include <chrono>

// The texts a failed request is reported with, each written once. Every one
// names the address; the manifest fetch and the transfer share them.
namespace FailureTexts {

// " (N attempts)" after a failure that took more than one attempt; else empty.
QString attempts(int count);

QString answeredHttp(const QString &address, int status, const QString &reason);
QString answeredHttpForRange(const QString &address, int status, const QString &reason,
                             qint64 resumeFrom);
QString noAnswer(const QString &address, const QString &why);
QString noAnswerWithin(const QString &address, std::chrono::milliseconds timeout);
QString noDataFor(const QString &address, std::chrono::milliseconds timeout);
// Less than minBytesPerSecond came in a window of that length.
QString slowerThan(const QString &address, qint64 minBytesPerSecond,
                   std::chrono::milliseconds window);

QString transferBrokeOff(const QString &address, const QString &why);
QString transferBrokeOffAfter(const QString &address, qint64 position, qint64 total);
QString answerBrokeOff(const QString &address, const QString &why);
QString answerTooLarge(const QString &address, qint64 maxBytes);
QString sentMoreThanAnnounced(const QString &address, qint64 announced, qint64 from);

QString cancelled(const QString &address);
// A server that answered a request for a part of the file with the whole of it.
QString partsRefused(const QString &address);

// Refused for its security: a certificate that did not verify (errors, as the
// TLS library words them), a redirect from https to http (target empty when the
// answer did not say where to), a handshake that failed.
QString certificateNotVerified(const QString &address, const QStringList &errors);
QString insecureRedirect(const QString &address, const QString &target);
QString noSecureConnection(const QString &address, const QString &why);

// What went wrong with the proxy: proxy names it and where it was set
// (ProxySettings::describe and the variable), address the request.
enum class ProxyFault { Refused, NotFound, RejectedCredentials, WantsCredentials, Other };
QString proxyFailure(ProxyFault fault, const QString &proxy, const QString &source,
                     const QString &address, const QString &why);

QString wrongRange(const QString &address, const QString &contentRange, qint64 resumeFrom,
                   qint64 total);
QString wrongRangeLength(const QString &address, qint64 length, const QString &contentRange);

} // namespace FailureTexts
