#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpServer>

// An HTTP forwarding proxy on 127.0.0.1 for tests: it takes requests in
// absolute form ("GET http://host:port/path HTTP/1.1"), passes each on to its
// server on a connection of its own, opens tunnels for CONNECT (https), and
// keeps what it was asked. With credentials set it answers 407 to any request
// that does not carry them.
class TestForwardingProxy final : public QObject
{
    Q_OBJECT

public:
    struct Request
    {
        QByteArray method;
        QByteArray target;        // as sent: "http://127.0.0.1:port/path", "127.0.0.1:port"
        QByteArray authorization; // the Proxy-Authorization field, if any
    };

    explicit TestForwardingProxy(QObject *parent = nullptr);

    // "user:password", as Basic authentication carries it; empty: none asked.
    void requireCredentials(const QByteArray &userColonPassword);

    quint16 port() const;
    const QList<Request> &requests() const { return m_requests; }

private:
    void onNewConnection();

    QTcpServer m_server;
    QByteArray m_expectedAuthorization;
    QList<Request> m_requests;
};
