#include "clean_failure.h"
#include "form1.h"
#include "log_capture.h"
#include "minisign.h"
#include "minisign_tool.h"
#include "random_bytes.h"
#include "sha256.h"
#include "test_certificates.h"
#include "test_files.h"
#include "test_http_server.h"
#include "test_window.h"

#include <QLabel>
#include <QLoggingCategory>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>
#include <QTimer>

#include <functional>

namespace {

using Response = TestHttpServer::Response;
// What a row does once the window has loaded, before the click.
using Setup = std::function<void(TestWindow &)>;

const QString File = QStringLiteral("setup.bin");
const QByteArray Release = randomBytes(300 * 1024 + 17);
const QByteArray Pins = '\t' + Sha256::hash(Release).toHex() + '\t' +
                        QByteArray::number(Release.size());

// Answers the first GET with response and every later one with 503.
Response thenUnavailable(Response response)
{
    response.then = std::make_shared<Response>(TestHttpServer::status(503, "Unavailable"));
    return response;
}

// The manifest on the window's server lists the release, served there as first
// says, and a mirror per server given, each serving it under /m/.
void serveWithMirrors(TestWindow &window, const Response &first, const QByteArray &pins,
                      const QList<TestHttpServer *> &mirrors)
{
    QByteArray lines;
    for (TestHttpServer *mirror : mirrors) {
        lines += "mirror\t" + mirror->baseUrl().toUtf8() + "m/\n";
    }
    window.serveManifest(lines);
    window.serveRelease(File, first, pins);
}

// A release of several pieces, served by the window's server and by two more on
// other loopback addresses.
const QByteArray Large = randomBytes(1024 * 1024 + 17);
constexpr int LargePiece = 64 * 1024;

QByteArray piecesLine(const QByteArray &release)
{
    QByteArray digests;
    for (qsizetype at = 0; at < release.size(); at += LargePiece) {
        digests += Sha256::hash(release.mid(at, LargePiece)).toHex();
    }
    return "PIECES\t" + File.toUtf8() + '\t' + QByteArray::number(LargePiece) + '\t' + digests +
           '\n';
}

QByteArray flipEvery(QByteArray bytes, qsizetype step)
{
    for (qsizetype at = step / 2; at < bytes.size(); at += step) {
        bytes[at] = char(bytes.at(at) ^ 0x01);
    }
    return bytes;
}

Response ranged(const QByteArray &body)
{
    Response response = TestHttpServer::ok(body);
    response.ranges = true;
    response.bytesPerTick = 32 * 1024; // long enough for every server to be asked
    return response;
}

QByteArray firstRange(const TestHttpServer &server, const QByteArray &path = {})
{
    for (const TestHttpServer::Request &request : server.requests()) {
        if (request.method == "GET" && (path.isEmpty() || request.path.endsWith(path))) {
            return request.headers.value("range");
        }
    }
    return "no GET";
}

} // namespace

class TestMirrors final : public QObject
{
    Q_OBJECT

private slots:
    void releaseFromMirror_data();
    void releaseFromMirror();
    void everyServerFails();
    void statusAndLogNameTheMirror();
    void manifestFromNextServer_data();
    void manifestFromNextServer();
    void severalServersAtOnce_data();
    void severalServersAtOnce();
    void cancelWithSeveralConnections();
};

