#include "server_list.h"

#include "runtime_error.h"

ServerList::ServerList(QStringList addresses) : m_addresses(std::move(addresses)) {}

bool ServerList::failed(const RuntimeError &failure)
{
    m_failures.append(failure.description());
    m_failureNumber = failure.number();
    if (m_current + 1 >= m_addresses.size()) {
        return false;
    }
    ++m_current;
    return true;
}

RuntimeError ServerList::report(const QString &what) const
{
    if (m_failures.size() == 1) {
        return {m_failureNumber, m_failures.constFirst()};
    }
    QString text = QStringLiteral("%1 could not be downloaded from any of its %2 servers:")
                       .arg(what)
                       .arg(m_failures.size());
    for (qsizetype i = 0; i < m_failures.size(); ++i) {
        // Each names its server, most in their own words already.
        const QString &reason = m_failures[i];
        const QString &address = m_addresses.value(i);
        text += QStringLiteral("\n%1. ").arg(i + 1) +
                (reason.contains(address) ? reason : address + QLatin1String(": ") + reason);
    }
    return {m_failureNumber, text};
}
