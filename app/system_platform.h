#pragma once

#include "dbus_desktop_session.h"
#include "linux_drives.h"
#include "linux_file_system.h"
#include "linux_program_end.h"
#include "linux_shell.h"
#include "linux_stream.h"
#include "network_access.h"
#include "platform.h"
#include "proxy_settings.h"
#include "qt_http_request.h"
#include "qt_prompt.h"
#include "qt_transfer_control.h"

#include <QGuiApplication>
#include <QNetworkAccessManager>

// The one place where each component's implementation is chosen.
using ShellImpl = LinuxShell;
using FileSystemImpl = LinuxFileSystem;
using HttpRequestImpl = QtHttpRequest;
using StreamImpl = LinuxStream;
using ManagementServiceImpl = LinuxManagementService;
using MountTableImpl = LinuxMountTable;
using TransferControlImpl = QtTransferControl;
using PromptImpl = QtPrompt;
using ErrorReportImpl = QtErrorReport;
using ProgramEndImpl = LinuxProgramEnd;
using DesktopSessionImpl = DBusDesktopSession;

// The real components, owned together for the life of the program.
class SystemPlatform
{
public:
    SystemPlatform()
        : m_proxies(ProxyEnvironment::fromProcess()), m_network(m_manager, m_proxies),
          m_fileSystem(m_mounts), m_http(m_network), m_inet1(m_network),
          m_desktop(&QDBusConnection::sessionBus, &QDBusConnection::systemBus,
                    QGuiApplication::desktopFileName())
    {
    }

    // What is wrong with the environment's proxy settings; empty when nothing is.
    QString proxyProblem() const { return m_proxies.problem(); }

    Platform platform()
    {
        return {m_shell, m_fileSystem, m_http,        m_stream,     m_management, m_mounts,
                m_inet1, m_prompt,     m_errorReport, m_programEnd, m_desktop};
    }

    // The window the boxes stand over, and that asks for attention when one
    // appears while the user is elsewhere.
    void setMainWindow(QWidget *window)
    {
        m_prompt.setWindow(window);
        m_errorReport.setWindow(window);
    }

private:
    QNetworkAccessManager m_manager;
    // http_proxy and the others, in either case; else the desktop's settings.
    ProxySettings m_proxies;
    // The system's certificate store decides whom https trusts.
    NetworkAccess m_network;
    ShellImpl m_shell;
    MountTableImpl m_mounts;
    FileSystemImpl m_fileSystem;
    HttpRequestImpl m_http;
    StreamImpl m_stream;
    ManagementServiceImpl m_management;
    TransferControlImpl m_inet1;
    PromptImpl m_prompt;
    ErrorReportImpl m_errorReport;
    ProgramEndImpl m_programEnd;
    // The desktop file's name, set before this is made, names the taskbar entry.
    DesktopSessionImpl m_desktop;
};
