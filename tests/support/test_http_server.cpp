#include "test_http_server.h"

#include <algorithm>

#include <QSslConfiguration>
#include <QSslServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <algorithm>

TestHttpServer::TestHttpServer(QObject *parent) : TestHttpServer(QHostAddress::LocalHost, parent) {}

TestHttpServer::TestHttpServer(const QHostAddress &address, QObject *parent)
    : QObject(parent), m_server(std::make_unique<QTcpServer>()), m_host(address.toString())
{
    m_server->listen(address, 0);
    connect(m_server.get(), &QTcpServer::newConnection, this, &TestHttpServer::onNewConnection);
}

TestHttpServer::TestHttpServer(const QSslCertificate &certificate, const QSslKey &key,
                               QObject *parent)
    : QObject(parent)
{
    auto server = std::make_unique<QSslServer>();
    m_tls = server.get();
    m_server = std::move(server);
    setCertificate(certificate, key);
    m_server->listen(QHostAddress::LocalHost, 0);
    // A QSslServer says newConnection at the accept, with nothing queued yet; it
    // queues the socket once its handshake succeeded, and says so with this
    // signal. A socket whose handshake failed never shows.
    connect(m_server.get(), &QTcpServer::pendingConnectionAvailable, this,
            &TestHttpServer::onNewConnection);
}

void TestHttpServer::setCertificate(const QSslCertificate &certificate, const QSslKey &key)
{
    if (!m_tls) {
        qFatal("TestHttpServer::setCertificate: this server speaks plain http");
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(certificate);
    configuration.setPrivateKey(key);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    m_tls->setSslConfiguration(configuration);
}

void TestHttpServer::serve(const QByteArray &path, const Response &response)
{
    m_responses.insert(path, response);
}

void TestHttpServer::serveHead(const QByteArray &path, const Response &response)
{
    m_headResponses.insert(path, response);
}

void TestHttpServer::close()
{
    m_server->close();
}

quint16 TestHttpServer::port() const
{
    return m_server->serverPort();
}

int TestHttpServer::requestCount(const QByteArray &method, const QByteArray &path) const
{
    return int(std::count_if(m_requests.cbegin(), m_requests.cend(), [&](const Request &request) {
        return (method.isEmpty() || request.method == method) &&
               (path.isEmpty() || request.path == path);
    }));
}

int TestHttpServer::openConnections() const
{
    // Accepted sockets are the server's children until deleted after closing.
    const QList<QTcpSocket *> sockets =
        m_server->findChildren<QTcpSocket *>(Qt::FindDirectChildrenOnly);
    return int(std::count_if(sockets.cbegin(), sockets.cend(), [](const QTcpSocket *socket) {
        return socket->state() != QAbstractSocket::UnconnectedState;
    }));
}

QString TestHttpServer::baseUrl() const
{
    return QStringLiteral("%1://%2:%3/")
        .arg(m_tls ? QLatin1String("https") : QLatin1String("http"), m_host)
        .arg(port());
}

TestHttpServer::Response TestHttpServer::ok(const QByteArray &body)
{
    Response response;
    response.body = body;
    return response;
}

TestHttpServer::Response TestHttpServer::status(int code, const QByteArray &reason,
                                                const QByteArray &body)
{
    Response response;
    response.status = code;
    response.reason = reason;
    response.body = body;
    return response;
}

void TestHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        auto *buffer = new QByteArray;
        connect(socket, &QTcpSocket::disconnected, socket, [socket, buffer] {
            delete buffer;
            socket->deleteLater();
        });
        connect(socket, &QTcpSocket::bytesWritten, this,
                [this](qint64 bytes) { m_bytesSent += bytes; });
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
            buffer->append(socket->readAll());
            const qsizetype end = buffer->indexOf("\r\n\r\n");
            if (end < 0) {
                return;
            }
            const QList<QByteArray> lines = buffer->left(end).split('\n');
            buffer->remove(0, end + 4);
            // One request per connection, as "Connection: close" says: a client
            // may still send another on it before it sees the close, and then
            // sends it again on a new one.
            if (socket->property("answered").toBool()) {
                return;
            }
            socket->setProperty("answered", true);
            Request request;
            const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
            request.method = requestLine.value(0);
            request.path = QUrl::fromPercentEncoding(requestLine.value(1)).toUtf8();
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const qsizetype colon = lines[i].indexOf(':');
                if (colon > 0) {
                    request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                           lines[i].mid(colon + 1).trimmed());
                }
            }
            m_requests.append(request);
            answer(socket, request);
        });
    }
}

