#include "qt_transfer_control.h"

#include "byte_count.h"
#include "diagnostics.h"
#include "runtime_error.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkRequest>

#include <algorithm>
#include <optional>

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

struct ByteRange
{
    qint64 first = 0;
    qint64 last = 0;
    qint64 total = -1; // "*": not said
};

// "bytes first-last/total"
std::optional<ByteRange> parseContentRange(const QByteArray &value)
{
    const QByteArray text = value.trimmed();
    if (!text.startsWith("bytes ")) {
        return std::nullopt;
    }
    const QByteArray range = text.mid(6).trimmed();
    const qsizetype dash = range.indexOf('-');
    const qsizetype slash = range.indexOf('/');
    if (dash < 0 || slash < dash) {
        return std::nullopt;
    }
    const auto count = [](const QByteArray &digits) {
        return parseByteCount(QString::fromLatin1(digits));
    };
    const std::optional<qint64> first = count(range.left(dash));
    const std::optional<qint64> last = count(range.mid(dash + 1, slash - dash - 1));
    const QByteArray totalText = range.mid(slash + 1);
    const std::optional<qint64> total = count(totalText);
    if (!first || !last || *last < *first || (!total && totalText != "*") ||
        (total && *last >= *total)) {
        return std::nullopt;
    }
    return ByteRange{*first, *last, total.value_or(-1)};
}

} // namespace

QtTransferControl::QtTransferControl(const NetworkAccess &network,
                                     std::chrono::milliseconds timeout,
                                     std::chrono::milliseconds firstRetryDelay, QObject *parent)
    : TransferControl(parent), m_network(network), m_timeout(timeout),
      m_firstRetryDelay(firstRetryDelay)
{
    m_idle.setSingleShot(true);
    m_idle.setInterval(m_timeout);
    connect(&m_idle, &QTimer::timeout, this, &QtTransferControl::onIdleTimeout);
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &QtTransferControl::startAttempt);
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

    m_retry.stop();
    dropReply();
    ++m_request;
    m_address = address;
    m_url = url;
    m_head = verb == QLatin1String("HEAD");
    m_responseRaised = false;
    m_stateDelivered = false;
    m_gaveUp = false;
    m_retries = 0;
    m_attempts = 0;
    m_validator.clear();
    m_acceptsRanges = false;
    m_total = -1;
    m_bodyStart = 0;
    m_position = 0;
    m_chunkOffset = 0;
    m_furthest = 0;
    m_resumeFrom = 0;
    startAttempt();
}

