#include "failure_texts.h"
#include "resume_rules.h"
#include "retry_rules.h"
#include "runtime_error.h"
#include "verdict.h"

#include <QTest>

#include <ctime>

using namespace std::chrono_literals;
using NetRules::RetriedAnswer;
using NetRules::RetrySchedule;

Q_DECLARE_METATYPE(RetriedAnswer)
Q_DECLARE_METATYPE(RetrySchedule)
Q_DECLARE_METATYPE(NetRules::Seen)
Q_DECLARE_METATYPE(NetRules::ResumeState)

namespace {

const QString Address = QStringLiteral("http://h/f.bin");

using Moment = NetRules::Seen::Moment;

NetRules::Seen seen(Moment moment, int status,
                    QNetworkReply::NetworkError error = QNetworkReply::NoError)
{
    NetRules::Seen seen;
    seen.moment = moment;
    seen.answer.status = status;
    seen.error = error;
    seen.errorText = QStringLiteral("it broke");
    return seen;
}

// A body of 100 bytes under way, 40 of them handed out.
NetRules::Seen inTheBody(QNetworkReply::NetworkError error, NetRules::Stop stopped = {})
{
    NetRules::Seen body = seen(Moment::Finished, 200, error);
    body.bodyUnderWay = true;
    body.expected = 100;
    body.handedOut = 40;
    body.stopped = stopped;
    return body;
}

// The action, where a Retry asks from, where a carried-on body starts.
QString describe(const NetRules::Verdict &verdict)
{
    using Action = NetRules::Verdict::Action;
    static const char *const names[] = {"wait", "hand out",   "carry on at", "start again",
                                        "done", "retry from", "next server"};
    QString name = QLatin1String(names[int(verdict.action)]);
    switch (verdict.action) {
    case Action::CarryOn:
        return name + QStringLiteral(" %1").arg(verdict.bodyStart);
    case Action::Retry:
        return name + QStringLiteral(" %1").arg(verdict.from);
    default:
        return name;
    }
}

} // namespace

// The network's rules, each a table: no socket, no timer.
class TestNetRules final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void mayPass_data();
    void mayPass();
    void retryAfter_data();
    void retryAfter();
    void schedule_data();
    void schedule();
    void contentRange_data();
    void contentRange();
    void resumeStart_data();
    void resumeStart();
    void retriedAnswer_data();
    void retriedAnswer();
    void bodyBrokeOff_data();
    void bodyBrokeOff();
    void failureTextKeepsTheAddress_data();
    void failureTextKeepsTheAddress();
    void verdict_data();
    void verdict();

private:
    QByteArray m_zone; // TZ as the test found it; null: unset
};

void TestNetRules::initTestCase()
{
    // An HTTP date is UTC whatever the zone: one far from it shows a date read as local.
    m_zone = qgetenv("TZ");
    qputenv("TZ", "EST5EDT,M3.2.0,M11.1.0");
    ::tzset();
}

void TestNetRules::cleanupTestCase()
{
    if (m_zone.isNull()) {
        qunsetenv("TZ");
    } else {
        qputenv("TZ", m_zone);
    }
    ::tzset();
}

void TestNetRules::mayPass_data()
{
    // clang-format off
    QTest::addColumn<QNetworkReply::NetworkError>("error");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("passes");

    QTest::newRow("connection refused") << QNetworkReply::ConnectionRefusedError << 0 << true;
    QTest::newRow("connection closed") << QNetworkReply::RemoteHostClosedError << 0 << true;
    QTest::newRow("network failure") << QNetworkReply::TemporaryNetworkFailureError << 0 << true;
    QTest::newRow("proxy closed") << QNetworkReply::ProxyConnectionClosedError << 0 << true;
    QTest::newRow("proxy refused") << QNetworkReply::ProxyConnectionRefusedError << 0 << true;
    QTest::newRow("network session failed") << QNetworkReply::NetworkSessionFailedError << 0 << true;
    QTest::newRow("unknown network error") << QNetworkReply::UnknownNetworkError << 0 << true;
    QTest::newRow("host not found") << QNetworkReply::HostNotFoundError << 0 << false;
    QTest::newRow("TLS handshake") << QNetworkReply::SslHandshakeFailedError << 0 << false;
    QTest::newRow("502") << QNetworkReply::NoError << 502 << true;
    QTest::newRow("503") << QNetworkReply::NoError << 503 << true;
    QTest::newRow("504") << QNetworkReply::NoError << 504 << true;
    QTest::newRow("500") << QNetworkReply::NoError << 500 << false;
    QTest::newRow("404") << QNetworkReply::NoError << 404 << false;
    QTest::newRow("a status decides over the error")
        << QNetworkReply::RemoteHostClosedError << 404 << false;
    // clang-format on
}

