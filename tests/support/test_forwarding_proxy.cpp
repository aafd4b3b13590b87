#include "test_forwarding_proxy.h"

#include <QTcpSocket>
#include <QUrl>

TestForwardingProxy::TestForwardingProxy(QObject *parent) : QObject(parent)
{
    m_server.listen(QHostAddress::LocalHost);
    connect(&m_server, &QTcpServer::newConnection, this, &TestForwardingProxy::onNewConnection);
}

void TestForwardingProxy::requireCredentials(const QByteArray &userColonPassword)
{
    m_expectedAuthorization = userColonPassword.isEmpty() ? QByteArray()
                                                          : "Basic " + userColonPassword.toBase64();
}

quint16 TestForwardingProxy::port() const
{
    return m_server.serverPort();
}

void TestForwardingProxy::onNewConnection()
{
    while (QTcpSocket *client = m_server.nextPendingConnection()) {
        // One request per connection: the server is told to close after its
        // answer, and the client's connection closes with it.
        auto *head = new QByteArray;
        connect(client, &QTcpSocket::disconnected, client, [client, head] {
            delete head;
            client->deleteLater();
        });
        connect(client, &QTcpSocket::readyRead, this, [this, client, head] {
            if (client->property("forwarding").toBool()) {
                return; // the pipe below carries the rest
            }
            head->append(client->readAll());
            const qsizetype end = head->indexOf("\r\n\r\n");
            if (end < 0) {
                return;
            }
            QList<QByteArray> lines = head->left(end).split('\n');
            const QByteArray rest = head->mid(end + 4);
            const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
            Request request{requestLine.value(0), requestLine.value(1), {}};
            QList<QByteArray> forwarded;
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const QByteArray line = lines[i].trimmed();
                const QByteArray name = line.left(line.indexOf(':')).trimmed().toLower();
                if (name == "proxy-authorization") {
                    request.authorization = line.mid(line.indexOf(':') + 1).trimmed();
                } else if (name != "proxy-connection" && name != "connection" && !line.isEmpty()) {
                    forwarded.append(line);
                }
            }
            m_requests.append(request);
            client->setProperty("forwarding", true);

            if (!m_expectedAuthorization.isEmpty() &&
                request.authorization != m_expectedAuthorization) {
                client->write("HTTP/1.1 407 Proxy Authentication Required\r\n"
                              "Proxy-Authenticate: Basic realm=\"test proxy\"\r\n"
                              "Content-Length: 0\r\nConnection: close\r\n\r\n");
                client->disconnectFromHost();
                return;
            }
            // CONNECT names host:port and opens a tunnel; anything else is an
            // absolute address, passed on in origin form.
            const bool tunnel = request.method == "CONNECT";
            const QUrl target = QUrl::fromEncoded(tunnel ? "//" + request.target : request.target);
            auto *server = new QTcpSocket(client);
            QByteArray out = request.method + ' ' + target.path(QUrl::FullyEncoded).toUtf8() +
                             " HTTP/1.1\r\n";
            for (const QByteArray &line : forwarded) {
                out += line + "\r\n";
            }
            out += "Connection: close\r\n\r\n" + rest;
            connect(server, &QTcpSocket::connected, server, [server, client, out, rest, tunnel] {
                server->setProperty("reached", true);
                if (tunnel) {
                    client->write("HTTP/1.1 200 Connection established\r\n\r\n");
                    server->write(rest);
                } else {
                    server->write(out);
                }
            });
            connect(server, &QTcpSocket::readyRead, client,
                    [server, client] { client->write(server->readAll()); });
            connect(client, &QTcpSocket::readyRead, server,
                    [server, client] { server->write(client->readAll()); });
            connect(server, &QTcpSocket::disconnected, client, [server, client] {
                client->write(server->readAll());
                client->disconnectFromHost();
            });
            connect(server, &QTcpSocket::errorOccurred, client, [server, client] {
                if (server->property("reached").toBool()) {
                    return; // the server closing after its answer
                }
                client->write("HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n"
                              "Connection: close\r\n\r\n");
                client->disconnectFromHost();
            });
            server->connectToHost(target.host(), quint16(target.port(80)));
        });
    }
}
