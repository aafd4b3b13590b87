#include "network_access.h"
#include "qt_http_request.h"
#include "qt_transfer_control.h"
#include "random_bytes.h"
#include "runtime_error.h"
#include "test_http_server.h"
#include "test_platform.h"
#include "transfer_reader.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>

using namespace std::chrono_literals;

namespace {

constexpr auto Timeout = 700ms;

} // namespace

class TestTransferControl final : public QObject
{
    Q_OBJECT

private slots:
    void headCompletes();
    void getHandsOutTheBody_data();
    void getHandsOutTheBody();
    void failureBeforeResponse_data();
    void failureBeforeResponse();
    void busyControlRefusesAnotherRequest();
    void cancelEndsWaitingChunk();
    void readerBehindIsNoIdleTimeout();
    void fetchReadsLittleAheadOfABusyProgram();
    void retriesFollowTheRules_data();
    void retriesFollowTheRules();

private:
    QNetworkAccessManager m_manager;
    NetworkAccess m_network{m_manager};
};

void TestTransferControl::headCompletes()
{
    TestHttpServer server;
    server.serve("/setup.bin", TestHttpServer::ok(QByteArray(12345, 'a')));
    QtTransferControl inet(m_network, Timeout);
    TransferReader reader;
    reader.attach(inet, false);

    const QString address = server.baseUrl() + QStringLiteral("setup.bin");
    inet.Execute(address, QStringLiteral("HEAD \"%1\"").arg(address));
    QTRY_VERIFY(!inet.StillExecuting());
    QCOMPARE(reader.states, QList<TransferState>{TransferState::ResponseCompleted});
    QVERIFY(reader.executingAtState);
    QCOMPARE(inet.GetHeader(QStringLiteral("Content-length")), QStringLiteral("12345"));
    QCOMPARE(inet.GetHeader(QStringLiteral("X-Absent")), QString());
    QCOMPARE(server.requests().constFirst().method, QByteArray("HEAD"));
}

void TestTransferControl::getHandsOutTheBody_data()
{
    // clang-format off
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<TestHttpServer::Response>("response");
    QTest::addColumn<QByteArray>("servedAt");

    const QByteArray body = randomBytes(300 * 1024 + 17);
    QTest::newRow("with length") << QByteArray("/a.bin") << TestHttpServer::ok(body)
                                 << QByteArray("/a.bin");
    TestHttpServer::Response unsized = TestHttpServer::ok(body);
    unsized.sendContentLength = false;
    QTest::newRow("without length") << QByteArray("/a.bin") << unsized << QByteArray("/a.bin");
    QTest::newRow("empty") << QByteArray("/a.bin") << TestHttpServer::ok({})
                           << QByteArray("/a.bin");
    QTest::newRow("blanks and signs in the name")
        << QByteArray("/my setup #1? 100% $(x); a&b 'q\".bin") << TestHttpServer::ok(body)
        << QByteArray("/my setup #1? 100% $(x); a&b 'q\".bin");
    TestHttpServer::Response moved = TestHttpServer::status(302, "Found");
    moved.headers.append(qMakePair(QByteArray("Location"), QByteArray("/b.bin")));
    QTest::newRow("redirected") << QByteArray("/a.bin") << moved << QByteArray("/b.bin");
    // clang-format on
}

