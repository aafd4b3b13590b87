#include "linux_termination_signals.h"

#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace {

// The end the handler writes to; -1 while nothing is caught. A signal may run
// the handler on any thread, so only a lock-free atomic will do.
std::atomic<int> handlerSocket{-1};
static_assert(std::atomic<int>::is_always_lock_free);

std::atomic<bool> instanceLives{false};

void onTerminationSignal(int signalNumber)
{
    // Nothing but async-signal-safe calls here, and errno as it was found: the
    // signal may have come in the middle of a call that is about to read it.
    const int savedErrno = errno;
    const char byte = static_cast<char>(signalNumber);
    // Never blocks; when the socket is full, signals are waiting already and
    // one more changes nothing.
    [[maybe_unused]] const ssize_t sent = ::send(handlerSocket.load(), &byte, 1,
                                                 MSG_DONTWAIT | MSG_NOSIGNAL);
    errno = savedErrno;
}

} // namespace

LinuxTerminationSignals::LinuxTerminationSignals(QObject *parent) : QObject(parent)
{
    if (instanceLives.exchange(true)) {
        throw std::logic_error("LinuxTerminationSignals: there is one already");
    }
    // Non-blocking, so that the handler never waits and the reader stops when the
    // socket is empty; close-on-exec, so that the installer started does not
    // inherit them.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, m_socket.data()) !=
        0) {
        const int error = errno;
        instanceLives = false;
        throw std::system_error(error, std::generic_category(),
                                "LinuxTerminationSignals: socketpair");
    }
    m_notifier = new QSocketNotifier(m_socket[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &LinuxTerminationSignals::readSignals);
    handlerSocket = m_socket[1];

    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    // A system call the signal interrupts goes on; the event loop takes over.
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < Caught.size(); ++i) {
        // Fails only for a signal that cannot be caught, and these can.
        ::sigaction(Caught[i], &action, &m_previous[i]);
    }
    m_catching = true;
}

LinuxTerminationSignals::~LinuxTerminationSignals()
{
    restore();
    delete m_notifier;
    ::close(m_socket[0]);
    ::close(m_socket[1]);
    instanceLives = false;
}

std::optional<int> LinuxTerminationSignals::restore()
{
    if (!m_catching) {
        return std::nullopt;
    }
    m_catching = false;
    for (std::size_t i = 0; i < Caught.size(); ++i) {
        ::sigaction(Caught[i], &m_previous[i], nullptr);
    }
    // The socket stays open until the destructor: a handler already running on
    // another thread may still write to it.
    handlerSocket = -1;
    m_notifier->setEnabled(false);
    char byte = 0;
    ssize_t count = 0;
    do {
        count = ::read(m_socket[0], &byte, 1);
    } while (count < 0 && errno == EINTR);
    if (count == 1) {
        return static_cast<unsigned char>(byte);
    }
    return std::nullopt;
}

void LinuxTerminationSignals::readSignals()
{
    char bytes[16];
    for (;;) {
        const ssize_t count = ::read(m_socket[0], bytes, sizeof bytes);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return;
        }
        for (ssize_t i = 0; i < count; ++i) {
            emit received(static_cast<unsigned char>(bytes[i]));
        }
    }
}