void TestMirrors::releaseFromMirror_data()
{
    // first: the release as the manifest's own server serves it; pins: the
    // release's manifest line; mirrorBody: what the mirror serves, and so what
    // must arrive; range: what the mirror is first asked for; shown: what the
    // percentage says when the mirror is asked.
    QTest::addColumn<Response>("first");
    QTest::addColumn<QByteArray>("pins");
    QTest::addColumn<QByteArray>("mirrorBody");
    QTest::addColumn<QByteArray>("range");
    QTest::addColumn<bool>("secure");
    QTest::addColumn<Setup>("afterLoad");
    QTest::addColumn<QString>("shown");

    const Setup nothing = [](TestWindow &) {};
    Response brokenOff = TestHttpServer::ok(Release);
    brokenOff.dropAfter = Release.size() / 2;
    Response changed = TestHttpServer::ok(Release);
    changed.body[1000] = char(changed.body.at(1000) ^ 0x20);
    changed.ranges = true;
    Response longer = TestHttpServer::ok(Release + "more");
    longer.ranges = true;
    // A pinned release is shared out among the servers that serve parts: the
    // mirror takes what the first did not bring.
    const QByteArray last = QByteArray::number(Release.size() - 1);
    const QByteArray whole = "bytes=0-" + last;
    const QByteArray half = "bytes=" + QByteArray::number(Release.size() / 2) + '-' + last;
    Response brokenOffInParts = brokenOff;
    brokenOffInParts.ranges = true;
    const QByteArray other = randomBytes(Release.size());

    // clang-format off
    QTest::newRow("404") << TestHttpServer::status(404, "Not Found") << Pins << Release << whole
                         << false << nothing << "0 %";
    QTest::newRow("503 every time") << TestHttpServer::status(503, "Unavailable") << Pins << Release
                                    << whole << false << nothing << "0 %";
    // The pin checks the whole at the end: the mirror carries on.
    QTest::newRow("pinned, reset at the middle") << thenUnavailable(brokenOffInParts) << Pins << Release
                                                 << half << false << nothing << "49 %";
    // The whole fails its pin: one server at a time, each from its first byte.
    QTest::newRow("one byte different from the pin") << changed << Pins << Release << QByteArray()
                                                      << false << nothing << "0 %";
    QTest::newRow("longer than the pin") << longer << Pins << Release << whole << false
                                         << nothing << "0 %";
    // Over http beside an https manifest: only because the release is pinned.
    QTest::newRow("certificate that does not verify")
        << TestHttpServer::ok(Release) << Pins << Release << whole << true
        << Setup([](TestWindow &window) {
               const TestIdentity stranger =
                   TestCertificateAuthority::selfSigned(TestCertificateAuthority::loopbackHosts());
               window.server.setCertificate(stranger.certificate(), stranger.key());
           }) << "0 %";
    QTest::newRow("pinned, first serves no parts") << TestHttpServer::ok(Release) << Pins << Release
                                                   << whole << false << nothing << "0 %";
    // Two servers' copies of an unpinned file cannot be told apart: never joined.
    QTest::newRow("unpinned, reset at the middle: again from byte 0")
        << thenUnavailable(brokenOff) << QByteArray() << other << QByteArray() << false << nothing << "0 %";
    // clang-format on
}

void TestMirrors::releaseFromMirror()
{
    QFETCH(Response, first);
    QFETCH(QByteArray, pins);
    QFETCH(QByteArray, mirrorBody);
    QFETCH(QByteArray, range);
    QFETCH(bool, secure);
    QFETCH(Setup, afterLoad);
    QFETCH(QString, shown);

    TestWindowSettings settings;
    TestCertificateAuthority authority;
    if (secure) {
        settings.authorities = {authority.certificate()};
        settings.identity = authority.issue(TestCertificateAuthority::loopbackHosts());
    }
    TestWindow window(settings);
    TestHttpServer mirror;
    Response served = TestHttpServer::ok(mirrorBody);
    served.ranges = true;
    served.delayMs = 600; // time to read the window while the mirror is asked
    mirror.serve("/m/" + File.toUtf8(), served);
    serveWithMirrors(window, first, pins, {&mirror});
    QVERIFY(window.start());
    afterLoad(window);
    QString whenAsked;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        if (whenAsked.isEmpty() && !mirror.requests().isEmpty()) {
            whenAsked = window.form->Label3->text();
        }
    });
    sampler.start(20);

    QVERIFY(window.download());
    QCOMPARE(whenAsked, shown);

    QCOMPARE(window.platform.errorReport.lastDescription(), QString());
    QCOMPARE(readAll(window.target()), mirrorBody);
    QVERIFY(!QFile::exists(window.target() + QLatin1String(".part")));
    QCOMPARE(firstRange(mirror), range);
    QCOMPARE(window.platform.shell.started, QStringList{window.target()});
}