void TestNetRules::mayPass()
{
    QFETCH(QNetworkReply::NetworkError, error);
    QFETCH(int, status);
    QFETCH(bool, passes);
    QCOMPARE(NetRules::mayPass(error, status), passes);
}

void TestNetRules::retryAfter_data()
{
    // clang-format off
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<qint64>("msecs"); // -1: asks nothing

    QTest::newRow("seconds") << QByteArray("5") << qint64(5000);
    QTest::newRow("blanks around") << QByteArray(" 7 ") << qint64(7000);
    QTest::newRow("capped at a day") << QByteArray("99999999") << qint64(86400000);
    QTest::newRow("a date ahead") << QByteArray("Wed, 21 Oct 2015 07:28:30 GMT") << qint64(30000);
    QTest::newRow("a date past") << QByteArray("Wed, 21 Oct 2015 07:27:00 GMT") << qint64(0);
    QTest::newRow("a date not GMT") << QByteArray("Wed, 21 Oct 2015 07:28:30 CET") << qint64(-1);
    QTest::newRow("negative") << QByteArray("-5") << qint64(-1);
    QTest::newRow("words") << QByteArray("soon") << qint64(-1);
    QTest::newRow("absent") << QByteArray() << qint64(-1);
    // clang-format on
}

void TestNetRules::retryAfter()
{
    QFETCH(QByteArray, value);
    QFETCH(qint64, msecs);
    const QDateTime now(QDate(2015, 10, 21), QTime(7, 28), Qt::UTC);
    const auto asked = NetRules::parseRetryAfter(value, now);
    QCOMPARE(asked.has_value(), msecs >= 0);
    if (asked) {
        QCOMPARE(qint64(asked->count()), msecs);
    }
}

void TestNetRules::schedule_data()
{
    // clang-format off
    QTest::addColumn<RetrySchedule>("schedule"); // as yet untried
    QTest::addColumn<int>("askedMs"); // the Retry-After of every failure; -1: none
    // A failure an attempt, "p" when the attempt brought new bytes first.
    QTest::addColumn<QString>("attempts");
    QTest::addColumn<QList<int>>("waits"); // -1: given up

    QTest::newRow("transfer: waits double") << RetrySchedule::transfer(1000ms) << -1 << "ffffff"
        << QList<int>{1000, 2000, 4000, 8000, 16000, -1};
    QTest::newRow("probe: three attempts in all") << RetrySchedule::probe(1000ms) << -1 << "fff"
        << QList<int>{1000, 2000, -1};
    QTest::newRow("fetch: three attempts in all") << RetrySchedule::fetch(1000ms) << -1 << "fff"
        << QList<int>{1000, 2000, -1};
    QTest::newRow("six outages after new bytes: at once") << RetrySchedule::transfer(1000ms) << -1
        << "pppppp" << QList<int>{0, 0, 0, 0, 0, 0};
    QTest::newRow("progress resets the count") << RetrySchedule::transfer(10ms) << -1
        << "fffffpffffff" << QList<int>{10, 20, 40, 80, 160, 0, 10, 20, 40, 80, 160, -1};
    QTest::newRow("Retry-After longer than the own wait") << RetrySchedule::fetch(10ms) << 1000
        << "fff" << QList<int>{1000, 1000, -1};
    QTest::newRow("Retry-After shorter than the own wait") << RetrySchedule::transfer(1000ms)
        << 1500 << "fff" << QList<int>{1500, 2000, 4000};
    QTest::newRow("Retry-After up to 30 s") << RetrySchedule::probe(10ms) << 60000 << "ff"
        << QList<int>{30000, 30000};
    QTest::newRow("own wait beyond 30 s") << RetrySchedule::transfer(20000ms) << 60000 << "ff"
        << QList<int>{30000, 40000};
    QTest::newRow("Retry-After after new bytes") << RetrySchedule::transfer(10ms) << 3000 << "p"
        << QList<int>{3000};
    // clang-format on
}