void QtTransferControl::startAttempt()
{
    dropReply();
    ++m_attempts;
    m_executing = true;
    m_error.clear();
    m_replyDone = false;
    m_timedOut = false;
    m_bodyAccepted = false;
    m_attemptProgressed = false;
    m_expected = -1;
    m_handedOut = 0;
    m_handedOutAtIdleStart = 0;

    QNetworkRequest request = m_network.request(m_url);
    if (m_resumeFrom > 0) {
        // If-Range: should the file have changed, the whole new one comes
        // instead of a piece of it, so two versions are never joined.
        request.setRawHeader("Range", "bytes=" + QByteArray::number(m_resumeFrom) + '-');
        request.setRawHeader("If-Range", m_validator);
    }
    m_attemptClock.start();
    m_attemptLogged = false;
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
    if (m_head || !m_stateDelivered || (!m_reply && !m_gaveUp && !m_retry.isActive())) {
        throw RuntimeError(ErrorNumber::InvalidCall,
                           QStringLiteral("No response to read from %1").arg(m_address));
    }
    for (;;) {
        if (request != m_request) {
            throw RuntimeError(ErrorNumber::TransferFailed,
                               QStringLiteral("The transfer of %1 was cancelled").arg(m_address));
        }
        if (m_gaveUp) {
            throw RuntimeError(
                m_timedOut ? ErrorNumber::RequestTimedOut : ErrorNumber::TransferFailed, m_error);
        }
        if (m_reply && m_bodyAccepted) {
            if (m_reply->bytesAvailable() > 0) {
                // The idle timer is not restarted here: that costs more than the
                // read, and a timeout with unread data restarts it anyway.
                QByteArray chunk = m_reply->read(size);
                // Past what the answer announced: not a byte of it belongs to the file.
                if (m_expected >= 0 && m_handedOut + chunk.size() > m_expected) {
                    giveUp(QStringLiteral("%1 sent more than the %2 bytes it announced from "
                                          "byte %3 on")
                               .arg(m_address, QString::number(m_expected),
                                    QString::number(m_bodyStart)));
                    continue;
                }
                m_chunkOffset = m_position;
                m_handedOut += chunk.size();
                m_position += chunk.size();
                if (m_position > m_furthest) {
                    m_furthest = m_position;
                    m_retries = 0;
                    m_attemptProgressed = true;
                }
                return chunk;
            }
            if (m_replyDone) {
                if (!bodyBrokeOff()) {
                    m_chunkOffset = m_position;
                    return {};
                }
                // Everything that arrived is handed out: carry on from there.
                if (!retryLater()) {
                    if (m_error.isEmpty()) {
                        m_error = QStringLiteral("The transfer of %1 broke off after %2 of %3 "
                                                 "bytes")
                                      .arg(m_address, QString::number(m_position),
                                           QString::number(m_total));
                    }
                    giveUp(m_error + attemptsText());
                }
                continue;
            }
        }
        // The reader emptied the buffer: from now on the server is the one
        // behind, and its idle time starts now, not at the timer's last start
        // (which may be one time-out ago, while the reader was behind).
        if (m_handedOut != m_handedOutAtIdleStart) {
            m_handedOutAtIdleStart = m_handedOut;
            if (m_reply && !m_replyDone) {
                m_idle.start();
            }
        }
        // Serves events until one arrives, then looks again: more data, the
        // end, a timer or a Cancel (a click on Cancel is handled from here).
        // Not a nested QEventLoop::exec: under the GLib dispatcher that can
        // leave timers, the idle timer included, waiting behind other sources
        // for as long as no posted event comes.
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

qint64 QtTransferControl::ChunkOffset() const
{
    return m_chunkOffset;
}

std::optional<RetryWait> QtTransferControl::PendingRetry() const
{
    if (!m_retry.isActive()) {
        return std::nullopt;
    }
    return RetryWait{m_retries, m_head ? ProbeAttempts - 1 : TransferRetries,
                     std::max(0, m_retry.remainingTime())};
}

void QtTransferControl::Cancel()
{
    ++m_request;
    m_retry.stop();
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
    if (!m_head && !m_bodyAccepted) {
        takeResponse();
    }
}

void QtTransferControl::takeResponse()
{
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 0 || (status >= 300 && status <= 399 && !m_replyDone) ||
        (status == 407 && !m_replyDone)) {
        // No headers yet, a redirect that is still being followed, or a proxy's
        // demand for credentials, which the end of the reply puts in its words.
        return;
    }
    if (m_responseRaised) {
        takeRetriedResponse(status);
        return;
    }
    if (!isSuccess(status)) {
        if (isTransient(status) && retryLater()) {
            return;
        }
        const QString reason =
            m_reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        fail(QStringLiteral("%1 answered HTTP %2 %3")
                 .arg(m_address, QString::number(status), reason)
                 .trimmed() +
             attemptsText());
        return;
    }
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    m_expected = length.isValid() ? length.toLongLong() : -1;
    m_total = m_expected;
    takeValidators();
    m_bodyAccepted = true;
    m_responseRaised = true;
    raise(TransferState::ResponseCompleted);
}

void QtTransferControl::takeRetriedResponse(int status)
{
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (status == 206) {
        const QByteArray field = m_reply->rawHeader("Content-Range");
        const std::optional<ByteRange> range = parseContentRange(field);
        if (!range || range->first != m_resumeFrom || (m_total >= 0 && range->total != m_total)) {
            giveUp(QStringLiteral("%1 sent the range \"%2\" when asked for the bytes from %3 on "
                                  "of a file of %4 bytes")
                       .arg(m_address, QString::fromLatin1(field), QString::number(m_resumeFrom),
                            QString::number(m_total)));
            return;
        }
        m_bodyStart = range->first;
        m_expected = range->last - range->first + 1;
        if (length.isValid() && length.toLongLong() != m_expected) {
            giveUp(QStringLiteral("%1 sent %2 bytes for the range \"%3\"")
                       .arg(m_address, QString::number(length.toLongLong()),
                            QString::fromLatin1(field)));
            return;
        }
        // The first answer may not have said; the file's end is known from here on.
        if (m_total < 0) {
            m_total = range->total;
        }
        m_bodyAccepted = true;
        return;
    }
    if (status == 200) {
        // The file changed since, or the server does not serve pieces: the
        // whole of it comes again, and what was received is thrown away.
        qCInfo(lcDownload).noquote()
            << QStringLiteral("%1 sent the whole file when asked for the bytes from %2 on: "
                              "starting again from the first byte")
                   .arg(m_address)
                   .arg(m_resumeFrom);
        m_bodyStart = 0;
        m_position = 0;
        m_expected = length.isValid() ? length.toLongLong() : -1;
        m_total = m_expected;
        takeValidators();
        m_bodyAccepted = true;
        return;
    }
    if (isTransient(status) && retryLater()) {
        return;
    }
    const QString reason =
        m_reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
    giveUp(QStringLiteral("%1 answered HTTP %2 %3 when asked for the bytes from %4 on")
               .arg(m_address, QString::number(status), reason, QString::number(m_resumeFrom)) +
           attemptsText());
}

void QtTransferControl::takeValidators()
{
    m_acceptsRanges = m_reply->rawHeader("Accept-Ranges").trimmed().toLower() == "bytes";
    // A weak ETag may stand for other bytes: it cannot vouch for a piece.
    const QByteArray etag = m_reply->rawHeader("ETag").trimmed();
    m_validator = !etag.isEmpty() && !etag.startsWith("W/")
                      ? etag
                      : m_reply->rawHeader("Last-Modified").trimmed();
}

void QtTransferControl::onFinished()
{
    m_idle.stop();
    m_replyDone = true;
    logAttempt();
    const QNetworkReply::NetworkError error = m_reply->error();
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool refused = !NetworkAccess::refusal(*m_reply, m_address).isEmpty();
    const bool transientError = !refused && (m_timedOut || NetworkAccess::mayPass(error, status));
    // A proxy that wants credentials answers 407 for the server: that status
    // is the proxy's, not the server's.
    const bool proxyFailed = !m_network.proxyFailure(*m_reply, m_address).isEmpty();

    if (m_head) {
        // A HEAD that got any answer has its headers; only no answer, or one
        // refused for its security, is an error.
        if (((status == 0 && transientError) || isTransient(status)) && retryLater()) {
            return;
        }
        if (status == 0 || refused || proxyFailed) {
            fail(failureText());
            return;
        }
        m_responseRaised = true;
        raise(TransferState::ResponseCompleted);
        return;
    }

    if (!m_bodyAccepted) {
        if (status != 0 && !proxyFailed && (error == QNetworkReply::NoError || status >= 400)) {
            takeResponse();
            settle();
            return;
        }
        if (transientError && retryLater()) {
            return;
        }
        if (m_responseRaised) {
            giveUp(failureText());
        } else {
            fail(failureText());
        }
        return;
    }

    // The body was under way: GetChunk hands out the bytes that did arrive,
    // then carries on or reports what went wrong.
    if (m_timedOut) {
        m_error = QStringLiteral("No data from %1 for %2 seconds").arg(m_address, seconds());
    } else if (error != QNetworkReply::NoError) {
        m_error = QStringLiteral("The transfer of %1 broke off: %2")
                      .arg(m_address, m_reply->errorString());
    }
    settle();
}

bool QtTransferControl::bodyBrokeOff() const
{
    // Short of the file's announced end is short, whatever a piece said of itself.
    return !m_error.isEmpty() || (m_expected >= 0 && m_handedOut < m_expected) ||
           (m_total >= 0 && m_position < m_total);
}

bool QtTransferControl::isTransient(int status) const
{
    return NetworkAccess::mayPass(QNetworkReply::NoError, status);
}

bool QtTransferControl::retryLater()
{
    std::chrono::milliseconds delay{0};
    if (!m_attemptProgressed) {
        const int allowed = m_head ? ProbeAttempts - 1 : TransferRetries;
        if (m_retries >= allowed) {
            return false;
        }
        ++m_retries;
        delay = m_firstRetryDelay * (1 << (m_retries - 1));
    }
    // else a connection that broke after bringing new bytes: carry on at
    // once, as the dropped connection says nothing about the next one.
    if (m_reply) {
        if (const auto asked = NetworkAccess::retryAfter(*m_reply)) {
            delay = std::max(delay, std::min<std::chrono::milliseconds>(*asked, MaxRetryAfter));
        }
    }
    // From where the reader is, when the server can tell that the piece asked
    // for belongs to the same file; else from the first byte.
    m_resumeFrom = !m_head && m_acceptsRanges && !m_validator.isEmpty() ? m_position : 0;
    if (m_attemptProgressed) {
        qCInfo(lcDownload).noquote()
            << QStringLiteral("%1 broke off after new bytes: asking again at once, from byte %2")
                   .arg(m_address)
                   .arg(m_resumeFrom);
    } else {
        qCInfo(lcDownload).noquote() << QStringLiteral("%1: retry %2 of %3 in %4 ms, from byte %5")
                                            .arg(m_address)
                                            .arg(m_retries)
                                            .arg(m_head ? ProbeAttempts - 1 : TransferRetries)
                                            .arg(delay.count())
                                            .arg(m_resumeFrom);
    }
    dropReply(false);
    m_retry.start(delay);
    return true;
}

void QtTransferControl::giveUp(const QString &description)
{
    qCInfo(lcDownload).noquote() << "Giving up:" << description;
    m_gaveUp = true;
    m_error = description;
    m_replyDone = true;
    dropReply(false);
    settle();
}

QString QtTransferControl::failureText() const
{
    if (QString refusal = NetworkAccess::refusal(*m_reply, m_address); !refusal.isEmpty()) {
        return refusal;
    }
    if (const QString proxy = m_network.proxyFailure(*m_reply, m_address); !proxy.isEmpty()) {
        return proxy + attemptsText();
    }
    if (m_timedOut) {
        return QStringLiteral("No answer from %1 within %2 seconds").arg(m_address, seconds()) +
               attemptsText();
    }
    return QStringLiteral("No answer from %1: %2").arg(m_address, m_reply->errorString()) +
           attemptsText();
}

QString QtTransferControl::attemptsText() const
{
    if (m_attempts < 2) {
        return {};
    }
    return QStringLiteral(" (%1 attempts)").arg(m_attempts);
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
    qCInfo(lcDownload).noquote() << "Failed:" << description;
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
    // A reply stopped before it finished gets its line here.
    logAttempt();
    m_reply.reset();
}

void QtTransferControl::logAttempt()
{
    if (m_attemptLogged) {
        return;
    }
    m_attemptLogged = true;
    m_network.logRequest(*m_reply, m_handedOut + m_reply->bytesAvailable(),
                         m_attemptClock.elapsed(), m_attempts);
}

void QtTransferControl::raise(int state)
{
    // Queued: the receiver of state 12 reads the whole body from inside its
    // handler, with event loops of its own, so it must not run inside the
    // reply's signal emission. A timer, not a posted event: loops nested in the
    // delivery of a posted event left the network thread's later events stuck
    // in the queue until some unrelated event came along.
    const quint64 request = m_request;
    QTimer::singleShot(1, this, [this, request, state] {
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
    if (m_replyDone && m_stateDelivered && !m_retry.isActive()) {
        m_executing = false;
    }
}

QString QtTransferControl::seconds() const
{
    return QString::number(m_timeout.count() / 1000.0);
}
