#pragma once

#include "dbus_desktop_session.h"
#include "fakes.h"
#include "linux_file_system.h"
#include "linux_stream.h"
#include "network_access.h"
#include "platform.h"
#include "qt_http_request.h"
#include "qt_transfer_control.h"

#include <QHash>
#include <QNetworkAccessManager>
#include <QSslCertificate>
#include <QStringList>

#include <chrono>

// A mount table with one local disk at "/" unless a test says otherwise.
class FakeMountTable final : public MountTable
{
public:
    QList<Volume> list = {
        {QStringLiteral("/"), QStringLiteral("/dev/vda1"), QStringLiteral("ext4")}};
    QList<Volume> volumes() override { return list; }
};

// Answers `free` for every volume unless freeByVolume names it; records the asks.
class FakeManagementService final : public ManagementService
{
public:
    QString free = QStringLiteral("123456789");
    QHash<QString, QString> freeByVolume;
    QStringList asked;
    QString FreeSpace(const QString &designation) override
    {
        asked.append(designation);
        return freeByVolume.value(designation, free);
    }
};

// What a TestPlatform is built with; the defaults suit a test against a server
// of its own.
struct TestPlatformSettings
{
    std::chrono::milliseconds timeout = std::chrono::seconds(5);
    // Trusted besides the system's store (a test's own certificate authorities).
    QList<QSslCertificate> authorities;
    // Retries wait this long at first, so that a test goes through them all at once.
    std::chrono::milliseconds retryDelay = std::chrono::milliseconds(10);
    // Requests go direct unless this says otherwise, whatever this machine's
    // environment says.
    ProxySettings proxies = ProxySettings::direct();
    // The volumes the file system sees; the fake mount table when null.
    MountTable *mounts = nullptr;
    // How long the manifest fetch measures its floor on the rate over.
    std::chrono::milliseconds fetchRateWindow = std::chrono::seconds(30);
};

// The real network, file and transfer components with scripted user-facing
// ones, and short time-outs and retry waits. Any user-facing part can be
// replaced: set it in `replaced` before platform() is called.
class TestPlatform
{
public:
    static constexpr std::chrono::milliseconds RetryDelay{10};

    explicit TestPlatform(const TestPlatformSettings &settings = {})
        : network(manager, settings.authorities, settings.proxies),
          fileSystem(settings.mounts ? *settings.mounts : mounts),
          http(network, settings.timeout, settings.retryDelay, settings.fetchRateWindow),
          inet1(network, settings.timeout, settings.retryDelay),
          m_mounts(settings.mounts ? settings.mounts : &mounts)
    {
    }
    explicit TestPlatform(std::chrono::milliseconds timeout) : TestPlatform(withTimeout(timeout)) {}

    static TestPlatformSettings withTimeout(std::chrono::milliseconds timeout)
    {
        TestPlatformSettings settings;
        settings.timeout = timeout;
        return settings;
    }

    struct Parts
    {
        Shell *shell = nullptr;
        ManagementService *management = nullptr;
        Prompt *prompt = nullptr;
        ErrorReport *errorReport = nullptr;
        ProgramEnd *programEnd = nullptr;
        DesktopSession *desktop = nullptr;
    };
    Parts replaced;

    Platform platform()
    {
        return {pick(replaced.shell, shell),
                fileSystem,
                http,
                stream,
                pick(replaced.management, management),
                *m_mounts,
                inet1,
                pick(replaced.prompt, prompt),
                pick(replaced.errorReport, errorReport),
                pick(replaced.programEnd, programEnd),
                pick(replaced.desktop, desktop)};
    }

    QNetworkAccessManager manager;
    NetworkAccess network;
    FakeShell shell;
    FakeMountTable mounts;
    LinuxFileSystem fileSystem;
    QtHttpRequest http;
    LinuxStream stream;
    FakeManagementService management;
    QtTransferControl inet1;
    ScriptedPrompt prompt;
    RecordingErrorReport errorReport;
    RecordingProgramEnd programEnd;
    // The real one, as with no desktop around: told nothing, it changes nothing.
    DBusDesktopSession desktop{noBus, noBus, QStringLiteral("orbistane-test")};

private:
    static QDBusConnection noBus() { return QDBusConnection(QStringLiteral("no bus")); }
    template <typename Part, typename Fake> static Part &pick(Part *replacement, Fake &fake)
    {
        return replacement ? *replacement : fake;
    }

    MountTable *m_mounts;
};
