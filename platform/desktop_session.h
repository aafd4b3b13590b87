#pragma once

#include <QString>

#include <optional>

// What the desktop around the program is told while a release downloads: that
// the machine must not suspend, and how far the download has come, for the
// taskbar entry. Either may find nobody to tell; the program works the same.
class DesktopSession
{
public:
    virtual ~DesktopSession() = default;
    // Holds off suspend (not the screen lock) until releaseSuspend or the
    // program's end; reason is shown where the desktop lists what holds it off.
    virtual void holdSuspend(const QString &reason) = 0;
    // Nothing when nothing is held.
    virtual void releaseSuspend() = 0;
    // The share of the download done, 0 to 1, on the taskbar entry; none: no
    // progress shown there.
    virtual void showProgress(std::optional<double> done) = 0;
};
