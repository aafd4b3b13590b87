#include "qt_http_request.h"

#include "failure_texts.h"
#include "retry_rules.h"
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
                             std::chrono::milliseconds firstRetryDelay,
                             std::chrono::milliseconds rateWindow, qint64 minBytesPerSecond)
    : m_network(network), m_timeout(timeout), m_firstRetryDelay(firstRetryDelay),
      m_rateWindow(rateWindow), m_minBytesPerSecond(minBytesPerSecond)
{
}

QByteArray QtHttpRequest::Get(const QString &address, qint64 maxBytes)
{
    NetRules::RetrySchedule schedule = NetRules::RetrySchedule::fetch(m_firstRetryDelay);
    for (;;) {
        schedule.attemptStarted();
        const Outcome outcome = attempt(address, maxBytes, schedule.attempts());
        if (outcome.errorNumber == 0) {
            return outcome.body;
        }
        const NetRules::RetryDecision next = outcome.mayPass
                                                 ? schedule.afterFailure(outcome.retryAfter)
                                                 : NetRules::RetryDecision();
        if (!next.retry) {
            throw RuntimeError(outcome.errorNumber,
                               outcome.failure + FailureTexts::attempts(schedule.attempts()));
        }
        QEventLoop pause;
        QTimer::singleShot(next.delay, &pause, &QEventLoop::quit);
        pause.exec(QEventLoop::ExcludeUserInputEvents);
    }
}

QtHttpRequest::Outcome QtHttpRequest::attempt(const QString &address, qint64 maxBytes, int number)
{
    QElapsedTimer clock;
    clock.start();
    QNetworkRequest request = m_network.request(QUrl(address));
    request.setTransferTimeout(static_cast<int>(m_timeout.count()));
    const std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)> reply(
        m_network.get(request), [](QNetworkReply *r) { r->deleteLater(); });
    // Unbounded, Qt reads ahead of us as fast as the server sends, between two
    // turns of the loop; one byte past the limit is all it takes to refuse.
    reply->setReadBufferSize(std::min(maxBytes + 1, MaxReadBufferBytes));

    enum class Stop { None, TooLarge, TooSlow };
    Stop stopped = Stop::None;
    const auto stop = [&](Stop why) {
        stopped = why;
        reply->abort();
    };
    Outcome outcome;
    const auto received = [&] { return outcome.body.size() + reply->bytesAvailable(); };
    QEventLoop loop;
    QObject::connect(reply.get(), &QNetworkReply::metaDataChanged, &loop, [&] {
        // A redirect's headers come here too; its body is never read.
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (status / 100 != 3 && length.isValid() && length.toLongLong() > maxBytes) {
            stop(Stop::TooLarge);
        }
    });
    QObject::connect(reply.get(), &QNetworkReply::readyRead, &loop, [&] {
        if (received() > maxBytes) {
            stop(Stop::TooLarge);
            return;
        }
        outcome.body += reply->readAll();
    });
    // The idle time-out restarts at every byte, so a byte every few seconds
    // would hold the program for ever; a deadline would refuse a large manifest
    // on a slow line. Each window must bring its share, or the end of the body.
    const qint64 perWindow = m_minBytesPerSecond * m_rateWindow.count() / 1000;
    qint64 atLastCheck = 0;
    QTimer rate;
    QObject::connect(&rate, &QTimer::timeout, &loop, [&] {
        const qint64 now = received();
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        const bool whole = length.isValid() && now >= length.toLongLong();
        if (now - atLastCheck < perWindow && !whole) {
            stop(Stop::TooSlow);
            return;
        }
        atLastCheck = now;
    });
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished()) {
        rate.start(m_rateWindow);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    m_network.logRequest(*reply, outcome.body.size() + reply->bytesAvailable(), clock.elapsed(),
                         number);

    const auto failed = [&outcome](int errorNumber, const QString &failure) {
        outcome.errorNumber = errorNumber;
        outcome.failure = failure;
        return outcome;
    };
    if (stopped == Stop::TooLarge) {
        return failed(ErrorNumber::ManifestRefused,
                      FailureTexts::answerTooLarge(address, maxBytes));
    }
    // Besides the stops above, only the transfer time-out cancels a request.
    const bool timedOut = stopped == Stop::TooSlow ||
                          reply->error() == QNetworkReply::OperationCanceledError;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString refusal = NetworkAccess::refusal(*reply, address);
    const QString proxyFailure = m_network.proxyFailure(*reply, address);
    outcome.mayPass = refusal.isEmpty() &&
                      (timedOut ||
                       // A body that broke off under a 2xx may come whole the next time.
                       NetRules::mayPass(reply->error(), status / 100 == 2 ? 0 : status));
    outcome.retryAfter = NetworkAccess::retryAfter(*reply);
    if (timedOut) {
        return failed(ErrorNumber::RequestTimedOut,
                      stopped == Stop::TooSlow
                          ? FailureTexts::slowerThan(address, m_minBytesPerSecond, m_rateWindow)
                          : FailureTexts::timedOutAfter(address, m_timeout));
    }
    // Before the status: a refused redirect still carries the 3xx it came with.
    if (!refusal.isEmpty()) {
        return failed(ErrorNumber::TransferFailed, refusal);
    }
    // Before the status too: a proxy that wants credentials answers 407 itself.
    if (!proxyFailure.isEmpty()) {
        return failed(ErrorNumber::TransferFailed, proxyFailure);
    }
    if (status == 0) {
        return failed(ErrorNumber::TransferFailed,
                      FailureTexts::noAnswer(address, reply->errorString()));
    }
    if (status < 200 || status > 299) {
        const QString reason =
            reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        return failed(ErrorNumber::TransferFailed,
                      FailureTexts::answeredHttp(address, status, reason));
    }
    if (reply->error() != QNetworkReply::NoError) {
        return failed(ErrorNumber::TransferFailed,
                      FailureTexts::answerBrokeOff(address, reply->errorString()));
    }
    outcome.body += reply->readAll();
    if (outcome.body.size() > maxBytes) {
        return failed(ErrorNumber::ManifestRefused,
                      FailureTexts::answerTooLarge(address, maxBytes));
    }
    return outcome;
}