void TestNetRules::schedule()
{
    QFETCH(RetrySchedule, schedule);
    QFETCH(int, askedMs);
    QFETCH(QString, attempts);
    QFETCH(QList<int>, waits);

    std::optional<std::chrono::milliseconds> asked;
    if (askedMs >= 0) {
        asked = std::chrono::milliseconds(askedMs);
    }
    QList<int> found;
    for (const QChar attempt : attempts) {
        schedule.attemptStarted();
        if (attempt == QLatin1Char('p')) {
            schedule.progressed();
        }
        const NetRules::RetryDecision next = schedule.afterFailure(asked);
        QCOMPARE(next.afterProgress, attempt == QLatin1Char('p') && next.retry);
        found.append(next.retry ? int(next.delay.count()) : -1);
    }
    QCOMPARE(found, waits);
    QCOMPARE(schedule.attempts(), int(attempts.size()));
}

void TestNetRules::contentRange_data()
{
    // clang-format off
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("last");
    QTest::addColumn<qint64>("total");

    QTest::newRow("a piece") << QByteArray("bytes 400-999/1000") << true << 400LL << 999LL << 1000LL;
    QTest::newRow("blanks") << QByteArray("  bytes 0-0/1 ") << true << 0LL << 0LL << 1LL;
    QTest::newRow("total not said") << QByteArray("bytes 5-9/*") << true << 5LL << 9LL << -1LL;
    QTest::newRow("last at the total") << QByteArray("bytes 0-100/100") << false << 0LL << 0LL << 0LL;
    QTest::newRow("last before first") << QByteArray("bytes 9-5/100") << false << 0LL << 0LL << 0LL;
    QTest::newRow("other unit") << QByteArray("items 0-1/2") << false << 0LL << 0LL << 0LL;
    QTest::newRow("no total") << QByteArray("bytes 0-9") << false << 0LL << 0LL << 0LL;
    QTest::newRow("unsatisfied") << QByteArray("bytes */100") << false << 0LL << 0LL << 0LL;
    QTest::newRow("a sign") << QByteArray("bytes +1-9/100") << false << 0LL << 0LL << 0LL;
    QTest::newRow("total unreadable") << QByteArray("bytes 0-9/abc") << false << 0LL << 0LL << 0LL;
    QTest::newRow("total empty") << QByteArray("bytes 0-9/") << false << 0LL << 0LL << 0LL;
    // clang-format on
}

void TestNetRules::contentRange()
{
    QFETCH(QByteArray, value);
    QFETCH(bool, valid);
    QFETCH(qint64, first);
    QFETCH(qint64, last);
    QFETCH(qint64, total);
    const auto range = NetRules::parseContentRange(value);
    QCOMPARE(range.has_value(), valid);
    if (range) {
        QCOMPARE(*range, (NetRules::ByteRange{first, last, total}));
    }
}

