#include "clean_failure.h"
#include "messages.h"
#include "network_access.h"
#include "qt_http_request.h"
#include "qt_transfer_control.h"
#include "random_bytes.h"
#include "runtime_error.h"
#include "sha256.h"
#include "small_tmpfs.h"
#include "target_file.h"
#include "test_files.h"
#include "test_http_server.h"
#include "test_window.h"
#include "transfer_reader.h"

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

using namespace std::chrono_literals;

namespace {

constexpr qint64 ReleaseBytes = 3 * 1024 * 1024 + 4321;

using Response = TestHttpServer::Response;

Response rangedRelease(const QByteArray &body, const QByteArray &etag = "\"v1\"")
{
    Response response = TestHttpServer::ok(body);
    response.ranges = true;
    response.headers.append({QByteArray("ETag"), etag});
    return response;
}

} // namespace

class TestResume final : public QObject
{
    Q_OBJECT

private slots:
    void carriesOn_data();
    void carriesOn();
    void givesUp_data();
    void givesUp();
    void manifestRetries_data();
    void manifestRetries();
    void olderFileOutlivesFailedRedownload();
    void waitShowsAndCancelsAtOnce();
    void rateAndTimeLeftShow();
    void tooLargeForTheFolder_data();
    void tooLargeForTheFolder();

private:
    QNetworkAccessManager m_manager;
    NetworkAccess m_network{m_manager};
};

void TestResume::carriesOn_data()
{
    // clang-format off
    QTest::addColumn<Response>("response");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("drops");
    QTest::addColumn<int>("restarts");
    QTest::addColumn<int>("pieces"); // requests for the bytes from some point on

    const QByteArray v1 = randomBytes(ReleaseBytes);
    const QList<qint64> quarters = {ReleaseBytes / 4, ReleaseBytes / 2, 3 * ReleaseBytes / 4};
    Response ranged = rangedRelease(v1);
    ranged.dropAt = quarters;
    QTest::newRow("dropped at 1/4, 1/2, 3/4, ETag") << ranged << v1 << 3 << 0 << 3;

    Response dated = TestHttpServer::ok(v1);
    dated.ranges = true;
    dated.headers.append({QByteArray("Last-Modified"), "Mon, 07 Dec 2026 10:00:00 GMT"});
    dated.dropAt = quarters;
    QTest::newRow("dropped at 1/4, 1/2, 3/4, Last-Modified")
        << dated << v1 << 3 << 0 << 3;

    // The release was replaced on the server between two attempts.
    const QByteArray v2 = randomBytes(ReleaseBytes - 1000);
    Response changed = rangedRelease(v1);
    changed.dropAt = {ReleaseBytes / 2};
    changed.then = std::make_shared<Response>(rangedRelease(v2, "\"v2\""));
    QTest::newRow("ETag changed between attempts")
        << changed << v2 << 1 << 1 << 1;

    Response plain = TestHttpServer::ok(v1);
    plain.dropAt = {ReleaseBytes / 3};
    QTest::newRow("no range support") << plain << v1 << 1 << 1 << 0;

    // A weak ETag cannot tell that a piece belongs to the same bytes.
    Response weak = rangedRelease(v1, "W/\"v1\"");
    weak.dropAt = {ReleaseBytes / 3};
    QTest::newRow("weak ETag only") << weak << v1 << 1 << 1 << 0;
    // clang-format on
}

void TestResume::carriesOn()
{
    QFETCH(Response, response);
    QFETCH(QByteArray, expected);
    QFETCH(int, drops);
    QFETCH(int, restarts);
    QFETCH(int, pieces);
    TestHttpServer server;
    server.serve("/r.bin", response);
    QtTransferControl inet(m_network, 5s, TestPlatform::RetryDelay);

    const TransferReader reader = TransferReader::get(inet,
                                                      server.baseUrl() + QStringLiteral("r.bin"));

    QCOMPARE(reader.failure, QString());
    QVERIFY(reader.body == expected);
    QCOMPARE(reader.restarts, restarts);
    QVERIFY(!reader.joinedWrongly);
    // At least: a client may send a request again when the connection it went
    // out on was closing.
    QVERIFY(server.requestCount("GET") >= drops + 1);
    const qsizetype ranged = std::count_if(
        server.requests().cbegin(), server.requests().cend(),
        [](const TestHttpServer::Request &request) { return request.headers.contains("range"); });
    QVERIFY2(pieces == 0 ? ranged == 0 : ranged >= pieces, qPrintable(QString::number(ranged)));
    if (restarts == 0) {
        // Nothing is fetched twice but what was in flight when a drop came.
        const qint64 headers = 4 * 1024;
        QVERIFY2(server.bytesSent() <=
                     expected.size() + drops * (QtTransferControl::ReadBufferBytes + headers),
                 qPrintable(QString::number(server.bytesSent())));
    }
}

