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

QByteArray firstRange(const TestHttpServer &server)
{
    for (const TestHttpServer::Request &request : server.requests()) {
        if (request.method == "GET") {
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
    Response longer = TestHttpServer::ok(Release + "more");
    const QByteArray half = "bytes=" + QByteArray::number(Release.size() / 2) + '-';
    const QByteArray other = randomBytes(Release.size());

    // clang-format off
    QTest::newRow("404") << TestHttpServer::status(404, "Not Found") << Pins << Release << QByteArray()
                         << false << nothing << "0 %";
    QTest::newRow("503 every time") << TestHttpServer::status(503, "Unavailable") << Pins << Release
                                    << QByteArray() << false << nothing << "0 %";
    // The pin checks the whole at the end: the mirror carries on.
    QTest::newRow("pinned, reset at the middle") << thenUnavailable(brokenOff) << Pins << Release
                                                 << half << false << nothing << "49 %";
    QTest::newRow("one byte different from the pin") << changed << Pins << Release << QByteArray()
                                                      << false << nothing << "0 %";
    QTest::newRow("longer than the pin") << longer << Pins << Release << QByteArray() << false
                                         << nothing << "0 %";
    // Over http beside an https manifest: only because the release is pinned.
    QTest::newRow("certificate that does not verify")
        << TestHttpServer::ok(Release) << Pins << Release << QByteArray() << true
        << Setup([](TestWindow &window) {
               const TestIdentity stranger =
                   TestCertificateAuthority::selfSigned(TestCertificateAuthority::loopbackHosts());
               window.server.setCertificate(stranger.certificate(), stranger.key());
           }) << "0 %";
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
    const QString switched =
        LogCapture::lines("orbistane.net").filter(QStringLiteral("now from ")).join(u'\n');
    QVERIFY2(switched.contains(window.address() + QLatin1String(" failed (")) &&
                 switched.contains(QStringLiteral("404")) &&
                 switched.contains(mirror.baseUrl() + QLatin1String("m/") + File +
                                   QLatin1String(" (2 of 2), from byte 0")),
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

QTEST_MAIN(TestMirrors)
#include "tst_mirrors.moc"
