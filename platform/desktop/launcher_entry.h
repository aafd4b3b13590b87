#pragma once

#include "lazy_bus.h"

#include <QString>

#include <optional>

// The progress on the program's taskbar entry, as the docks and task managers
// that follow com.canonical.Unity.LauncherEntry show it. A signal goes out only
// when what it says changes.
class LauncherEntry final
{
public:
    // desktopId: the desktop entry's file name, "….desktop".
    LauncherEntry(LazyBus::Opener session, const QString &desktopId);

    void show(std::optional<double> done);

private:
    enum class Shown { Nothing, Hidden, Progress };

    LazyBus m_session;
    QString m_uri;
    Shown m_shown = Shown::Nothing;
    double m_done = 0;
    bool m_toldNoBus = false;
};