void TestHttpServer::answer(QTcpSocket *socket, const Request &request)
{
    const bool head = request.method == "HEAD";
    Response response = status(404, "Not Found", "<html><body>Not Found</body></html>");
    if (head && m_headResponses.contains(request.path)) {
        response = m_headResponses.value(request.path);
    } else if (m_responses.contains(request.path)) {
        response = m_responses.value(request.path);
    }
    if (!head && m_responses.contains(request.path)) {
        response = piece(request, m_responses[request.path]);
    } else if (response.ranges) {
        response.headers.append({QByteArray("Accept-Ranges"), QByteArray("bytes")});
    }
    if (response.delayMs > 0) {
        QTimer::singleShot(response.delayMs, socket,
                           [this, socket, request, response] { send(socket, request, response); });
        return;
    }
    send(socket, request, response);
}

namespace {

QByteArray headerOf(const TestHttpServer::Response &response, const QByteArray &name)
{
    for (const auto &[key, value] : response.headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return {};
}

} // namespace

TestHttpServer::Response TestHttpServer::piece(const Request &request, Response &stored)
{
    Response response = cut(request, stored);
    if (stored.then) {
        stored = Response(*stored.then);
    }
    return response;
}

TestHttpServer::Response TestHttpServer::cut(const Request &request, Response &stored)
{
    Response response = stored;
    qint64 start = 0;
    if (response.ranges && response.status == 200) {
        response.headers.append({QByteArray("Accept-Ranges"), QByteArray("bytes")});
        const QByteArray range = request.headers.value("range");
        const QByteArray ifRange = request.headers.value("if-range");
        const bool sameFile = ifRange.isEmpty() || ifRange == headerOf(response, "ETag") ||
                              ifRange == headerOf(response, "Last-Modified");
        if (range.startsWith("bytes=") && sameFile) {
            if (response.rangeAnswer) {
                return *response.rangeAnswer;
            }
            const QList<QByteArray> ends = range.mid(6).split('-');
            start = ends.value(0).toLongLong();
            const qint64 size = response.body.size();
            if (start >= size) {
                return status(416, "Range Not Satisfiable");
            }
            const qint64 last = ends.value(1).isEmpty()
                                    ? size - 1
                                    : std::min(ends.value(1).toLongLong(), size - 1);
            response.status = 206;
            response.reason = "Partial Content";
            response.headers.append(
                {QByteArray("Content-Range"), "bytes " + QByteArray::number(start) + '-' +
                                                  QByteArray::number(last) + '/' +
                                                  QByteArray::number(size)});
            response.body = response.body.mid(start, last - start + 1);
        }
    }
    const auto point = std::find_if(stored.dropAt.cbegin(), stored.dropAt.cend(),
                                    [start](qint64 offset) { return offset > start; });
    if (point != stored.dropAt.cend()) {
        response.dropAfter = *point - start;
        stored.dropAt.erase(point);
    }
    return response;
}

void TestHttpServer::send(QTcpSocket *socket, const Request &request, const Response &response)
{
    const bool head = request.method == "HEAD";

    QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + response.reason +
                     "\r\nConnection: close\r\n";
    for (const auto &[name, value] : response.headers) {
        out += name + ": " + value + "\r\n";
    }
    if (response.sendContentLength) {
        out += "Content-Length: " +
               QByteArray::number(response.contentLength.value_or(response.body.size())) + "\r\n";
    }
    out += "\r\n";
    socket->write(out);
    if (head) {
        socket->disconnectFromHost();
        return;
    }
    if (response.stallAfter) {
        socket->write(response.body.left(*response.stallAfter));
        return;
    }
    if (response.dropAfter && !response.bytesPerTick) {
        socket->write(response.body.left(*response.dropAfter));
        socket->disconnectFromHost();
        return;
    }
    if (response.bytesPerTick) {
        const QByteArray body = response.dropAfter ? response.body.left(*response.dropAfter)
                                                   : response.body;
        auto *ticks = new QTimer(socket);
        connect(ticks, &QTimer::timeout, socket,
                [socket, ticks, body, step = *response.bytesPerTick, sent = qint64(0)]() mutable {
                    socket->write(body.mid(sent, step));
                    sent += step;
                    if (sent >= body.size()) {
                        ticks->stop();
                        socket->disconnectFromHost();
                    }
                });
        ticks->start(10);
        return;
    }
    if (response.endless && !response.body.isEmpty()) {
        // Topped up as the client takes it, so that memory stays bounded.
        const QByteArray body = response.body;
        socket->write(body);
        connect(socket, &QTcpSocket::bytesWritten, socket, [socket, body] {
            if (socket->bytesToWrite() < body.size()) {
                socket->write(body);
            }
        });
        return;
    }
    socket->write(response.body);
    socket->disconnectFromHost();
}
