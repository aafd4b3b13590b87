#include "desktop_double.h"

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>

#include <fcntl.h>
#include <poll.h>

namespace {

using Service = DesktopDouble::Service;

struct Place
{
    Service service;
    const char *name;
    const char *path;
    const char *release; // the method that ends an inhibitor
};
constexpr Place Places[] = {
    {Service::Portal, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop", "Close"},
    {Service::GnomeSession, "org.gnome.SessionManager", "/org/gnome/SessionManager", "Uninhibit"},
    {Service::PowerManagement, "org.freedesktop.PowerManagement",
     "/org/freedesktop/PowerManagement/Inhibit", "UnInhibit"},
    {Service::Logind, "org.freedesktop.login1", "/org/freedesktop/login1", ""},
};
const QString RequestPath = QStringLiteral("/org/freedesktop/portal/desktop/request/t");

} // namespace

class DesktopDouble::Object final : public QDBusVirtualObject
{
public:
    Object(DesktopDouble &owner, Service service) : m_owner(owner), m_service(service) {}
    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &) override
    {
        return m_owner.handle(m_service, message);
    }

private:
    DesktopDouble &m_owner;
    Service m_service;
};

DesktopDouble::DesktopDouble(const QHash<Service, Answer> &answers)
    : m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                          QStringLiteral("double %1").arg(quintptr(this)))),
      m_answers(answers)
{
    for (const Place &place : Places) {
        if (answers.value(place.service) != Answer::Absent) {
            m_objects.push_back(std::make_unique<Object>(*this, place.service));
            m_bus.registerVirtualObject(QLatin1String(place.path), m_objects.back().get(),
                                        QDBusConnection::SubPath);
            m_bus.registerService(QLatin1String(place.name));
        }
    }
    m_bus.connect({}, {}, QStringLiteral("com.canonical.Unity.LauncherEntry"),
                  QStringLiteral("Update"), this, SLOT(updated(QDBusMessage)));
}

DesktopDouble::~DesktopDouble()
{
    for (const Place &place : Places) {
        m_bus.unregisterService(QLatin1String(place.name));
        m_bus.unregisterObject(QLatin1String(place.path), QDBusConnection::UnregisterTree);
    }
    QDBusConnection::disconnectFromBus(m_bus.name());
}

QDBusConnection DesktopDouble::systemStandIn()
{
    return QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("system"));
}

void DesktopDouble::answerHeld()
{
    for (const QDBusMessage &reply : std::exchange(m_waiting, {})) {
        m_bus.send(reply);
    }
}

int DesktopDouble::held()
{
    for (const auto &[index, pipe] : m_pipes) {
        pollfd end{pipe.get(), POLLIN, 0};
        granted[index].released = ::poll(&end, 1, 0) == 1 && (end.revents & POLLHUP) != 0;
    }
    return int(std::count_if(granted.cbegin(), granted.cend(),
                             [](const Inhibitor &inhibitor) { return !inhibitor.released; }));
}

bool DesktopDouble::handle(Service service, const QDBusMessage &call)
{
    const QVariantList args = call.arguments();
    const QString member = call.member();
    if (member == QLatin1String("Inhibit")) {
        // What is held off and why: only suspend is granted.
        const QString reason =
            service == Service::Portal
                ? qdbus_cast<QVariantMap>(args.value(2)).value(QStringLiteral("reason")).toString()
                : args.value(service == Service::PowerManagement ? 1 : 2).toString();
        const bool suspend = service == Service::Portal         ? args.value(1).toUInt() == 4
                             : service == Service::GnomeSession ? args.value(3).toUInt() == 4
                             : service == Service::Logind
                                 ? args.value(0) == "sleep" && args.value(3) == "block"
                                 : args.size() == 2;
        // logind listens on the system bus, which the stand-in connection plays.
        const bool rightBus = service != Service::Logind ||
                              call.service() == systemStandIn().baseService();
        if (!suspend || !rightBus || m_answers.value(service) == Answer::Refuses) {
            m_bus.send(call.createErrorReply(QDBusError::AccessDenied, QStringLiteral("No")));
            return true;
        }
        const qsizetype index = granted.size();
        granted.append({service, reason});
        QVariant handed = uint(index + 1);
        if (service == Service::Portal) {
            handed = QVariant::fromValue(QDBusObjectPath(RequestPath + QString::number(index)));
        } else if (service == Service::Logind) {
            int ends[2];
            if (::pipe2(ends, O_CLOEXEC) != 0) {
                qFatal("no pipe for logind's descriptor");
            }
            m_pipes.emplace(index, FileDescriptor(ends[0]));
            // The reply takes a copy; ours goes, so that the program's is the last.
            const FileDescriptor writeEnd(ends[1]);
            handed = QVariant::fromValue(QDBusUnixFileDescriptor(writeEnd.get()));
        }
        if (holdAnswers) {
            m_waiting.append(call.createReply(handed));
        } else {
            m_bus.send(call.createReply(handed));
        }
        return true;
    }
    if (member != QLatin1String(Places[int(service)].release)) {
        return false;
    }
    const qsizetype index = member == QLatin1String("Close")
                                ? call.path().mid(RequestPath.size()).toLongLong()
                                : qsizetype(args.value(0).toUInt()) - 1;
    if (index >= 0 && index < granted.size() && granted[index].service == service) {
        granted[index].released = true;
    }
    m_bus.send(call.createReply());
    return true;
}

void DesktopDouble::updated(const QDBusMessage &message)
{
    const QVariantList args = message.arguments();
    updates.append({args.value(0), qdbus_cast<QVariantMap>(args.value(1))});
}