void TestNetRules::resumeStart_data()
{
    // clang-format off
    QTest::addColumn<QByteArray>("etag");
    QTest::addColumn<QByteArray>("lastModified");
    QTest::addColumn<QByteArray>("acceptRanges");
    QTest::addColumn<QByteArray>("validator");
    QTest::addColumn<qint64>("start"); // of the next attempt, the reader being at 500

    const QByteArray date("Wed, 21 Oct 2015 07:28:00 GMT");
    QTest::newRow("strong ETag") << QByteArray(" \"v1\" ") << date << QByteArray("bytes")
                                 << QByteArray("\"v1\"") << 500LL;
    QTest::newRow("weak ETag: Last-Modified") << QByteArray("W/\"v1\"") << date
                                              << QByteArray("Bytes") << date << 500LL;
    QTest::newRow("weak ETag alone: from byte 0") << QByteArray("W/\"v1\"") << QByteArray()
                                                  << QByteArray("bytes") << QByteArray() << 0LL;
    QTest::newRow("no ranges: from byte 0") << QByteArray("\"v1\"") << date
                                            << QByteArray("none") << QByteArray("\"v1\"") << 0LL;
    // clang-format on
}

void TestNetRules::resumeStart()
{
    QFETCH(QByteArray, etag);
    QFETCH(QByteArray, lastModified);
    QFETCH(QByteArray, acceptRanges);
    QFETCH(QByteArray, validator);
    QFETCH(qint64, start);

    NetRules::ResumeState file;
    NetRules::Answer answer{200, QStringLiteral("OK"), 1000, {}, etag, lastModified, acceptRanges};
    QCOMPARE(file.takeWholeFile(answer), qint64(1000));
    QCOMPARE(file.validator, validator);
    QVERIFY(file.advance(500));
    QCOMPARE(file.nextStart(), start);

    // A 200 to the retry starts again: its bytes are progress only past byte 500.
    answer.etag = "\"v2\"";
    file.takeWholeFile(answer);
    QCOMPARE(file.position, qint64(0));
    QVERIFY(!file.advance(500));
    QVERIFY(file.advance(1));
    QCOMPARE(file.furthest, qint64(501));
}

void TestNetRules::retriedAnswer_data()
{
    // clang-format off
    QTest::addColumn<qint64>("knownTotal"); // of the file before the retry, -1: not said
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentRange");
    QTest::addColumn<qint64>("contentLength"); // -1: not sent
    QTest::addColumn<RetriedAnswer>("judged");

    // Every row asks for the bytes from 400 on.
    const auto carryOn = [](qint64 total) {
        return RetriedAnswer{RetriedAnswer::Kind::CarryOn, 400, 600, total, {}};
    };
    const auto refuse = [](const QString &text) {
        return RetriedAnswer{RetriedAnswer::Kind::Refuse, 0, -1, -1, text};
    };
    const auto refusedRange = [&refuse](const char *range, qint64 total) {
        return refuse(FailureTexts::wrongRange(Address, QLatin1String(range), 400, total));
    };
    QTest::newRow("206 for the range") << 1000LL << 206 << QByteArray("bytes 400-999/1000")
                                       << 600LL << carryOn(1000);
    QTest::newRow("206 tells the total") << -1LL << 206 << QByteArray("bytes 400-999/1000")
                                         << -1LL << carryOn(1000);
    QTest::newRow("206 for another range") << 1000LL << 206 << QByteArray("bytes 0-999/1000")
                                           << -1LL << refusedRange("bytes 0-999/1000", 1000);
    QTest::newRow("206 of a file of another length")
        << 1000LL << 206 << QByteArray("bytes 400-1999/2000") << -1LL
        << refusedRange("bytes 400-1999/2000", 1000);
    QTest::newRow("206 unreadable") << 1000LL << 206 << QByteArray("bytes 400-999") << -1LL
                                    << refusedRange("bytes 400-999", 1000);
    RetriedAnswer longer = refuse(Address + QStringLiteral(
        " sent 700 bytes for the range \"bytes 400-999/1000\""));
    longer.bodyStart = 400;
    longer.expected = 600;
    QTest::newRow("206 longer than its range") << 1000LL << 206
                                               << QByteArray("bytes 400-999/1000") << 700LL
                                               << longer;
    QTest::newRow("200: again from byte 0") << 1000LL << 200 << QByteArray() << 1200LL
        << RetriedAnswer{RetriedAnswer::Kind::StartAgain, 0, 1200, 1200, {}};
    QTest::newRow("503") << 1000LL << 503 << QByteArray() << -1LL
        << RetriedAnswer{RetriedAnswer::Kind::Failed, 0, -1, -1, Address + QStringLiteral(
               " answered HTTP 503 Service Unavailable when asked for the bytes from 400 on")};
    // clang-format on
}

