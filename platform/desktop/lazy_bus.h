#pragma once

#include <QDBusConnection>

#include <functional>
#include <optional>

// A bus connected when first used: a run that downloads nothing never connects,
// and the start of the program does not wait for it.
class LazyBus
{
public:
    using Opener = std::function<QDBusConnection()>;
    explicit LazyBus(Opener open) : m_open(std::move(open)) {}

    QDBusConnection &get()
    {
        if (!m_bus) {
            m_bus = m_open();
        }
        return *m_bus;
    }

private:
    Opener m_open;
    std::optional<QDBusConnection> m_bus;
};
