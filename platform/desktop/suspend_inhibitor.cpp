#include "suspend_inhibitor.h"

#include "diagnostics.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusUnixFileDescriptor>
#include <QVariantMap>

#include <fcntl.h>

namespace {

// Suspend among the portal's flags and GNOME's alike (logout 1, user switch 2,
// idle 8 are left alone).
constexpr uint SuspendFlag = 4;

const QString Portal = QStringLiteral("org.freedesktop.portal.Desktop");
const QString GnomeSession = QStringLiteral("org.gnome.SessionManager");
const QString PowerManagement = QStringLiteral("org.freedesktop.PowerManagement");
const QString PowerManagementPath = QStringLiteral("/org/freedesktop/PowerManagement/Inhibit");
const QString PowerManagementInterface = QStringLiteral("org.freedesktop.PowerManagement.Inhibit");

} // namespace

SuspendInhibitor::SuspendInhibitor(LazyBus::Opener session, LazyBus::Opener system,
                                   const QString &appId)
    : m_session(std::move(session)), m_system(std::move(system)), m_appId(appId)
{
}

SuspendInhibitor::~SuspendInhibitor()
{
    release();
}

void SuspendInhibitor::hold(const QString &reason)
{
    if (m_hold.phase != Phase::Off) {
        return;
    }
    m_hold = Hold{Phase::Asking, ++m_holds, reason, {}};
    ask(Way::Portal);
}

void SuspendInhibitor::release()
{
    if (m_hold.phase == Phase::Held) {
        qCInfo(lcDesktop).noquote()
            << "Suspend no longer held off through" << nameOf(m_hold.grant.way);
        end(std::move(m_hold.grant));
    }
    // An answer still to come belongs to no hold now: it is released on arrival.
    m_hold = Hold{};
}

void SuspendInhibitor::ask(Way way)
{
    QDBusMessage call;
    switch (way) {
    case Way::Portal:
        call = QDBusMessage::createMethodCall(
            Portal, QStringLiteral("/org/freedesktop/portal/desktop"),
            QStringLiteral("org.freedesktop.portal.Inhibit"), QStringLiteral("Inhibit"));
        call << QString() << SuspendFlag << QVariantMap{{QStringLiteral("reason"), m_hold.reason}};
        break;
    case Way::GnomeSession:
        call = QDBusMessage::createMethodCall(GnomeSession,
                                              QStringLiteral("/org/gnome/SessionManager"),
                                              GnomeSession, QStringLiteral("Inhibit"));
        call << m_appId << uint(0) << m_hold.reason << SuspendFlag;
        break;
    case Way::PowerManagement:
        call = QDBusMessage::createMethodCall(PowerManagement, PowerManagementPath,
                                              PowerManagementInterface, QStringLiteral("Inhibit"));
        call << m_appId << m_hold.reason;
        break;
    case Way::Logind:
        // Blocks sleep for as long as the descriptor it hands out stays open,
        // which the end of the process also closes.
        call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
        call << QStringLiteral("sleep") << m_appId << m_hold.reason << QStringLiteral("block");
        break;
    case Way::None:
        qCInfo(lcDesktop) << "Nothing holds off suspend: no service granted it";
        m_hold = Hold{};
        return;
    }
    QDBusConnection &bus = way == Way::Logind ? m_system.get() : m_session.get();
    if (!bus.isConnected()) {
        qCInfo(lcDesktop).noquote()
            << QStringLiteral("%1: no %2 bus (%3)")
                   .arg(nameOf(way),
                        way == Way::Logind ? QStringLiteral("system") : QStringLiteral("session"),
                        bus.lastError().message());
        ask(after(way));
        return;
    }
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, AnswerMsecs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, number = m_hold.number, way](QDBusPendingCallWatcher *finished) {
                finished->deleteLater();
                answered(number, way, *finished);
            });
}

void SuspendInhibitor::answered(quint64 number, Way way, const QDBusPendingCallWatcher &watcher)
{
    const bool current = number == m_hold.number && m_hold.phase == Phase::Asking;
    const QDBusMessage reply = watcher.reply();
    const QVariant value = reply.arguments().value(0);
    Grant grant{way, {}, 0, {}};
    bool granted = reply.type() == QDBusMessage::ReplyMessage;
    if (granted) {
        switch (way) {
        case Way::Portal:
            grant.request = qvariant_cast<QDBusObjectPath>(value);
            granted = !grant.request.path().isEmpty();
            break;
        case Way::GnomeSession:
        case Way::PowerManagement:
            granted = value.metaType() == QMetaType::fromType<uint>();
            grant.cookie = value.toUInt();
            break;
        case Way::Logind: {
            const auto descriptor = qvariant_cast<QDBusUnixFileDescriptor>(value);
            // A copy of our own: the reply's goes with the reply.
            if (descriptor.isValid()) {
                grant.descriptor.reset(fcntl(descriptor.fileDescriptor(), F_DUPFD_CLOEXEC, 3));
            }
            granted = grant.descriptor.isValid();
            break;
        }
        case Way::None:
            break;
        }
    }
    if (!granted) {
        if (current) {
            qCInfo(lcDesktop).noquote()
                << QStringLiteral("%1 did not hold off suspend: %2 %3")
                       .arg(nameOf(way), reply.errorName(), reply.errorMessage());
            ask(after(way));
        }
        return;
    }
    if (!current) {
        // Released, or held by another, while this was asked.
        end(std::move(grant));
        return;
    }
    qCInfo(lcDesktop).noquote() << "Suspend held off through" << nameOf(way);
    m_hold.phase = Phase::Held;
    m_hold.grant = std::move(grant);
}

void SuspendInhibitor::end(Grant grant)
{
    QDBusMessage call;
    switch (grant.way) {
    case Way::Portal:
        call = QDBusMessage::createMethodCall(Portal, grant.request.path(),
                                              QStringLiteral("org.freedesktop.portal.Request"),
                                              QStringLiteral("Close"));
        break;
    case Way::GnomeSession:
        call = QDBusMessage::createMethodCall(GnomeSession,
                                              QStringLiteral("/org/gnome/SessionManager"),
                                              GnomeSession, QStringLiteral("Uninhibit"));
        call << grant.cookie;
        break;
    case Way::PowerManagement:
        call = QDBusMessage::createMethodCall(PowerManagement, PowerManagementPath,
                                              PowerManagementInterface,
                                              QStringLiteral("UnInhibit"));
        call << grant.cookie;
        break;
    case Way::Logind: // its descriptor closes as this returns
    case Way::None:
        break;
    }
    // The answer changes nothing: a release that fails leaves nothing to do.
    if (call.type() == QDBusMessage::MethodCallMessage) {
        m_session.get().send(call);
    }
}

SuspendInhibitor::Way SuspendInhibitor::after(Way way)
{
    switch (way) {
    case Way::Portal:
        return Way::GnomeSession;
    case Way::GnomeSession:
        return Way::PowerManagement;
    case Way::PowerManagement:
        return Way::Logind;
    case Way::Logind:
    case Way::None:
        break;
    }
    return Way::None;
}

QString SuspendInhibitor::nameOf(Way way)
{
    switch (way) {
    case Way::Portal:
        return QStringLiteral("org.freedesktop.portal.Inhibit");
    case Way::GnomeSession:
        return GnomeSession;
    case Way::PowerManagement:
        return PowerManagementInterface;
    case Way::Logind:
        return QStringLiteral("org.freedesktop.login1.Manager.Inhibit");
    case Way::None:
        break;
    }
    return {};
}
