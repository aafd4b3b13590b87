#pragma once

#include "file_descriptor.h"
#include "lazy_bus.h"

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QObject>
#include <QString>

class QDBusPendingCallWatcher;

// Holds off suspend through the first of the desktop's services that grants it:
// the portal, GNOME's session manager, the power management service, then
// logind on the system bus. Asking does not wait: the answers come through the
// event loop, and one that comes after a release is released at once.
class SuspendInhibitor final : public QObject
{
public:
    // appId: the desktop entry's name without ".desktop".
    SuspendInhibitor(LazyBus::Opener session, LazyBus::Opener system, const QString &appId);
    ~SuspendInhibitor() override;

    // Nothing while a hold is asked for or held.
    void hold(const QString &reason);
    void release();

    // How long a service may take to answer before the next is asked.
    static constexpr int AnswerMsecs = 3000;

private:
    // In the order they are asked.
    enum class Way { Portal, GnomeSession, PowerManagement, Logind, None };
    // What a service granted: the portal's request, a cookie, or logind's descriptor.
    struct Grant
    {
        Way way = Way::None;
        QDBusObjectPath request;
        uint cookie = 0;
        FileDescriptor descriptor;
    };
    enum class Phase { Off, Asking, Held };
    // One hold, from the ask to its release; replaced whole by the next.
    struct Hold
    {
        Phase phase = Phase::Off;
        // Tells an answer to this hold from one to an earlier, released hold.
        quint64 number = 0;
        QString reason;
        Grant grant;
    };

    void ask(Way way);
    void answered(quint64 number, Way way, const QDBusPendingCallWatcher &watcher);
    void end(Grant grant);
    static Way after(Way way);
    static QString nameOf(Way way);

    LazyBus m_session;
    LazyBus m_system;
    QString m_appId;
    Hold m_hold;
    quint64 m_holds = 0;
};
