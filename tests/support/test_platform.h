#pragma once

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

// The real network, file and transfer components with scripted user-facing
// ones, and short time-outs and retry waits. https trusts the system's store and, besides, the
// test's own certificate authorities, if it gives any.
class TestPlatform
{
public:
    // Retries wait this long at first, so that a test goes through them all at once.
    static constexpr std::chrono::milliseconds RetryDelay{10};

    // Requests go direct unless proxies says otherwise, whatever this machine's
    // environment says.
    explicit TestPlatform(std::chrono::milliseconds timeout = std::chrono::seconds(5),
                          const QList<QSslCertificate> &authorities = {},
                          std::chrono::milliseconds retryDelay = RetryDelay,
                          ProxySettings proxies = ProxySettings::direct())
        : network(manager, authorities, std::move(proxies)), fileSystem(mounts),
          http(network, timeout, retryDelay), inet1(network, timeout, retryDelay)
    {
    }

    Platform platform()
    {
        return {shell,  fileSystem, http,   stream,      management,
                mounts, inet1,      prompt, errorReport, programEnd};
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
};
