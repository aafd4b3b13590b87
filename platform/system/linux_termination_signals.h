#pragma once

#include <QObject>

#include <signal.h>

#include <array>
#include <optional>

class QSocketNotifier;

// Catches SIGTERM, SIGINT and SIGHUP while it lives and hands them to the event
// loop as received(), where the program may clean up as it likes: the handler
// itself only writes the signal's number to a socket, which is all that is safe
// there. The dispositions before it are back when it goes. One per process, as
// the dispositions are; a second one throws std::logic_error.
class LinuxTerminationSignals final : public QObject
{
    Q_OBJECT

public:
    static constexpr std::array<int, 3> Caught = {SIGTERM, SIGINT, SIGHUP};

    explicit LinuxTerminationSignals(QObject *parent = nullptr);
    ~LinuxTerminationSignals() override;
    LinuxTerminationSignals(const LinuxTerminationSignals &) = delete;
    LinuxTerminationSignals &operator=(const LinuxTerminationSignals &) = delete;

    // Stops catching: the dispositions before are back. Returns the first signal
    // caught but not yet received, which the caller must still act on.
    std::optional<int> restore();

signals:
    void received(int signalNumber);

private:
    void readSignals();

    // [0] is read here, [1] written by the handler.
    std::array<int, 2> m_socket = {-1, -1};
    std::array<struct sigaction, Caught.size()> m_previous = {};
    QSocketNotifier *m_notifier = nullptr;
    bool m_catching = false;
};