void TestMirrors::everyServerFails()
{
    TestWindow window;
    TestHttpServer second;
    TestHttpServer third;
    second.serve("/m/" + File.toUtf8(), TestHttpServer::status(503, "Unavailable"));
    const QString thirdAddress = third.baseUrl() + QLatin1String("m/") + File;
    serveWithMirrors(window, TestHttpServer::status(404, "Not Found"), Pins, {&second, &third});
    third.close();
    QVERIFY(window.start());

    QVERIFY(window.download());

    const QString secondAddress = second.baseUrl() + QLatin1String("m/") + File;
    expectCleanFailure(window, {window.target(),
                                {QStringLiteral("from any of its 3 servers"),
                                 QStringLiteral("1. ") + window.address(), QStringLiteral("404"),
                                 QStringLiteral("2. ") + secondAddress, QStringLiteral("503"),
                                 thirdAddress, QStringLiteral("refused")}});
    // In the order tried.
    const QString said = window.platform.errorReport.lastDescription();
    QVERIFY(said.indexOf(window.address()) < said.indexOf(secondAddress));
    QVERIFY(said.indexOf(secondAddress) < said.indexOf(thirdAddress));
}

void TestMirrors::statusAndLogNameTheMirror()
{
    QLoggingCategory::setFilterRules(QStringLiteral("orbistane.net.info=true"));
    const auto restoreRules = qScopeGuard([] { QLoggingCategory::setFilterRules({}); });
    LogCapture capture;
    TestWindow window;
    TestHttpServer mirror;
    Response slow = TestHttpServer::ok(Release);
    slow.bytesPerTick = 2 * 1024; // about 1.5 s for the whole
    mirror.serve("/m/" + File.toUtf8(), slow);
    serveWithMirrors(window, TestHttpServer::status(404, "Not Found"), Pins, {&mirror});
    QVERIFY(window.start());

    // The transfer runs inside the window's own event loops: the line is read from there.
    QStringList shown;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout,
                     [&] { shown.append(window.form->LabelStatus->text()); });
    sampler.start(50);
    QVERIFY(window.download());

    const QString named = QStringLiteral("127.0.0.1:%1 (2 of 2)").arg(mirror.port());
    QVERIFY2(!shown.filter(named).isEmpty(), qPrintable(shown.join(u'|')));
    // Once whole, the line says so, and from where: not the last estimate.
    QCOMPARE(window.form->LabelStatus->text(),
             QStringLiteral("Download complete: 307 kB from 127.0.0.1:%1").arg(mirror.port()));
    QCOMPARE(readAll(window.target()), Release);
    // The mirror serves no parts: after the first failed, it serves alone.
    const QString switched = LogCapture::lines("orbistane.net").join(u'\n');
    QVERIFY2(switched.contains(window.address() + QLatin1String(" answered HTTP 404")) &&
                 switched.contains(QStringLiteral("one server at a time, from its first byte: ") +
                                   mirror.baseUrl() + QLatin1String("m/") + File +
                                   QLatin1String(" (2 of 2)")),
             qPrintable(switched));
}

void TestMirrors::manifestFromNextServer_data()
{
    // first: what the first download server does; signature: whether the build
    // wants one; said: the report, empty when the second server serves.
    QTest::addColumn<Setup>("first");
    QTest::addColumn<bool>("signature");
    QTest::addColumn<QString>("said");

    const auto answering = [](int status) {
        return Setup([status](TestWindow &window) {
            const Response answer = TestHttpServer::status(status, "Failing");
            window.server.serve("/manifest.txt", answer);
            window.server.serve("/manifest.txt.minisig", answer);
        });
    };
    const Setup refusing = [](TestWindow &window) { window.server.close(); };
    const Setup noSignature = [](TestWindow &window) {
        window.server.serve("/manifest.txt.minisig", TestHttpServer::status(404, "Not Found"));
    };

    QTest::newRow("first refuses connections") << refusing << false << QString();
    QTest::newRow("first answers 404") << answering(404) << false << QString();
    QTest::newRow("first answers 503 every time") << answering(503) << false << QString();
    QTest::newRow("signed: first refuses; both from the second") << refusing << true << QString();
    QTest::newRow("signed: first has no signature") << noSignature << true << QString();
    QTest::newRow("both fail: one report, in order")
        << refusing << false
        << QStringLiteral("The manifest could not be downloaded from any of its 2 servers");
}