void TestNetRules::retriedAnswer()
{
    QFETCH(qint64, knownTotal);
    QFETCH(int, status);
    QFETCH(QByteArray, contentRange);
    QFETCH(qint64, contentLength);
    QFETCH(RetriedAnswer, judged);

    NetRules::ResumeState file;
    file.total = knownTotal;
    file.position = file.furthest = file.resumeFrom = 400;
    NetRules::Answer answer;
    answer.status = status;
    answer.reason = status == 503 ? QStringLiteral("Service Unavailable") : QString();
    answer.contentRange = contentRange;
    if (contentLength >= 0) {
        answer.contentLength = contentLength;
    }
    const RetriedAnswer found = NetRules::judgeRetriedAnswer(file, answer, Address);
    QCOMPARE(found.text, judged.text);
    QCOMPARE(found, judged);
}

void TestNetRules::bodyBrokeOff_data()
{
    // clang-format off
    QTest::addColumn<bool>("failed");
    QTest::addColumn<qint64>("expected");
    QTest::addColumn<qint64>("handedOut");
    QTest::addColumn<qint64>("position");
    QTest::addColumn<bool>("brokeOff");

    // The file has 1000 bytes.
    QTest::newRow("whole") << false << 1000LL << 1000LL << 1000LL << false;
    QTest::newRow("an error") << true << 1000LL << 1000LL << 1000LL << true;
    QTest::newRow("short of the answer") << false << 1000LL << 999LL << 999LL << true;
    QTest::newRow("a whole piece short of the file") << false << 300LL << 300LL << 900LL << true;
    QTest::newRow("no length said, file whole") << false << -1LL << 700LL << 1000LL << false;
    // clang-format on
}

void TestNetRules::bodyBrokeOff()
{
    QFETCH(bool, failed);
    QFETCH(qint64, expected);
    QFETCH(qint64, handedOut);
    QFETCH(qint64, position);
    QFETCH(bool, brokeOff);
    NetRules::ResumeState file;
    file.total = 1000;
    file.position = position;
    QCOMPARE(NetRules::bodyBrokeOff(failed, expected, handedOut, file), brokeOff);
}

QTEST_APPLESS_MAIN(TestNetRules)
void TestNetRules::failureTextKeepsTheAddress_data()
{
    // A release's address holds its file name, which may hold "%1".
    const QString address = QStringLiteral("http://h/setup%1%2.sh");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("too slow") << FailureTexts::slowerThan(address, 1024, std::chrono::seconds(30))
                              << "The request for http://h/setup%1%2.sh timed out: its answer "
                                 "came slower than 1024 bytes/s over 30 s";
    QTest::newRow("too large")
        << FailureTexts::answerTooLarge(address, 65536)
        << "The answer from http://h/setup%1%2.sh is larger than 65536 bytes";
}

void TestNetRules::failureTextKeepsTheAddress()
{
    QFETCH(QString, text);
    QTEST(text, "expected");
}

