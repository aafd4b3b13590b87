#pragma once

#include "file_descriptor.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QVariantMap>

#include <map>
#include <memory>
#include <vector>

// The desktop's services on the suite's own session bus, on a connection of
// their own: the four ways to hold off suspend, each granting, refusing or not
// there, and a listener to the taskbar entries' progress. Like a strict
// service, each refuses an inhibitor of anything but suspend.
class DesktopDouble final : public QObject
{
    Q_OBJECT

public:
    enum class Service { Portal, GnomeSession, PowerManagement, Logind };
    enum class Answer { Grants, Refuses, Absent };

    explicit DesktopDouble(const QHash<Service, Answer> &answers = {});
    ~DesktopDouble() override;

    // Answers to Inhibit wait for answerHeld() while set.
    bool holdAnswers = false;
    void answerHeld();

    struct Inhibitor
    {
        Service service;
        QString reason;
        bool released = false;
    };
    QList<Inhibitor> granted;
    // Those granted and not released; logind's while its descriptor is open.
    int held();
    QList<QVariantList> updates; // the Update signals': the entry and the properties

    // Another connection to the same bus, for the program to take as the system's.
    static QDBusConnection systemStandIn();

private slots:
    void updated(const QDBusMessage &message);

private:
    class Object;
    bool handle(Service service, const QDBusMessage &call);

    QDBusConnection m_bus;
    QHash<Service, Answer> m_answers;
    std::vector<std::unique_ptr<Object>> m_objects;
    QList<QDBusMessage> m_waiting;
    std::map<qsizetype, FileDescriptor> m_pipes; // our ends of logind's descriptors
};
