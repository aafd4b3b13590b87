#pragma once

#include <QString>
#include <QStringList>

class RuntimeError;

// The servers one file is fetched from, tried in order, and why each that was
// left failed: the manifest over the download servers, a release over the
// manifest's server and its mirrors.
class ServerList
{
public:
    // addresses: the file's on each server, in the order they are tried.
    explicit ServerList(QStringList addresses = {});

    // The address the file is fetched from now.
    QString current() const { return m_addresses.value(m_current); }
    // 1 for the first server.
    int number() const { return static_cast<int>(m_current) + 1; }
    int size() const { return static_cast<int>(m_addresses.size()); }

    // Records why the current server failed and moves to the next: false when
    // none is left.
    bool failed(const RuntimeError &failure);
    // After the last server failed: each server with its reason, in the order
    // tried, under "what could not be downloaded from any of its N servers:";
    // with one server, its failure as it was.
    RuntimeError report(const QString &what) const;

private:
    QStringList m_addresses;
    qsizetype m_current = 0;
    QStringList m_failures;
    int m_failureNumber = 0;
};