void TestMirrors::manifestFromNextServer()
{
    QFETCH(Setup, first);
    QFETCH(bool, signature);
    QFETCH(QString, said);

    QTemporaryDir keys;
    std::optional<MinisignTool> tool;
    TestWindowSettings settings;
    if (signature) {
        if (!MinisignTool::available()) {
            QSKIP("minisign is not installed (Debian package minisign)");
        }
        tool.emplace(keys.path());
        settings.trust.keys = {*Minisign::parsePublicKey(tool->makeKey(QStringLiteral("vendor")))};
    }
    TestWindow window(settings);
    TestHttpServer second;
    window.serveRelease(File, TestHttpServer::ok(Release), Pins);
    const QByteArray manifest = "W2003\t" + File.toUtf8() + "\tR1" + Pins + '\n';
    second.serve("/manifest.txt", TestHttpServer::ok(manifest));
    second.serve(window.path(), TestHttpServer::ok(Release));
    if (tool) {
        const Response signed_ = TestHttpServer::ok(tool->sign(manifest, QStringLiteral("vendor")));
        window.server.serve("/manifest.txt.minisig", signed_);
        second.serve("/manifest.txt.minisig", signed_);
    }
    const QString firstServer = window.server.baseUrl();
    const QString secondServer = second.baseUrl();
    if (!said.isEmpty()) {
        second.close();
    }
    first(window);

    const bool loaded = window.load(firstServer + u',' + secondServer);
    if (!said.isEmpty()) {
        QVERIFY(!loaded);
        const QString report = window.platform.errorReport.lastDescription();
        QVERIFY2(report.contains(said) &&
                     report.indexOf(firstServer) < report.indexOf(secondServer),
                 qPrintable(report));
        return;
    }
    QVERIFY2(loaded, qPrintable(window.platform.errorReport.lastDescription()));
    QCOMPARE(window.items(), QStringList{QStringLiteral("R1")});
    QCOMPARE(second.requestCount("GET", "/manifest.txt.minisig"), signature ? 1 : 0);
    // The releases come from the server that served the manifest.
    window.pick();
    QVERIFY(window.download());
    QCOMPARE(readAll(window.target()), Release);
    QCOMPARE(second.requestCount("GET", window.path()), 1);
}

void TestMirrors::severalServersAtOnce_data()
{
    // second, third: how 127.0.0.2 and 127.0.0.3 serve it; pieces: whether the
    // manifest gives the pieces' digests; logged: what orbistane.net says of it;
    QTest::addColumn<Response>("second");
    QTest::addColumn<Response>("third");
    QTest::addColumn<bool>("pieces");
    QTest::addColumn<QString>("logged");
    QTest::addColumn<int>("thirdAsked"); // the GETs the third took at most; -1: any

    Response brokenOff = ranged(Large);
    brokenOff.dropAt = {Large.size() / 2 + 1000};
    Response noParts = TestHttpServer::ok(Large);
    const Response damaged = ranged(flipEvery(Large, 256 * 1024));

    // clang-format off
    QTest::newRow("three whole servers") << ranged(Large) << ranged(Large) << true << QString() << -1;
    // Its first piece is the third, which a byte of it is wrong in.
    QTest::newRow("third damaged: left at its first bad piece")
        << ranged(Large) << damaged << true << QStringLiteral("sent damaged data") << 1;
    QTest::newRow("third damaged, no digests: one at a time after the whole failed")
        << ranged(Large) << damaged << false << QStringLiteral("one server at a time") << -1;
    QTest::newRow("second breaks off mid-piece") << brokenOff << ranged(Large) << true << QString() << -1;
    QTest::newRow("second serves no parts")
        << noParts << ranged(Large) << true << QStringLiteral("does not serve parts") << -1;
    Response partWay = ranged(Large);
    partWay.then = std::make_shared<Response>(noParts);
    QTest::newRow("second stops serving parts part way")
        << partWay << ranged(Large) << true << QStringLiteral("does not serve parts") << -1;
    // clang-format on
}