void TestTransferControl::getHandsOutTheBody()
{
    QFETCH(QByteArray, path);
    QFETCH(TestHttpServer::Response, response);
    QFETCH(QByteArray, servedAt);
    TestHttpServer server;
    const TestHttpServer::Response target = TestHttpServer::ok(randomBytes(5000));
    server.serve(path, response);
    if (servedAt != path) {
        server.serve(servedAt, target);
    }
    QtTransferControl inet(m_network, Timeout);
    TransferReader reader;
    reader.attach(inet);

    const QString address = server.baseUrl() + QString::fromUtf8(path.mid(1));
    inet.Execute(address, QStringLiteral("GET \"%1\"").arg(address));
    QTRY_VERIFY(reader.ended || !reader.failure.isEmpty());
    QCOMPARE(reader.failure, QString());
    QCOMPARE(reader.states, QList<TransferState>{TransferState::ResponseCompleted});
    QCOMPARE(reader.body, servedAt == path ? response.body : target.body);
    QVERIFY(reader.largestChunk <= 1024);
    QTRY_VERIFY(!inet.StillExecuting());
    const TestHttpServer::Request &request = server.requests().constLast();
    QCOMPARE(request.path, servedAt);
    QCOMPARE(request.headers.value("accept-encoding"), QByteArray("identity"));
}

void TestTransferControl::failureBeforeResponse_data()
{
    // clang-format off
    QTest::addColumn<TestHttpServer::Response>("response");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<QString>("said");

    QTest::newRow("404") << TestHttpServer::status(404, "Not Found", "<html>gone</html>") << false
                         << "HTTP 404 Not Found";
    QTest::newRow("500") << TestHttpServer::status(500, "Internal Server Error") << false
                         << "HTTP 500";
    QTest::newRow("refused") << TestHttpServer::ok("x") << true << "refused";
    TestHttpServer::Response silent = TestHttpServer::ok("x");
    silent.delayMs = 5000;
    QTest::newRow("no answer") << silent << false << "within 0.7 seconds";
    // clang-format on
}

void TestTransferControl::failureBeforeResponse()
{
    QFETCH(TestHttpServer::Response, response);
    QFETCH(bool, refused);
    QFETCH(QString, said);
    TestHttpServer server;
    server.serve("/a.bin", response);
    if (refused) {
        server.close();
    }
    QtTransferControl inet(m_network, Timeout, TestPlatform::RetryDelay);
    TransferReader reader;
    reader.attach(inet);

    const QString address = server.baseUrl() + QStringLiteral("a.bin");
    inet.Execute(address, QStringLiteral("GET \"%1\"").arg(address));
    QTRY_VERIFY_WITH_TIMEOUT(!inet.StillExecuting(), 15000);
    QCOMPARE(reader.states, QList<TransferState>{TransferState::Error});
    QVERIFY2(inet.errorDescription().contains(address), qPrintable(inet.errorDescription()));
    QVERIFY2(inet.errorDescription().contains(said, Qt::CaseInsensitive),
             qPrintable(inet.errorDescription()));
    QVERIFY_THROWS_EXCEPTION(RuntimeError, inet.GetChunk(1024));
}

void TestTransferControl::busyControlRefusesAnotherRequest()
{
    TestHttpServer server;
    TestHttpServer::Response slow = TestHttpServer::ok("x");
    slow.delayMs = 300;
    server.serve("/a.bin", slow);
    QtTransferControl inet(m_network, Timeout);
    const QString address = server.baseUrl() + QStringLiteral("a.bin");
    inet.Execute(address, QStringLiteral("HEAD \"%1\"").arg(address));
    QVERIFY(inet.StillExecuting());
    QVERIFY_THROWS_EXCEPTION(RuntimeError,
                             inet.Execute(address, QStringLiteral("GET \"%1\"").arg(address)));
    QTRY_VERIFY(!inet.StillExecuting());
    inet.Execute(address, QStringLiteral("GET \"%1\"").arg(address));
}