void TestResume::givesUp_data()
{
    // clang-format off
    QTest::addColumn<Response>("response");
    QTest::addColumn<QString>("said");

    const QByteArray body = randomBytes(256 * 1024);
    Response wrongRange = rangedRelease(body);
    wrongRange.dropAt = {100 * 1024};
    Response wrongPiece = TestHttpServer::status(206, "Partial Content", body.left(1000));
    wrongPiece.headers.append({QByteArray("Content-Range"), "bytes 0-999/262144"});
    wrongRange.rangeAnswer = std::make_shared<Response>(wrongPiece);
    QTest::newRow("206 with the wrong Content-Range") << wrongRange << "bytes 0-999";

    // Pieces that would make a file of the wrong length, had they been taken.
    const auto answeredWith = [&body](const QByteArray &range, qsizetype bytes) {
        Response ranged = rangedRelease(body);
        ranged.dropAt = {100 * 1024};
        Response piece = TestHttpServer::status(206, "Partial Content", body.mid(102400, bytes));
        piece.headers.append({QByteArray("Content-Range"), range});
        ranged.rangeAnswer = std::make_shared<Response>(piece);
        return ranged;
    };
    QTest::newRow("206 short of the file's end")
        << answeredWith("bytes 102400-102499/262144", 100) << "from 102500 on";
    QTest::newRow("206 longer than its range")
        << answeredWith("bytes 102400-102499/262144", 300) << "sent 300 bytes for the range";
    Response overrun = answeredWith("bytes 102400-102499/262144", 300);
    overrun.rangeAnswer->sendContentLength = false;
    QTest::newRow("206 without a length, past its range")
        << overrun << "sent more than the 100 bytes it announced from byte 102400 on";
    QTest::newRow("206 for a file of another length")
        << answeredWith("bytes 102400-102499/300000", 100) << "of a file of 262144 bytes";

    Response unsatisfiable = rangedRelease(body);
    unsatisfiable.dropAt = {100 * 1024};
    unsatisfiable.rangeAnswer =
        std::make_shared<Response>(TestHttpServer::status(416, "Range Not Satisfiable"));
    QTest::newRow("416") << unsatisfiable
                         << "HTTP 416 Range Not Satisfiable when asked for the bytes from 102400 "
                            "on (2 attempts)";

    // The first attempt gets furthest; the next straight away, then five more
    // with waits, none getting further.
    Response sameCut = TestHttpServer::ok(body);
    sameCut.dropAfter = 100 * 1024;
    QTest::newRow("no ranges, always cut at the same place")
        << sameCut << "(7 attempts)";

    QTest::newRow("503 six times") << TestHttpServer::status(503, "Service Unavailable")
                                   << "HTTP 503 Service Unavailable (6 attempts)";
    // clang-format on
}

void TestResume::givesUp()
{
    QFETCH(Response, response);
    QFETCH(QString, said);
    TestHttpServer server;
    server.serve("/r.bin", response);
    QtTransferControl inet(m_network, 5s, TestPlatform::RetryDelay);

    const QString address = server.baseUrl() + QStringLiteral("r.bin");
    const TransferReader reader = TransferReader::get(inet, address);

    QVERIFY2(reader.failure.contains(address), qPrintable(reader.failure));
    QVERIFY2(reader.failure.contains(said), qPrintable(reader.failure));
    QVERIFY(!inet.PendingRetry());
}