void TestNetRules::verdict_data()
{
    // What an attempt saw, where the GET stood (a file of 100 bytes that the
    // server can resume, 40 of them handed out), and what it comes to for the
    // transfer and for the manifest fetch, which takes its answer whole.
    // clang-format off
    QTest::addColumn<NetRules::Seen>("seen");
    QTest::addColumn<NetRules::ResumeState>("file");
    QTest::addColumn<QString>("transfer");
    QTest::addColumn<QString>("fetch");
    QTest::addColumn<QString>("text"); // part of the failure's text
    QTest::addColumn<int>("errorNumber");
    // Where the GET stands once the transfer took the answer and 10 bytes of
    // its body: where a drop would carry on, and the furthest byte reached.
    QTest::addColumn<QString>("after");

    using NetRules::Stop;
    NetRules::ResumeState under = NetRules::ResumeState::from(0);
    under.validator = "\"v1\"";
    under.acceptsRanges = true;
    under.total = 100;
    under.position = under.furthest = 40;
    const NetRules::ResumeState fresh = NetRules::ResumeState::from(0);
    const int failed = ErrorNumber::TransferFailed;
    const int timedOut = ErrorNumber::RequestTimedOut;
    NetRules::Seen refused = seen(Moment::Finished, 0, QNetworkReply::SslHandshakeFailedError);
    refused.refusal = QStringLiteral("No secure connection to x");
    NetRules::Seen proxyDown = seen(Moment::Finished, 0, QNetworkReply::ProxyConnectionRefusedError);
    proxyDown.proxyFailure = QStringLiteral("The proxy p refused the connection");
    NetRules::Seen proxyWants = seen(Moment::Finished, 407, QNetworkReply::ProxyAuthenticationRequiredError);
    proxyWants.proxyFailure = QStringLiteral("The proxy p asks for a user name");
    NetRules::Seen idle = seen(Moment::Finished, 0, QNetworkReply::OperationCanceledError);
    idle.stopped = Stop::Idle;
    NetRules::Seen slow = idle;
    slow.stopped = Stop::TooSlow;
    NetRules::Seen tooLarge;
    tooLarge.stopped = Stop::TooLarge;
    NetRules::Seen large = seen(Moment::Headers, 200);
    large.answer.contentLength = 70000;
    NetRules::Seen bodyWhole = inTheBody({});
    bodyWhole.handedOut = 100;
    NetRules::ResumeState atTheEnd = under;
    atTheEnd.position = 100;
    NetRules::ResumeState noValidator = under;
    noValidator.validator.clear();

    QTest::newRow("200 at its headers") << seen(Moment::Headers, 200) << fresh << "hand out" << "hand out" << "" << 0 << "from 0, furthest 10";
    QTest::newRow("no headers yet") << seen(Moment::Headers, 0) << fresh << "wait" << "wait" << "" << 0 << "";
    QTest::newRow("a redirect being followed") << seen(Moment::Headers, 302) << fresh << "wait" << "wait" << "" << 0 << "";
    QTest::newRow("a proxy's 407 at its headers") << seen(Moment::Headers, 407) << fresh << "wait" << "wait" << "" << 0 << "";
    QTest::newRow("404") << seen(Moment::Finished, 404) << fresh << "next server" << "next server" << "answered HTTP 404" << failed << "";
    QTest::newRow("503 at its headers") << seen(Moment::Headers, 503) << fresh << "retry from 0" << "retry from 0" << "answered HTTP 503" << failed << "";
    QTest::newRow("larger than the fetch takes") << large << fresh << "hand out" << "next server" << "larger than 65536 bytes" << int(ErrorNumber::ManifestRefused) << "from 0, furthest 10";
    QTest::newRow("stopped: too large") << tooLarge << fresh << "next server" << "next server" << "larger than 65536 bytes" << int(ErrorNumber::ManifestRefused) << "";
    QTest::newRow("refused for its security") << refused << fresh << "next server" << "next server" << "No secure connection" << failed << "";
    QTest::newRow("proxy refused") << proxyDown << fresh << "retry from 0" << "retry from 0" << "The proxy p refused" << failed << "";
    QTest::newRow("proxy wants credentials") << proxyWants << fresh << "next server" << "next server" << "asks for a user name" << failed << "";
    QTest::newRow("connection refused") << seen(Moment::Finished, 0, QNetworkReply::ConnectionRefusedError) << fresh << "retry from 0" << "retry from 0" << "No answer from" << failed << "";
    QTest::newRow("unknown network error") << seen(Moment::Finished, 0, QNetworkReply::UnknownNetworkError) << fresh << "retry from 0" << "retry from 0" << "No answer from" << failed << "";
    QTest::newRow("host not found") << seen(Moment::Finished, 0, QNetworkReply::HostNotFoundError) << fresh << "next server" << "next server" << "it broke" << failed << "";
    QTest::newRow("silent before its answer") << idle << fresh << "retry from 0" << "retry from 0" << "within 60 seconds" << timedOut << "";
    QTest::newRow("slower than the floor") << slow << fresh << "retry from 0" << "retry from 0" << "slower than 1024 bytes/s over 30 s" << timedOut << "";
    QTest::newRow("body whole") << bodyWhole << atTheEnd << "done" << "done" << "" << 0 << "";
    QTest::newRow("body broke off under 200") << inTheBody(QNetworkReply::RemoteHostClosedError) << under << "retry from 40" << "retry from 0" << "broke off: it broke" << failed << "";
    QTest::newRow("body short without an error") << inTheBody({}) << under << "retry from 40" << "retry from 0" << "broke off after 40 of 100 bytes" << failed << "";
    QTest::newRow("body silent") << inTheBody(QNetworkReply::OperationCanceledError, Stop::Idle) << under << "retry from 40" << "retry from 0" << "No data from" << timedOut << "";
    QTest::newRow("body silent, no validator") << inTheBody(QNetworkReply::OperationCanceledError, Stop::Idle) << noValidator << "retry from 0" << "retry from 0" << "No data from" << timedOut << "";
    // clang-format on

    // The answers to a request for a piece: a retry, or another server's part.
    NetRules::ResumeState piece = NetRules::ResumeState::from(500);
    NetRules::Seen carried = seen(Moment::Headers, 206);
    carried.answer.contentRange = "bytes 500-999/1000";
    carried.answer.etag = "\"m\"";
    NetRules::Seen whole = seen(Moment::Headers, 200);
    whole.answer.contentLength = 1000;
    NetRules::ResumeState bounded = NetRules::ResumeState::from(500, 799);
    QTest::newRow("piece: 206 for it") << carried << piece << "carry on at 500"
                                       << "carry on at 500"
                                       << "" << 0 << "from 510, furthest 510";
    QTest::newRow("piece: 200, the whole file") << whole << piece << "start again"
                                                << "start again"
                                                << "" << 0 << "from 0, furthest 10";
    QTest::newRow("piece: 206 past the last byte asked") << carried << bounded << "next server"
                                                         << "next server"
                                                         << "sent the range" << failed << "";
    QTest::newRow("piece: no answer yet, the piece again")
        << seen(Moment::Finished, 0, QNetworkReply::RemoteHostClosedError) << piece
        << "retry from 500"
        << "retry from 500"
        << "No answer from" << failed << "";
}