void TestTransferControl::cancelEndsWaitingChunk()
{
    TestHttpServer server;
    TestHttpServer::Response stalled = TestHttpServer::ok(randomBytes(10000));
    stalled.stallAfter = 2000;
    server.serve("/a.bin", stalled);
    QtTransferControl inet(m_network, 10s);
    // The cancel comes from an event served while GetChunk waits for more.
    connect(&inet, &TransferControl::StateChanged, this,
            [&inet] { QTimer::singleShot(200, &inet, &QtTransferControl::Cancel); });
    TransferReader reader;
    reader.attach(inet);

    const QString address = server.baseUrl() + QStringLiteral("a.bin");
    QElapsedTimer clock;
    clock.start();
    inet.Execute(address, QStringLiteral("GET \"%1\"").arg(address));
    QTRY_VERIFY(!reader.failure.isEmpty());
    QVERIFY(clock.elapsed() < 5000);
    QVERIFY2(reader.failure.contains(QStringLiteral("cancelled")), qPrintable(reader.failure));
    QCOMPARE(reader.body.size(), 2000);
    QVERIFY(!inet.StillExecuting());
}

void TestTransferControl::readerBehindIsNoIdleTimeout()
{
    // More than the reply's read buffer holds, so that the buffer fills up and
    // the server then waits for the reader, not the other way round.
    const QByteArray body = randomBytes(4 * QtTransferControl::ReadBufferBytes);
    TestHttpServer server;
    server.serve("/a.bin", TestHttpServer::ok(body));
    constexpr auto ShortTimeout = 300ms;
    QtTransferControl inet(m_network, ShortTimeout);
    TransferReader reader;
    reader.attach(inet, false);

    const QString address = server.baseUrl() + QStringLiteral("a.bin");
    inet.Execute(address, QStringLiteral("GET \"%1\"").arg(address));
    QTRY_COMPARE(reader.states, QList<TransferState>{TransferState::ResponseCompleted});
    // As while the cancel question stays open: the events run, nobody reads.
    QTest::qWait(int(3 * ShortTimeout.count()));
    // Then all at once: the buffer is empty before the server has sent more,
    // and that must not count as the server's silence since the timer's last
    // start, which may be nearly a time-out ago.
    reader.readBody(inet);

    QCOMPARE(reader.failure, QString());
    QVERIFY(reader.ended);
    QCOMPARE(reader.body.size(), body.size());
    QVERIFY(reader.body == body);
    // One GET: a transfer aborted and then resumed would not count as waiting.
    QCOMPARE(server.requests().size(), 1);
    QCOMPARE(server.requests().constFirst().method, QByteArray("GET"));
    QTRY_VERIFY(!inet.StillExecuting());
}

void TestTransferControl::fetchReadsLittleAheadOfABusyProgram()
{
    TestHttpServer::Response endless = TestHttpServer::ok(randomBytes(64 * 1024));
    endless.endless = true;
    endless.sendContentLength = false;
    TestHttpServer server;
    server.serve("/a.bin", endless);
    const QString address = server.baseUrl() + QStringLiteral("a.bin");
    // The fetch on a thread of its own, busy at first as a window's can be,
    // while the server on this one sends whatever Qt reads.
    QString failure;
    const std::unique_ptr<QThread> program(QThread::create([&] {
        QNetworkAccessManager manager;
        QtHttpRequest http{NetworkAccess(manager)};
        QTimer::singleShot(0, [] { QThread::msleep(500); });
        try {
            http.Get(address, 64 * 1024); // a signature's limit
        } catch (const RuntimeError &error) {
            failure = error.description();
        }
    }));
    program->start();
    QTRY_VERIFY_WITH_TIMEOUT(program->isFinished(), 10000);
    QVERIFY2(failure.contains(QStringLiteral("larger than 65536 bytes")), qPrintable(failure));
    // What the sockets' buffers hold; unbounded, Qt took over 100 MB meanwhile.
    QVERIFY2(server.bytesSent() < 16 * 1024 * 1024,
             qPrintable(QString::number(server.bytesSent())));
}

