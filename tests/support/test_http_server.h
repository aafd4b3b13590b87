#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>

#include <memory>
#include <optional>

class QSslServer;

// An HTTP/1.1 server on 127.0.0.1 for tests, answering each request from a
// table of canned responses and able to misbehave on command; over TLS when
// given a certificate.
class TestHttpServer final : public QObject
{
    Q_OBJECT

public:
    struct Response
    {
        int status = 200;
        QByteArray reason = "OK";
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        // The Content-Length sent; the body's size when unset.
        std::optional<qint64> contentLength;
        bool sendContentLength = true;
        // Close the connection after this many body bytes, all of them sent:
        // the client gets exactly these, so where it stops is known.
        std::optional<qint64> dropAfter;
        // Send at most this many body bytes every 10 ms, for a steady rate.
        std::optional<qint64> bytesPerTick;
        // Stop sending (and keep the connection open) after this many body bytes.
        std::optional<qint64> stallAfter;
        // Wait this long before answering at all.
        int delayMs = 0;
        // Send the body again and again for as long as the client reads.
        bool endless = false;
        // Serve "Range: bytes=N-" and "bytes=N-M" with 206 and Accept-Ranges, honouring
        // If-Range against the ETag or Last-Modified among headers.
        bool ranges = false;
        // Answers a range request instead, when set (a wrong 206, a 416 ...).
        std::shared_ptr<Response> rangeAnswer;
        // Close the connection when the body reaches each of these offsets in
        // the file, once each, whichever request the bytes go out with.
        QList<qint64> dropAt;
        // Replaces this response once a GET was answered with it.
        std::shared_ptr<Response> then;
    };

    struct Request
    {
        QByteArray method;
        QByteArray path;
        QHash<QByteArray, QByteArray> headers; // names in lower case
    };

    explicit TestHttpServer(QObject *parent = nullptr);
    // On another loopback address (127.0.0.2 ...), which a client takes for another host.
    explicit TestHttpServer(const QHostAddress &address, QObject *parent = nullptr);
    // Speaks https only, presenting certificate, whose private key is key.
    TestHttpServer(const QSslCertificate &certificate, const QSslKey &key,
                   QObject *parent = nullptr);

    // Connections from now on are presented this certificate instead; https only.
    void setCertificate(const QSslCertificate &certificate, const QSslKey &key);

    // Serves response at path (starting with "/"); "HEAD" gets its headers only.
    void serve(const QByteArray &path, const Response &response);
    // Serves response for HEAD requests only; GET keeps the other one.
    void serveHead(const QByteArray &path, const Response &response);

    // Stops accepting connections: later requests are refused.
    void close();

    quint16 port() const;
    QString baseUrl() const; // "http://127.0.0.1:port/", or https
    const QList<Request> &requests() const { return m_requests; }
    // The requests taken with this method for this path; any when empty.
    int requestCount(const QByteArray &method, const QByteArray &path = {}) const;
    // Every byte written to the clients so far, headers included.
    qint64 bytesSent() const { return m_bytesSent; }
    // Connections accepted and not yet closed, by either side.
    int openConnections() const;

    static Response ok(const QByteArray &body);
    static Response status(int code, const QByteArray &reason, const QByteArray &body = {});

private:
    void onNewConnection();
    void answer(QTcpSocket *socket, const Request &request);
    void send(QTcpSocket *socket, const Request &request, const Response &response);
    // What a GET gets of stored: a piece of it for a range request, cut at
    // its next drop point, which is used up; then stored becomes its next.
    Response piece(const Request &request, Response &stored);
    Response cut(const Request &request, Response &stored);

    // A QSslServer when speaking https, with m_tls pointing at it.
    std::unique_ptr<QTcpServer> m_server;
    QSslServer *m_tls = nullptr;
    QString m_host = QStringLiteral("127.0.0.1");
    QHash<QByteArray, Response> m_responses;
    QHash<QByteArray, Response> m_headResponses;
    QList<Request> m_requests;
    qint64 m_bytesSent = 0;
};
