#pragma once

#include "form1.h"
#include "manifest_signature_policy.h"
#include "test_certificates.h"
#include "test_http_server.h"
#include "test_platform.h"

#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <optional>

// How a TestWindow is set up.
struct TestWindowSettings
{
    QString language = QStringLiteral("en_GB.UTF-8");
    std::chrono::milliseconds timeout = std::chrono::milliseconds(1500);
    std::chrono::milliseconds retryDelay = TestPlatform::RetryDelay;
    // Trusted besides the system's store.
    QList<QSslCertificate> authorities;
    // The server speaks https only, presenting this, when set.
    std::optional<TestIdentity> identity;
    // The proxies, given the server's port; direct when unset.
    std::function<ProxySettings(quint16 serverPort)> proxies;
    // The keys the manifest must be signed with; none: read unsigned.
    ManifestTrust trust;
    // Where on the server the manifest and the releases are, "" or ending in "/".
    QString folder;
    std::chrono::milliseconds fetchRateWindow = TestPlatformSettings().fetchRateWindow;
};

// The main window against a test server of its own: a manifest, releases, a
// fresh temporary folder and a fresh destination.
class TestWindow
{
public:
    explicit TestWindow(const TestWindowSettings &settings = {});

    // The manifest as served; serveRelease adds to it.
    void serveManifest(const QByteArray &manifest);
    // Lists file under name, pins (fields 3 and on, tab first) and all, and
    // serves response for it.
    void serveRelease(const QString &file, const TestHttpServer::Response &response,
                      const QByteArray &pins = {}, const QByteArray &name = "R1");

    // Makes the window for root (the server's folder unless given), without loading it.
    Form1 &make(const QString &root = {});
    // Loads the window, made first if need be; false when that ended the program.
    bool load(const QString &root = {});
    // As the user does it: shows the window, picks the first release and the
    // destination (or folder).
    void pick(const QString &folder = {});
    // load, then pick; false when loading ended the program.
    bool start(const QString &folder = {});
    // Clicks OK and waits for the program to end; false when it did not in time.
    bool download(int timeoutMs = 5000);

    QStringList items() const;
    // The server's path and address of file, and where it lands.
    QByteArray path(const QString &file = {}) const;
    QString address(const QString &file = {}) const;
    QString target(const QString &file = {}) const;
    // What load left behind in the temporary folder.
    QStringList leftovers() const;

    // A second plain http server, as a redirect's target; made on first use.
    TestHttpServer &elsewhere();

    // The release serveRelease served last.
    QString file;
    QByteArray body;

    QTemporaryDir temp;
    QTemporaryDir destination;

private:
    std::unique_ptr<TestHttpServer> m_server; // before the platform, which may need its port

public:
    TestHttpServer &server;
    TestPlatform platform;
    ManifestTrust trust;
    std::unique_ptr<Form1> form;

private:
    QString root() const;

    QString m_folder;
    QByteArray m_manifest;
    std::unique_ptr<TestHttpServer> m_elsewhere;
};