void TestTransferControl::retriesFollowTheRules_data()
{
    // clang-format off
    QTest::addColumn<QString>("method"); // "HEAD", "GET", or "fetch" for the manifest's GET
    QTest::addColumn<TestHttpServer::Response>("response");
    QTest::addColumn<int>("requests");
    QTest::addColumn<int>("atLeastMs"); // of waiting, the first retry delay being 10 ms

    using Response = TestHttpServer::Response;
    const QByteArray body = randomBytes(64 * 1024);
    // Fails times over, then answers the body; a HEAD always gets the failure.
    const auto failing = [&body](int status, int times, const QByteArray &retryAfter = {}) {
        Response answer = TestHttpServer::ok(body);
        for (int i = 0; i < times; ++i) {
            Response failure = TestHttpServer::status(status, status == 503 ? "Service Unavailable"
                                                                            : "Gateway Timeout");
            if (!retryAfter.isEmpty()) {
                failure.headers.append({QByteArray("Retry-After"), retryAfter});
            }
            failure.then = std::make_shared<Response>(answer);
            answer = failure;
        }
        return answer;
    };
    for (const char *method : {"HEAD", "GET", "fetch"}) {
        const bool head = qstrcmp(method, "HEAD") == 0;
        QTest::addRow("%s: 504", method) << method << failing(504, 1) << (head ? 3 : 2) << 0;
        QTest::addRow("%s: 503 asking 1 s", method) << method << failing(503, 1, "1")
                                                    << (head ? 3 : 2) << (head ? 1900 : 950);
    }
    QTest::newRow("GET: waits double") << "GET" << failing(503, 5) << 6 << 310;
    Response outages = TestHttpServer::ok(body);
    outages.ranges = true;
    outages.headers.append({QByteArray("ETag"), QByteArray("\"v1\"")});
    outages.dropAt = {4000, 9000, 15000, 22000, 30000, 41000};
    QTest::newRow("GET: six outages after new bytes") << "GET" << outages << 7 << 0;
    // 6.4 kB/s over several of the fetch's windows of 300 ms: no deadline.
    Response slow = TestHttpServer::ok(randomBytes(4096));
    slow.bytesPerTick = 64;
    QTest::newRow("fetch: slow, above the floor on the rate") << "fetch" << slow << 1 << 0;
    // clang-format on
}

void TestTransferControl::retriesFollowTheRules()
{
    QFETCH(QString, method);
    QFETCH(TestHttpServer::Response, response);
    QFETCH(int, requests);
    QFETCH(int, atLeastMs);
    TestHttpServer::Response last = response;
    while (last.then) {
        last = *last.then;
    }
    TestHttpServer server;
    server.serve("/a.bin", response);
    const QString address = server.baseUrl() + QStringLiteral("a.bin");

    QElapsedTimer clock;
    clock.start();
    if (method == QLatin1String("fetch")) {
        QtHttpRequest http(m_network, Timeout, TestPlatform::RetryDelay, 300ms);
        QCOMPARE(http.Get(address, 1024 * 1024), last.body);
    } else {
        QtTransferControl inet(m_network, Timeout, TestPlatform::RetryDelay);
        TransferReader reader;
        reader.attach(inet, method == QLatin1String("GET"));
        inet.Execute(address, QStringLiteral("%1 \"%2\"").arg(method, address));
        QTRY_VERIFY_WITH_TIMEOUT(!inet.StillExecuting(), 15000);
        QCOMPARE(reader.states, QList<TransferState>{TransferState::ResponseCompleted});
        QCOMPARE(reader.failure, QString());
        if (method == QLatin1String("HEAD")) {
            QCOMPARE(inet.GetStatus(), response.status); // the last answer, a failure
        } else {
            QVERIFY(reader.ended);
            QVERIFY(reader.body == last.body);
        }
    }
    QVERIFY2(clock.elapsed() >= atLeastMs, qPrintable(QString::number(clock.elapsed())));
    if (response.dropAt.isEmpty()) {
        QCOMPARE(server.requests().size(), requests);
    } else {
        // On a loaded machine a drop can also cost an attempt that brought nothing new.
        QVERIFY(server.requests().size() >= requests);
    }
}

QTEST_GUILESS_MAIN(TestTransferControl)
#include "tst_transfer_control.moc"