void TestResume::manifestRetries_data()
{
    QTest::addColumn<Response>("response");
    QTest::addColumn<bool>("listed");
    QTest::addColumn<int>("requests");

    const Response manifest = TestHttpServer::ok("W2003\tr.bin\tRelease one\n");
    Response unavailable = TestHttpServer::status(503, "Service Unavailable");
    unavailable.then = std::make_shared<Response>(manifest);
    QTest::newRow("503, then 200") << unavailable << true << 2;

    Response retryAfter = TestHttpServer::status(503, "Service Unavailable");
    retryAfter.headers.append({QByteArray("Retry-After"), "1"});
    retryAfter.then = std::make_shared<Response>(manifest);
    QTest::newRow("503 asking 1 s, then 200") << retryAfter << true << 2;

    QTest::newRow("503 three times")
        << TestHttpServer::status(503, "Service Unavailable") << false << 3;
    QTest::newRow("server down") << Response() << false << 0;
}

void TestResume::manifestRetries()
{
    QFETCH(Response, response);
    QFETCH(bool, listed);
    QFETCH(int, requests);
    TestHttpServer server;
    server.serve("/manifest.txt", response);
    if (requests == 0) {
        server.close();
    }
    // The waits the program uses, to hold them to their promise.
    QtHttpRequest http(m_network, 5s);
    const QString address = server.baseUrl() + QStringLiteral("manifest.txt");

    QElapsedTimer clock;
    clock.start();
    QString failure;
    QByteArray body;
    try {
        body = http.Get(address, 1024);
    } catch (const RuntimeError &error) {
        failure = error.description();
    }
    const qint64 elapsed = clock.elapsed();

    if (listed) {
        QCOMPARE(failure, QString());
        QVERIFY(body.contains("Release one"));
        QVERIFY2(elapsed >= 1000, qPrintable(QString::number(elapsed)));
    } else {
        QVERIFY2(failure.contains(address), qPrintable(failure));
        QVERIFY2(failure.contains(QStringLiteral("(3 attempts)")), qPrintable(failure));
        // One wait of 1 s and one of 2 s, and a down server is told within 10 s.
        // (Timers may fire a little early.)
        QVERIFY2(elapsed >= 2800 && elapsed < 10000, qPrintable(QString::number(elapsed)));
    }
    QCOMPARE(int(server.requests().size()), requests);
}

namespace {

// The main window with one release listed, loaded and picked, and a folder chosen.
std::unique_ptr<TestWindow> windowFor(const Response &release,
                                      std::chrono::milliseconds retryDelay = 10ms)
{
    TestWindowSettings settings;
    settings.timeout = 5s;
    settings.retryDelay = retryDelay;
    auto window = std::make_unique<TestWindow>(settings);
    window->serveRelease(QStringLiteral("r.bin"), release, {}, "Release one");
    if (window->load()) {
        window->pick();
    }
    return window;
}

} // namespace

void TestResume::olderFileOutlivesFailedRedownload()
{
    Response broken = TestHttpServer::ok(randomBytes(300 * 1024));
    broken.dropAfter = 100 * 1024;
    const auto window = windowFor(broken);
    const QByteArray older = randomBytes(5000);
    QVERIFY(writeFile(window->target(), older));

    window->form->Command1->click(); // Yes to "download it again?"
    QTRY_COMPARE_WITH_TIMEOUT(window->platform.programEnd.ends, 1, 15000);

    QVERIFY(window->platform.prompt.asked.value(0).text.contains(QLatin1String("again")));
    expectCleanFailure(*window,
                       {window->target(), {window->address()}, {{window->target(), older}}, 1});
}

namespace {

// Runs check every 20 ms from inside whatever loop is running (the window
// reads the body inside an event handler, so a test's own loop does not get a
// turn until the download is over) until it returns true.
void whenever(QObject *context, std::function<bool()> check)
{
    auto *timer = new QTimer(context);
    QObject::connect(timer, &QTimer::timeout, context, [timer, check = std::move(check)] {
        if (check()) {
            timer->stop();
        }
    });
    timer->start(20);
}

} // namespace

