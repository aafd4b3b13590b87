#include "qt_transfer_control.h"

#include "runtime_error.h"

#include <QCoreApplication>
#include <QNetworkRequest>
#include <QEventLoop>
#include <QUrl>

namespace {

// Everything after the host is path, taken literally: release names may hold
// blanks, "#", "?" or "%", and none of them means anything to the server.
QUrl urlOf(const QString &address)
{
    const qsizetype schemeEnd = address.indexOf(QLatin1String("://"));
    if (schemeEnd < 0) {
        return QUrl(address, QUrl::StrictMode);
    }
    const qsizetype pathStart = address.indexOf(QLatin1Char('/'), schemeEnd + 3);
    QUrl url(address.left(pathStart), QUrl::StrictMode);
    if (pathStart >= 0) {
        url.setPath(address.mid(pathStart), QUrl::DecodedMode);
    }
    return url;
}

bool isSuccess(int status)
{
    return status >= 200 && status <= 299;
}

} // namespace

QtTransferControl::QtTransferControl(const NetworkAccess &network,
                                     std::chrono::milliseconds timeout, QObject *parent)
    : TransferControl(parent), m_network(network), m_timeout(timeout)
{
    m_idle.setSingleShot(true);
    m_idle.setInterval(m_timeout);
    connect(&m_idle, &QTimer::timeout, this, &QtTransferControl::onIdleTimeout);
}

QtTransferControl::~QtTransferControl()
{
    dropReply();
}

void QtTransferControl::Execute(const QString &address, const QString &operation)
{
    if (m_executing) {
        throw RuntimeError(ErrorNumber::StillExecuting,
                           QStringLiteral("Still executing last request (%1)").arg(m_address));
    }
    const QString verb = operation.trimmed().section(QLatin1Char(' '), 0, 0).toUpper();
    if (verb != QLatin1String("HEAD") && verb != QLatin1String("GET")) {
        throw RuntimeError(ErrorNumber::InvalidCall,
                           QStringLiteral("Unknown operation \"%1\"").arg(operation));
    }
    const QUrl url = urlOf(address);
    const QString scheme = url.scheme();
    if (!url.isValid() || url.host().isEmpty() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        throw RuntimeError(ErrorNumber::InvalidCall,
                           QStringLiteral("Invalid address \"%1\"").arg(address));
    }

    dropReply();
    ++m_request;
    m_address = address;
    m_error.clear();
    m_head = verb == QLatin1String("HEAD");
    m_executing = true;
    m_responseRaised = false;
    m_stateDelivered = false;
    m_replyDone = false;
    m_timedOut = false;
    m_expected = -1;
    m_handedOut = 0;

    const QNetworkRequest request = m_network.request(url);
    m_reply.reset(m_head ? m_network.head(request) : m_network.get(request));
    m_reply->setReadBufferSize(ReadBufferBytes);

    QNetworkReply *reply = m_reply.get();
    connect(reply, &QNetworkReply::metaDataChanged, this, &QtTransferControl::onMetaDataChanged);
    connect(reply, &QNetworkReply::readyRead, &m_idle, qOverload<>(&QTimer::start));
    connect(reply, &QNetworkReply::redirected, &m_idle, qOverload<>(&QTimer::start));
    connect(reply, &QNetworkReply::finished, this, &QtTransferControl::onFinished);
    m_idle.start();
}

bool QtTransferControl::StillExecuting() const
{
    return m_executing;
}

QString QtTransferControl::GetHeader(const QString &name) const
{
    if (!m_reply) {
        return {};
    }
    return QString::fromLatin1(m_reply->rawHeader(name.toLatin1()));
}

