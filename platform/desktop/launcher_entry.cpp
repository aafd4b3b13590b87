#include "launcher_entry.h"

#include "diagnostics.h"

#include <QDBusMessage>
#include <QVariantMap>

#include <cmath>

namespace {

// In steps of a thousandth: a finer change would not move a taskbar's bar.
double rounded(double done)
{
    return std::round(std::clamp(done, 0.0, 1.0) * 1000) / 1000;
}

} // namespace

LauncherEntry::LauncherEntry(LazyBus::Opener session, const QString &desktopId)
    : m_session(std::move(session)), m_uri(QStringLiteral("application://") + desktopId)
{
}

void LauncherEntry::show(std::optional<double> done)
{
    QVariantMap properties;
    if (done) {
        const double value = rounded(*done);
        if (m_shown == Shown::Progress && value == m_done) {
            return;
        }
        m_shown = Shown::Progress;
        m_done = value;
        properties.insert(QStringLiteral("progress"), value);
        properties.insert(QStringLiteral("progress-visible"), true);
    } else {
        if (m_shown == Shown::Hidden) {
            return;
        }
        m_shown = Shown::Hidden;
        properties.insert(QStringLiteral("progress-visible"), false);
    }
    QDBusConnection &bus = m_session.get();
    if (!bus.isConnected()) {
        if (!std::exchange(m_toldNoBus, true)) {
            qCInfo(lcDesktop).noquote()
                << "No session bus for the taskbar's progress:" << bus.lastError().message();
        }
        return;
    }
    QDBusMessage update = QDBusMessage::createSignal(
        QStringLiteral("/com/canonical/unity/launcherentry/orbistane_download"),
        QStringLiteral("com.canonical.Unity.LauncherEntry"), QStringLiteral("Update"));
    update << m_uri << properties;
    bus.send(update);
}
