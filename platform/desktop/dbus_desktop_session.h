#pragma once

#include "desktop_session.h"
#include "launcher_entry.h"
#include "suspend_inhibitor.h"

// The desktop told over D-Bus, on the buses the openers give when first needed;
// either may be unconnected.
class DBusDesktopSession final : public DesktopSession
{
public:
    // desktopId: the desktop entry's name, without ".desktop".
    DBusDesktopSession(const LazyBus::Opener &session, const LazyBus::Opener &system,
                       const QString &desktopId)
        : m_inhibitor(session, system, desktopId),
          m_entry(session, desktopId + QStringLiteral(".desktop"))
    {
    }

    void holdSuspend(const QString &reason) override { m_inhibitor.hold(reason); }
    void releaseSuspend() override { m_inhibitor.release(); }
    void showProgress(std::optional<double> done) override { m_entry.show(done); }

private:
    SuspendInhibitor m_inhibitor;
    LauncherEntry m_entry;
};