void TestMirrors::severalServersAtOnce()
{
    QFETCH(Response, second);
    QFETCH(Response, third);
    QFETCH(bool, pieces);
    QFETCH(QString, logged);
    QFETCH(int, thirdAsked);

    QLoggingCategory::setFilterRules(QStringLiteral("orbistane.net.info=true"));
    const auto restoreRules = qScopeGuard([] { QLoggingCategory::setFilterRules({}); });
    LogCapture capture;
    TestWindow window;
    TestHttpServer two(QHostAddress(QStringLiteral("127.0.0.2")));
    TestHttpServer three(QHostAddress(QStringLiteral("127.0.0.3")));
    two.serve("/m/" + File.toUtf8(), second);
    three.serve("/m/" + File.toUtf8(), third);
    const QByteArray pins = '\t' + Sha256::hash(Large).toHex() + '\t' +
                            QByteArray::number(Large.size()) + '\n' +
                            (pieces ? piecesLine(Large) : QByteArray());
    serveWithMirrors(window, ranged(Large), pins.chopped(pieces ? 0 : 1), {&two, &three});
    QVERIFY(window.start());

    QVERIFY(window.download(10000));

    QCOMPARE(window.platform.errorReport.lastDescription(), QString());
    QCOMPARE(readAll(window.target()), Large);
    QVERIFY(!QFile::exists(window.target() + QLatin1String(".part")));
    // Each server was asked for parts of it.
    for (const TestHttpServer *server : {&window.server, &two, &three}) {
        QVERIFY2(firstRange(*server, File.toUtf8()).startsWith("bytes="),
                 qPrintable(server->baseUrl()));
    }
    const QString log = LogCapture::lines("orbistane.net").join(u'\n');
    QVERIFY2(logged.isEmpty() ? !log.contains(QStringLiteral("damaged")) : log.contains(logged),
             qPrintable(log));
    if (thirdAsked >= 0) {
        QCOMPARE(three.requestCount("GET", "/m/" + File.toUtf8()), thirdAsked);
    }
}

void TestMirrors::cancelWithSeveralConnections()
{
    TestWindow window;
    TestHttpServer two(QHostAddress(QStringLiteral("127.0.0.2")));
    Response slow = ranged(Large);
    slow.bytesPerTick = 1024;
    two.serve("/m/" + File.toUtf8(), slow);
    const QByteArray pins = '\t' + Sha256::hash(Large).toHex() + '\t' +
                            QByteArray::number(Large.size());
    serveWithMirrors(window, slow, pins, {&two});
    QVERIFY(window.start());
    // Cancel, once both servers are sending.
    QTimer cancel;
    QObject::connect(&cancel, &QTimer::timeout, [&] {
        if (window.server.openConnections() > 0 && two.openConnections() > 0 &&
            window.form->Downloading) {
            cancel.stop();
            window.platform.prompt.answers = {PromptAnswer::Yes};
            window.form->Command1->click();
        }
    });
    cancel.start(20);

    QVERIFY(window.download());

    QVERIFY(!QFile::exists(window.target() + QLatin1String(".part")));
    QVERIFY(!QFile::exists(window.target()));
    QTRY_COMPARE(window.server.openConnections() + two.openConnections(), 0);
    QCOMPARE(window.platform.shell.started, QStringList());
}

QTEST_MAIN(TestMirrors)
#include "tst_mirrors.moc"
