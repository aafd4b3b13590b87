#pragma once

#include "file_descriptor.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVariantMap>

#include <map>
#include <memory>
#include <vector>

// The desktop's services on the test's session bus (the suite runs under
// dbus-run-session), served from a connection of their own: the four ways to
// hold off suspend, each granting, refusing or not there, and a listener to the
// taskbar entries' progress signals. A service refuses an inhibitor for
// anything but suspend, as a strict one would.
class DesktopDouble final : public QObject
{
    Q_OBJECT

public:
    enum class Service { Portal, GnomeSession, PowerManagement, Logind };
    enum class Answer { Grants, Refuses, Absent };

    // Every service grants unless told otherwise.
    explicit DesktopDouble(const QHash<Service, Answer> &answers = {});
    ~DesktopDouble() override;

    // Inhibit calls wait for answerHeld() instead of being answered at once.
    bool holdAnswers = false;
    void answerHeld();

    struct Inhibitor
    {
        Service service;
        QString reason;
        bool released = false;
    };
    // Every inhibitor granted, in order.
    QList<Inhibitor> granted;
    // Those granted and not released (logind's: while its descriptor is open).
    int held();

    struct Update
    {
        QString uri;
        QVariantMap properties;
    };
    QList<Update> updates;

    // A connection to the same bus, for the program to take as the system bus.
    static QDBusConnection systemStandIn();

private slots:
    void updated(const QDBusMessage &message);

private:
    class Object;
    friend class Object;
    bool handle(Service service, const QDBusMessage &call);

    QDBusConnection m_bus;
    std::vector<std::unique_ptr<Object>> m_objects;
    QSet<Service> m_refusing;
    QList<QDBusMessage> m_waiting;
    // logind's descriptors, our ends: a hang-up is the client's release.
    std::map<qsizetype, FileDescriptor> m_pipes;
    uint m_next = 1;
};