void TestNetRules::verdict()
{
    QFETCH(NetRules::Seen, seen);
    QFETCH(NetRules::ResumeState, file);
    QFETCH(QString, text);
    QFETCH(int, errorNumber);

    NetRules::Asked transfer;
    transfer.timeout = 60s;
    transfer.minBytesPerSecond = 1024;
    transfer.rateWindow = 30s;
    NetRules::Asked fetch = transfer;
    fetch.canCarryOn = false;
    fetch.maxBytes = 65536;
    const NetRules::Verdict forTransfer = NetRules::judge(seen, transfer, file, Address);
    QTEST(describe(forTransfer), "transfer");
    QString after;
    if (forTransfer.action == NetRules::Verdict::Action::HandOut ||
        forTransfer.action == NetRules::Verdict::Action::CarryOn ||
        forTransfer.action == NetRules::Verdict::Action::StartAgain) {
        NetRules::ResumeState taken = file;
        NetRules::takeAnswer(taken, forTransfer, seen.answer, !seen.answeredBefore);
        taken.advance(10);
        after = QStringLiteral("from %1, furthest %2").arg(taken.nextStart()).arg(taken.furthest);
    }
    QTEST(after, "after");
    const NetRules::Verdict verdict = NetRules::judge(seen, fetch, file, Address);
    QTEST(describe(verdict), "fetch");
    QVERIFY2(verdict.text.contains(text), qPrintable(verdict.text));
    QCOMPARE(verdict.errorNumber, errorNumber);
}

#include "tst_net_rules.moc"