void TestResume::waitShowsAndCancelsAtOnce()
{
    // Dropped once after some progress, then refused for a while: a wait.
    Response release = rangedRelease(randomBytes(ReleaseBytes));
    release.dropAt = {ReleaseBytes / 2};
    release.then = std::make_shared<Response>(TestHttpServer::status(503, "Service Unavailable"));
    const auto window = windowFor(release, 2s);
    TestWindow &w = *window;
    QString shown;
    qint64 cancelMsecs = -1;
    whenever(this, [&] {
        shown = w.form->LabelStatus->text();
        if (!w.platform.inet1.PendingRetry() || shown.isEmpty()) {
            return false;
        }
        QElapsedTimer clock;
        clock.start();
        w.form->close(); // Yes to the cancel question
        cancelMsecs = clock.elapsed();
        return true;
    });

    QVERIFY(w.download(10000));

    QVERIFY2(shown.startsWith(QLatin1String("Retry 1 of 5 in ")), qPrintable(shown));
    QVERIFY2(cancelMsecs >= 0 && cancelMsecs < 500, qPrintable(QString::number(cancelMsecs)));
    QVERIFY(!w.platform.inet1.PendingRetry());
    QVERIFY(!QFileInfo::exists(TargetFile::partPath(w.target())));
    QVERIFY(!QFileInfo::exists(w.target()));
}

void TestResume::rateAndTimeLeftShow()
{
    Response release = TestHttpServer::ok(randomBytes(ReleaseBytes));
    release.bytesPerTick = 16 * 1024; // 1.6 MB/s, about 2 s in all
    const auto window = windowFor(release);
    TestWindow &w = *window;
    QString shown;
    bool inside = false;
    whenever(this, [&] {
        shown = w.form->LabelStatus->text();
        if (!shown.contains(QLatin1String("B/s"))) {
            return false;
        }
        inside = w.form->rect().contains(w.form->LabelStatus->geometry()) &&
                 w.form->LabelStatus->isVisible();
        w.form->close();
        return true;
    });

    QVERIFY(w.download(10000));

    // "1.6 MB/s · 1 s left", give or take.
    QVERIFY2(shown.contains(QLatin1String(" left")), qPrintable(shown));
    QVERIFY(inside);
}

void TestResume::tooLargeForTheFolder_data()
{
    QTest::addColumn<bool>("smallVolume");
    QTest::newRow("announced larger than any disk") << false;
    QTest::newRow("larger than a small tmpfs") << true;
}

void TestResume::tooLargeForTheFolder()
{
    QFETCH(bool, smallVolume);
    const QByteArray body = randomBytes(200 * 1024);
    const auto made = windowFor(TestHttpServer::ok(body));
    TestWindow &window = *made;
    QString folder = window.destination.path();
    std::optional<SmallTmpfs> mount;
    if (smallVolume) {
        folder = window.destination.filePath(QStringLiteral("small"));
        QVERIFY(QDir().mkpath(folder));
        mount.emplace(folder);
        if (!mount->mounted()) {
            QSKIP(qPrintable(mount->failure() + QStringLiteral("; row skipped")));
        }
    } else {
        Response head = TestHttpServer::ok(body);
        head.contentLength = qint64(1) << 50; // 1 PiB
        window.server.serveHead("/r.bin", head);
    }
    window.form->Label4->setText(folder);
    const int choosingHeight = window.form->height();

    window.form->Command1->click();

    QCOMPARE(window.platform.prompt.asked.size(), 1);
    const QString said = window.platform.prompt.asked.constFirst().text;
    QVERIFY2(said.startsWith(QLatin1String("The release needs ")), qPrintable(said));
    QVERIFY2(said.contains(smallVolume ? QLatin1String("205 kB") : QLatin1String("1125900 GB")),
             qPrintable(said));
    QCOMPARE(window.platform.programEnd.ends, 0);
    QVERIFY(QDir(folder).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
    QVERIFY(window.form->ButtonFolder->isEnabled());
    QVERIFY(window.form->ComboVersion->isEnabled());
    QCOMPARE(window.form->height(), choosingHeight);
    QCOMPARE(window.form->Command1->text(), QStringLiteral("OK"));

    // Another folder, and the download goes through.
    QTemporaryDir roomy;
    window.server.serveHead("/r.bin", TestHttpServer::ok(body));
    window.form->Label4->setText(roomy.path());
    QVERIFY(window.download(10000));
    QCOMPARE(window.platform.errorReport.reports.size(), 0);
    QCOMPARE(readAll(QDir(roomy.path()).filePath(QStringLiteral("r.bin"))), body);
}

QTEST_MAIN(TestResume)
#include "tst_resume.moc"
