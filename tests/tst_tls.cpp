#include "clean_failure.h"
#include "form1.h"
#include "random_bytes.h"
#include "test_certificates.h"
#include "test_files.h"
#include "test_http_server.h"
#include "test_window.h"

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>

using namespace std::chrono_literals;

namespace {

const QByteArray ManifestPath = "/online_installer/manifest.txt";
const QByteArray ReleasePath = "/online_installer/setup.bin";

// The program as a user runs it, trusting the test's authority only besides
// the system's store, its server presenting identity.
TestWindowSettings trusting(const QSslCertificate &authority, const TestIdentity &identity)
{
    TestWindowSettings settings;
    settings.authorities = {authority};
    settings.identity = identity;
    settings.folder = QStringLiteral("online_installer/");
    return settings;
}

TestHttpServer::Response redirectTo(const QString &address)
{
    TestHttpServer::Response moved = TestHttpServer::status(302, "Found");
    moved.headers = {{"Location", address.toUtf8()}};
    return moved;
}

} // namespace

// https as the program meets it: certificates that verify through the test's
// own authority, and every way one can fail to, for the manifest and for the
// release. Nothing that did not verify may be listed, stored or started.
class TestTls final : public QObject
{
    Q_OBJECT

private slots:
    void manifestRefused_data();
    void manifestRefused();
    void releaseRefused_data();
    void releaseRefused();
    void releaseVerified_data();
    void releaseVerified();

private:
    // The certificate a faulty server presents, and what the report must say.
    void addFaultRows();

    // The authority the program is told to trust; the system's store never is.
    TestCertificateAuthority m_trusted;
    TestCertificateAuthority m_unknown;
    QByteArray m_release = randomBytes(200 * 1024 + 3);
};

void TestTls::addFaultRows()
{
    // clang-format off
    // identity: what the secure server presents, none where only plain http is
    // spoken; redirected: it sends the request on to plain http instead.
    QTest::addColumn<std::optional<TestIdentity>>("identity");
    QTest::addColumn<bool>("redirected");
    QTest::addColumn<QString>("said");
    const QStringList loopback = TestCertificateAuthority::loopbackHosts();
    using Identity = std::optional<TestIdentity>;
    QTest::newRow("self-signed") << Identity(TestCertificateAuthority::selfSigned(loopback)) << false << "The certificate is self-signed, and untrusted";
    QTest::newRow("expired") << Identity(m_trusted.issue(loopback, TestCertificateAuthority::Validity::Expired)) << false << "The certificate has expired";
    QTest::newRow("wrong host name") << Identity(m_trusted.issue({QStringLiteral("downloads.orbistane.example")})) << false << "The host name did not match any of the valid hosts";
    QTest::newRow("unknown authority") << Identity(m_unknown.issue(loopback)) << false << "Cannot verify the TLS certificate";
    QTest::newRow("redirect to http") << Identity(m_trusted.issue(loopback)) << true << "redirected to the insecure http address {http}";
    // clang-format on
}

void TestTls::manifestRefused_data()
{
    // clang-format off
    addFaultRows();
    QTest::newRow("no TLS at the address") << std::optional<TestIdentity>() << false << "No secure connection to";
    // clang-format on
}

