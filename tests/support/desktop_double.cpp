#include "desktop_double.h"

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

struct Place
{
    QString name;
    QString path;
};

Place placeOf(DesktopDouble::Service service)
{
    switch (service) {
    case DesktopDouble::Service::Portal:
        return {QStringLiteral("org.freedesktop.portal.Desktop"),
                QStringLiteral("/org/freedesktop/portal/desktop")};
    case DesktopDouble::Service::GnomeSession:
        return {QStringLiteral("org.gnome.SessionManager"),
                QStringLiteral("/org/gnome/SessionManager")};
    case DesktopDouble::Service::PowerManagement:
        return {QStringLiteral("org.freedesktop.PowerManagement"),
                QStringLiteral("/org/freedesktop/PowerManagement/Inhibit")};
    case DesktopDouble::Service::Logind:
        break;
    }
    return {QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1")};
}

const QString RequestPath = QStringLiteral("/org/freedesktop/portal/desktop/request/t");

int connections = 0;

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
                                          QStringLiteral("desktop double %1").arg(++connections)))
{
    for (const Service service :
         {Service::Portal, Service::GnomeSession, Service::PowerManagement, Service::Logind}) {
        const Answer answer = answers.value(service, Answer::Grants);
        if (answer == Answer::Absent) {
            continue;
        }
        const Place place = placeOf(service);
        auto object = std::make_unique<Object>(*this, service);
        m_bus.registerVirtualObject(place.path, object.get(), QDBusConnection::SubPath);
        m_bus.registerService(place.name);
        m_objects.push_back(std::move(object));
        if (answer == Answer::Refuses) {
            m_refusing.insert(service);
        }
    }
    m_bus.connect(QString(), QString(), QStringLiteral("com.canonical.Unity.LauncherEntry"),
                  QStringLiteral("Update"), this, SLOT(updated(QDBusMessage)));
}

DesktopDouble::~DesktopDouble()
{
    // Free for the next test's double.
    for (const Service service :
         {Service::Portal, Service::GnomeSession, Service::PowerManagement, Service::Logind}) {
        const Place place = placeOf(service);
        m_bus.unregisterService(place.name);
        m_bus.unregisterObject(place.path, QDBusConnection::UnregisterTree);
    }
    QDBusConnection::disconnectFromBus(m_bus.name());
}

QDBusConnection DesktopDouble::systemStandIn()
{
    return QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                         QStringLiteral("system stand-in"));
}

void DesktopDouble::answerHeld()
{
    for (const QDBusMessage &reply : std::exchange(m_waiting, {})) {
        m_bus.send(reply);
    }
}

int DesktopDouble::held()
{
    int count = 0;
    for (qsizetype i = 0; i < granted.size(); ++i) {
        Inhibitor &inhibitor = granted[i];
        if (const auto pipe = m_pipes.find(i); pipe != m_pipes.end()) {
            pollfd end{pipe->second.get(), POLLIN, 0};
            inhibitor.released = ::poll(&end, 1, 0) == 1 && (end.revents & POLLHUP) != 0;
        }
        count += inhibitor.released ? 0 : 1;
    }
    return count;
}

bool DesktopDouble::handle(Service service, const QDBusMessage &call)
{
    const QList<QVariant> args = call.arguments();
    const QString member = call.member();
    if (member == QLatin1String("Close") || member == QLatin1String("Uninhibit") ||
        member == QLatin1String("UnInhibit")) {
        const qsizetype index = member == QLatin1String("Close")
                                    ? call.path().mid(RequestPath.size()).toInt()
                                    : qsizetype(args.value(0).toUInt()) - 1;
        if (index >= 0 && index < granted.size() && granted[index].service == service) {
            granted[index].released = true;
        }
        m_bus.send(call.createReply());
        return true;
    }
    if (member != QLatin1String("Inhibit")) {
        return false;
    }
    // What each asks to hold off, and why; only suspend is granted.
    bool suspend = false;
    QString reason;
    switch (service) {
    case Service::Portal:
        suspend = args.value(1).toUInt() == 4;
        reason = qdbus_cast<QVariantMap>(args.value(2)).value(QStringLiteral("reason")).toString();
        break;
    case Service::GnomeSession:
        suspend = args.value(3).toUInt() == 4;
        reason = args.value(2).toString();
        break;
    case Service::PowerManagement:
        suspend = args.size() == 2;
        reason = args.value(1).toString();
        break;
    case Service::Logind:
        suspend = args.value(0).toString() == QLatin1String("sleep") &&
                  args.value(3).toString() == QLatin1String("block");
        reason = args.value(2).toString();
        break;
    }
    if (!suspend || m_refusing.contains(service)) {
        m_bus.send(call.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"),
                                         QStringLiteral("Not granted")));
        return true;
    }
    const int index = int(granted.size());
    granted.append({service, reason});
    QDBusMessage reply;
    switch (service) {
    case Service::Portal:
        reply = call.createReply(
            QVariant::fromValue(QDBusObjectPath(RequestPath + QString::number(index))));
        break;
    case Service::GnomeSession:
    case Service::PowerManagement:
        reply = call.createReply(uint(index + 1));
        break;
    case Service::Logind: {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            qFatal("no pipe for logind's descriptor");
        }
        m_pipes.emplace(index, FileDescriptor(ends[0]));
        // The message holds its own copy; ours goes, so that the client's is the last.
        const FileDescriptor writeEnd(ends[1]);
        reply = call.createReply(QVariant::fromValue(QDBusUnixFileDescriptor(writeEnd.get())));
        break;
    }
    }
    if (holdAnswers) {
        m_waiting.append(reply);
    } else {
        m_bus.send(reply);
    }
    return true;
}

void DesktopDouble::updated(const QDBusMessage &message)
{
    updates.append({message.arguments().value(0).toString(),
                    qdbus_cast<QVariantMap>(message.arguments().value(1))});
}