int QtTransferControl::GetStatus() const
{
    if (!m_reply) {
        return 0;
    }
    return m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

QByteArray QtTransferControl::GetChunk(int size)
{
    const quint64 request = m_request;
    if (!m_reply || m_head || !m_stateDelivered) {
        throw RuntimeError(ErrorNumber::InvalidCall,
                           QStringLiteral("No response to read from %1").arg(m_address));
    }
    for (;;) {
        if (request != m_request || !m_reply) {
            throw RuntimeError(ErrorNumber::TransferFailed,
                               QStringLiteral("The transfer of %1 was cancelled").arg(m_address));
        }
        if (m_reply->bytesAvailable() > 0) {
            // The idle timer is not restarted here: that costs more than the
            // read, and a timeout with unread data restarts it anyway.
            QByteArray chunk = m_reply->read(size);
            m_handedOut += chunk.size();
            return chunk;
        }
        if (m_replyDone) {
            if (!m_error.isEmpty()) {
                throw RuntimeError(m_timedOut ? ErrorNumber::RequestTimedOut
                                              : ErrorNumber::TransferFailed,
                                   m_error);
            }
            if (m_expected >= 0 && m_handedOut < m_expected) {
                throw RuntimeError(ErrorNumber::TransferFailed,
                                   QStringLiteral("The transfer of %1 broke off after %2 of %3 "
                                                  "bytes")
                                       .arg(m_address, QString::number(m_handedOut),
                                            QString::number(m_expected)));
            }
            return {};
        }
        // Serves events until one arrives, then looks again: more data, the
        // end, the idle timer or a Cancel (a click on Cancel is handled from
        // here). Not a nested QEventLoop::exec: under the GLib dispatcher that
        // can leave timers, the idle timer included, waiting behind other
        // sources for as long as no posted event comes.
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

void QtTransferControl::Cancel()
{
    ++m_request;
    dropReply();
    m_executing = false;
}

QString QtTransferControl::errorDescription() const
{
    return m_error;
}

void QtTransferControl::onMetaDataChanged()
{
    m_idle.start();
    if (!m_head && !m_responseRaised) {
        takeResponse();
    }
}

void QtTransferControl::takeResponse()
{
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 0 || (status >= 300 && status <= 399 && !m_replyDone)) {
        // No headers yet, or a redirect that is still being followed.
        return;
    }
    if (!isSuccess(status)) {
        const QString reason =
            m_reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        fail(QStringLiteral("%1 answered HTTP %2 %3")
                 .arg(m_address, QString::number(status), reason)
                 .trimmed());
        return;
    }
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    m_expected = length.isValid() ? length.toLongLong() : -1;
    m_responseRaised = true;
    raise(TransferState::ResponseCompleted);
}

void QtTransferControl::onFinished()
{
    m_idle.stop();
    m_replyDone = true;
    const QNetworkReply::NetworkError error = m_reply->error();
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();

    if (m_head) {
        // A HEAD that got any answer has its headers; only no answer, or one
        // refused for its security, is an error.
        if (status == 0 || !NetworkAccess::refusal(*m_reply, m_address).isEmpty()) {
            fail(failureText());
            return;
        }
        m_responseRaised = true;
        raise(TransferState::ResponseCompleted);
        return;
    }

    if (!m_responseRaised) {
        if (status != 0 && (error == QNetworkReply::NoError || status >= 400)) {
            takeResponse();
            settle();
            return;
        }
        fail(failureText());
        return;
    }

    // The body was under way: GetChunk reports what went wrong once the bytes
    // that did arrive are handed out.
    if (m_timedOut) {
        m_error = QStringLiteral("No data from %1 for %2 seconds").arg(m_address, seconds());
    } else if (error != QNetworkReply::NoError) {
        m_error = QStringLiteral("The transfer of %1 broke off: %2")
                      .arg(m_address, m_reply->errorString());
    }
    settle();
}

QString QtTransferControl::failureText() const
{
    if (const QString refusal = NetworkAccess::refusal(*m_reply, m_address);
        !refusal.isEmpty()) {
        return refusal;
    }
    if (m_timedOut) {
        return QStringLiteral("No answer from %1 within %2 seconds").arg(m_address, seconds());
    }
    return QStringLiteral("No answer from %1: %2").arg(m_address, m_reply->errorString());
}

void QtTransferControl::onIdleTimeout()
{
    if (!m_reply || m_replyDone) {
        return;
    }
    if (m_reply->bytesAvailable() > 0) {
        // The reader is behind, not the server: the buffer is full and waits.
        m_idle.start();
        return;
    }
    m_timedOut = true;
    m_reply->abort(); // finishes the reply, and onFinished says why
}

void QtTransferControl::fail(const QString &description)
{
    m_error = description;
    m_replyDone = true;
    m_responseRaised = true;
    // Nothing of a failed request is handed out, not even an error page. Its
    // reply stops when deleted: aborting one that reports an error status
    // would make it record a second error.
    dropReply(false);
    raise(TransferState::Error);
}

void QtTransferControl::dropReply(bool abort)
{
    m_idle.stop();
    if (!m_reply) {
        return;
    }
    m_reply->disconnect(this);
    m_reply->disconnect(&m_idle);
    if (abort) {
        m_reply->abort();
    }
    m_reply.reset();
}

void QtTransferControl::raise(int state)
{
    // Queued: the receiver of state 12 reads the whole body from inside its
    // handler, with event loops of its own, so it must not run inside the
    // reply's signal emission. A timer, not a posted event: loops nested in the
    // delivery of a posted event left the network thread's later events stuck
    // in the queue until some unrelated event came along.
    const quint64 request = m_request;
    QTimer::singleShot(
        1, this,
        [this, request, state] {
            if (request != m_request) {
                return;
            }
            m_stateDelivered = true;
            emit StateChanged(state);
            if (request == m_request) {
                settle();
            }
        });
}

void QtTransferControl::settle()
{
    // A request stays executing until its state was delivered and the reply is
    // done, so that the state always comes before StillExecuting reads false.
    if (m_replyDone && m_stateDelivered) {
        m_executing = false;
    }
}

QString QtTransferControl::seconds() const
{
    return QString::number(m_timeout.count() / 1000.0);
}