void TestTls::manifestRefused()
{
    QFETCH(std::optional<TestIdentity>, identity);
    QFETCH(bool, redirected);
    QFETCH(QString, said);

    TestWindow program(
        trusting(m_trusted.certificate(),
                 identity.value_or(m_trusted.issue(TestCertificateAuthority::loopbackHosts()))));
    TestHttpServer &secure = program.server;
    TestHttpServer plain;
    plain.serve(ManifestPath, TestHttpServer::ok("W2003\tsetup.bin\tRelease 1\n"));
    const QString httpAddress = plain.baseUrl() + QString::fromLatin1(ManifestPath.mid(1));
    secure.serve(ManifestPath, redirected ? redirectTo(httpAddress)
                                          : TestHttpServer::ok("W2003\tsetup.bin\tRelease 1\n"));
    // An https address where only plain http is spoken: a web server answers
    // the handshake's bytes as the bad request they are.
    QTcpServer clear;
    QVERIFY(clear.listen(QHostAddress::LocalHost, 0));
    connect(&clear, &QTcpServer::newConnection, &clear, [&clear] {
        while (QTcpSocket *socket = clear.nextPendingConnection()) {
            socket->write("HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n");
            socket->disconnectFromHost();
        }
    });
    const QString root = (!identity
                              ? QStringLiteral("https://127.0.0.1:%1/").arg(clear.serverPort())
                              : secure.baseUrl()) +
                         QStringLiteral("online_installer/");

    QVERIFY(!program.load(root));
    QCOMPARE(program.platform.programEnd.exitCode, 1);
    QCOMPARE(program.platform.errorReport.reports.size(), 1);
    const QString description = program.platform.errorReport.lastDescription();
    QVERIFY2(description.contains(said.replace(QLatin1String("{http}"), httpAddress)),
             qPrintable(description));
    QVERIFY2(description.contains(root + QStringLiteral("manifest.txt")), qPrintable(description));
    QCOMPARE(program.form->ComboVersion->count(), 0);
    QCOMPARE(program.leftovers(), QStringList());
    // Nothing was asked for in the clear; the secure server served nothing.
    QCOMPARE(plain.requestCount({}, ManifestPath), 0);
    QCOMPARE(secure.requestCount({}, ManifestPath), redirected ? 1 : 0);
}

void TestTls::releaseRefused_data()
{
    addFaultRows();
}

void TestTls::releaseRefused()
{
    QFETCH(std::optional<TestIdentity>, identity);
    QFETCH(bool, redirected);
    QFETCH(QString, said);

    // The manifest comes from a server that verifies; then the server presents
    // the faulty certificate, or redirects the release to plain http.
    TestWindow program(trusting(m_trusted.certificate(),
                                m_trusted.issue(TestCertificateAuthority::loopbackHosts())));
    TestHttpServer &secure = program.server;
    TestHttpServer plain;
    plain.serve(ReleasePath, TestHttpServer::ok(m_release));
    const QString httpAddress = plain.baseUrl() + QString::fromLatin1(ReleasePath.mid(1));
    program.serveRelease(QStringLiteral("setup.bin"),
                         redirected ? redirectTo(httpAddress) : TestHttpServer::ok(m_release), {},
                         "Release 1");
    QVERIFY2(program.load(), qPrintable(program.platform.errorReport.lastDescription()));
    secure.setCertificate(identity->certificate(), identity->key());
    program.pick();
    const QString older = program.destination.filePath(QStringLiteral("older-release.bin"));
    QVERIFY(writeFile(older, "kept"));

    QVERIFY(program.download());

    expectCleanFailure(program,
                       {program.target(),
                        {said.replace(QLatin1String("{http}"), httpAddress), program.address()},
                        {{older, "kept"}}});
    QCOMPARE(plain.requestCount({}, ReleasePath), 0);
}

void TestTls::releaseVerified_data()
{
    QTest::addColumn<bool>("redirected");
    QTest::newRow("served directly") << false;
    QTest::newRow("redirected to another https server") << true;
}

void TestTls::releaseVerified()
{
    QFETCH(bool, redirected);

    const TestIdentity good = m_trusted.issue(TestCertificateAuthority::loopbackHosts());
    TestWindow program(trusting(m_trusted.certificate(), good));
    TestHttpServer mirror(good.certificate(), good.key());
    mirror.serve(ReleasePath, TestHttpServer::ok(m_release));
    program.serveRelease(
        QStringLiteral("setup.bin"),
        redirected ? redirectTo(mirror.baseUrl() + QString::fromLatin1(ReleasePath.mid(1)))
                   : TestHttpServer::ok(m_release),
        {}, "Release 1");
    QVERIFY2(program.load(), qPrintable(program.platform.errorReport.lastDescription()));
    program.pick();

    QVERIFY(program.download());

    QCOMPARE(program.platform.errorReport.lastDescription(), QString());
    QCOMPARE(readAll(program.target()), m_release);
    // The size came from the probe over https: the bar reached its end.
    QCOMPARE(program.form->Label3->text(), QStringLiteral("100 %"));
    QCOMPARE(program.platform.shell.started, QStringList{program.target()});
    QCOMPARE(mirror.requestCount({}, ReleasePath), redirected ? 2 : 0);
}

QTEST_MAIN(TestTls)
#include "tst_tls.moc"
