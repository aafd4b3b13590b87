#include "qt_http_request.h"

#include "addresses.h"
#include "diagnostics.h"
#include "failure_texts.h"
#include "reply_watch.h"
#include "retry_rules.h"
#include "runtime_error.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <algorithm>
#include <memory>

using NetRules::Verdict;

QtHttpRequest::QtHttpRequest(const NetworkAccess &network, std::chrono::milliseconds timeout,
                             std::chrono::milliseconds firstRetryDelay,
                             std::chrono::milliseconds rateWindow, qint64 minBytesPerSecond)
    : m_network(network), m_timeout(timeout), m_firstRetryDelay(firstRetryDelay),
      m_rateWindow(rateWindow), m_minBytesPerSecond(minBytesPerSecond)
{
}

QByteArray QtHttpRequest::Get(const QString &address, qint64 maxBytes)
{
    const std::optional<QUrl> url = NetRules::requestUrl(address);
    if (!url) {
        throw RuntimeError(ErrorNumber::InvalidCall,
                           QStringLiteral("Invalid address \"%1\"").arg(address));
    }
    NetRules::Asked asked;
    asked.canCarryOn = false;
    asked.maxBytes = maxBytes;
    asked.timeout = m_timeout;
    asked.minBytesPerSecond = m_minBytesPerSecond;
    asked.rateWindow = m_rateWindow;
    NetRules::RetrySchedule schedule = NetRules::RetrySchedule::fetch(m_firstRetryDelay);
    for (;;) {
        schedule.attemptStarted();
        const Outcome outcome = attempt(*url, address, asked, schedule.attempts());
        const Verdict &verdict = outcome.verdict;
        if (verdict.action == Verdict::Action::Done) {
            return outcome.body;
        }
        const NetRules::RetryDecision next = verdict.action == Verdict::Action::Retry
                                                 ? schedule.afterFailure(outcome.retryAfter)
                                                 : NetRules::RetryDecision();
        if (!next.retry) {
            throw RuntimeError(verdict.errorNumber,
                               verdict.text + FailureTexts::attempts(schedule.attempts()));
        }
        qCInfo(lcNet).noquote() << schedule.describe(next, address, 0);
        QEventLoop pause;
        QTimer::singleShot(next.delay, &pause, &QEventLoop::quit);
        pause.exec(QEventLoop::ExcludeUserInputEvents);
    }
}

QtHttpRequest::Outcome QtHttpRequest::attempt(const QUrl &url, const QString &address,
                                              const NetRules::Asked &asked, int number)
{
    QElapsedTimer clock;
    clock.start();
    const std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)> reply(
        m_network.get(m_network.request(url)), [](QNetworkReply *r) { r->deleteLater(); });
    // Unbounded, Qt reads ahead of us as fast as the server sends, between two
    // turns of the loop; one byte past the limit is all it takes to refuse.
    reply->setReadBufferSize(std::min(asked.maxBytes + 1, MaxReadBufferBytes));

    Outcome outcome;
    NetRules::ResumeState file;
    bool bodyUnderWay = false; // the answer's headers were taken: its body is the content
    qint64 expected = -1;      // the length that body announced
    QEventLoop loop;
    ReplyWatch watch(m_timeout, m_minBytesPerSecond, m_rateWindow);
    const auto stop = [&](const Verdict &verdict) {
        outcome.verdict = verdict;
        reply->abort();
    };
    QObject::connect(reply.get(), &QNetworkReply::metaDataChanged, &loop, [&] {
        if (bodyUnderWay) {
            return;
        }
        const Verdict verdict = NetRules::judge(
            m_network.seen(*reply, address, NetRules::Seen::Moment::Headers), asked, file, address);
        if (verdict.action == Verdict::Action::HandOut) {
            NetRules::takeAnswer(file, verdict, NetworkAccess::answerOf(*reply), true);
            bodyUnderWay = true;
            expected = verdict.expected;
        } else if (verdict.action != Verdict::Action::Wait) {
            // A failure, retried or not, or larger than the limit: not a byte
            // more of this answer is read.
            stop(verdict);
        }
    });
    qint64 received = 0; // every body byte of the reply, redirects' and error pages' too
    const auto tooLarge = [&] {
        NetRules::Seen seenTooLarge;
        seenTooLarge.stopped = NetRules::Stop::TooLarge;
        return NetRules::judge(seenTooLarge, asked, file, address);
    };
    QObject::connect(reply.get(), &QNetworkReply::readyRead, &loop, [&] {
        const QByteArray bytes = reply->readAll();
        // An error page's or a redirect's body is never taken for the content,
        // and is held to the same limit: one that never ends must end too.
        received += bytes.size();
        if (received > asked.maxBytes) {
            stop(tooLarge());
            return;
        }
        if (!bodyUnderWay) {
            return;
        }
        outcome.body += bytes;
        file.advance(bytes.size());
    });
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished()) {
        watch.watch(reply.get(), [&] { return outcome.body.size() + reply->bytesAvailable(); });
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    m_network.logRequest(*reply, outcome.body.size() + reply->bytesAvailable(), clock.elapsed(),
                         number);
    outcome.retryAfter = NetworkAccess::retryAfter(*reply);
    if (outcome.verdict.action == Verdict::Action::NextServer ||
        outcome.verdict.action == Verdict::Action::Retry) {
        return outcome;
    }
    if (bodyUnderWay && reply->error() == QNetworkReply::NoError) {
        const QByteArray rest = reply->readAll();
        outcome.body += rest;
        file.advance(rest.size());
    }
    const auto judgeEnd = [&] {
        NetRules::Seen end = m_network.seen(*reply, address, NetRules::Seen::Moment::Finished);
        end.stopped = watch.stopped();
        end.bodyUnderWay = bodyUnderWay;
        end.expected = expected;
        end.handedOut = outcome.body.size();
        return NetRules::judge(end, asked, file, address);
    };
    outcome.verdict = judgeEnd();
    if (outcome.verdict.action == Verdict::Action::HandOut) {
        // Answered and finished before its headers were seen: the body is all there.
        NetRules::takeAnswer(file, outcome.verdict, NetworkAccess::answerOf(*reply), true);
        outcome.body = reply->readAll();
        file.advance(outcome.body.size());
        bodyUnderWay = true;
        expected = outcome.verdict.expected;
        outcome.verdict = judgeEnd();
    }
    if (outcome.verdict.action == Verdict::Action::Done && outcome.body.size() > asked.maxBytes) {
        outcome.verdict = tooLarge();
    }
    return outcome;
}
