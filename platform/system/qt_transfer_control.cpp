#include "qt_transfer_control.h"

#include "diagnostics.h"
#include "failure_texts.h"
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

bool statusMayPass(int status)
{
    return NetRules::mayPass(QNetworkReply::NoError, status);
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
    const QString verb = operation.trimmed().section(QLatin1Char(' '), 0, 0).toUpper();
    if (verb != QLatin1String("HEAD") && verb != QLatin1String("GET")) {
        throwIfExecuting();
        throw RuntimeError(ErrorNumber::InvalidCall,
                           QStringLiteral("Unknown operation \"%1\"").arg(operation));
    }
    begin(address, verb == QLatin1String("HEAD"), 0);
}

void QtTransferControl::ExecuteFrom(const QString &address, qint64 offset)
{
    begin(address, false, std::max<qint64>(offset, 0));
}

void QtTransferControl::throwIfExecuting() const
{
    if (StillExecuting()) {
        throw RuntimeError(
            ErrorNumber::StillExecuting,
            QStringLiteral("Still executing last request (%1)").arg(m_request.address));
    }
}

void QtTransferControl::begin(const QString &address, bool head, qint64 from)
{
    throwIfExecuting();
    const QUrl url = urlOf(address);
    const QString scheme = url.scheme();
    if (!url.isValid() || url.host().isEmpty() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        throw RuntimeError(ErrorNumber::InvalidCall,
                           QStringLiteral("Invalid address \"%1\"").arg(address));
    }

    m_retry.stop();
    dropReply();
    ++m_generation;
    m_request = Request{address,
                        url,
                        head,
                        head ? NetRules::RetrySchedule::probe(m_firstRetryDelay)
                             : NetRules::RetrySchedule::transfer(m_firstRetryDelay),
                        {},
                        from,
                        from};
    m_request.file.position = from;
    m_request.file.furthest = from;
    m_request.file.resumeFrom = from;
    m_phase = Phase::Asking;
    startAttempt();
}

void QtTransferControl::startAttempt()
{
    dropReply();
    m_request.schedule.attemptStarted();
    m_attempt = Attempt();
    if (m_phase == Phase::Settled) {
        m_phase = Phase::Reading;
    }

    QNetworkRequest request = m_network.request(m_request.url);
    if (const qint64 from = m_request.file.resumeFrom; from > 0) {
        // If-Range: should the file have changed, the whole new one comes
        // instead of a piece of it, so two versions are never joined.
        request.setRawHeader("Range", "bytes=" + QByteArray::number(from) + '-');
        // None yet when another server's bytes are carried on: the caller checks.
        if (!m_request.file.validator.isEmpty()) {
            request.setRawHeader("If-Range", m_request.file.validator);
        }
    }
    m_attempt.clock.start();
    m_reply.reset(m_request.head ? m_network.head(request) : m_network.get(request));
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
    return m_phase == Phase::Asking || m_phase == Phase::Answered || m_phase == Phase::Reading;
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
    const quint64 generation = m_generation;
    if (m_request.head || !stateDelivered() ||
        (!m_reply && m_phase != Phase::GaveUp && !m_retry.isActive())) {
        throw RuntimeError(ErrorNumber::InvalidCall,
                           QStringLiteral("No response to read from %1").arg(m_request.address));
    }
    NetRules::ResumeState &file = m_request.file;
    for (;;) {
        if (generation != m_generation) {
            throw RuntimeError(
                ErrorNumber::TransferFailed,
                QStringLiteral("The transfer of %1 was cancelled").arg(m_request.address));
        }
        if (m_phase == Phase::GaveUp) {
            throw RuntimeError(m_attempt.timedOut ? ErrorNumber::RequestTimedOut
                                                  : ErrorNumber::TransferFailed,
                               m_attempt.error);
        }
        if (m_reply && m_attempt.bodyAccepted) {
            if (m_reply->bytesAvailable() > 0) {
                // The idle timer is not restarted here: that costs more than the
                // read, and a timeout with unread data restarts it anyway.
                QByteArray chunk = m_reply->read(size);
                // Past what the answer announced: not a byte of it belongs to the file.
                if (m_attempt.expected >= 0 &&
                    m_attempt.handedOut + chunk.size() > m_attempt.expected) {
                    giveUp(FailureTexts::sentMoreThanAnnounced(
                        m_request.address, m_attempt.expected, m_attempt.bodyStart));
                    continue;
                }
                m_request.chunkOffset = file.position;
                m_attempt.handedOut += chunk.size();
                if (file.advance(chunk.size())) {
                    m_request.schedule.progressed();
                }
                return chunk;
            }
            if (m_attempt.done) {
                if (!NetRules::bodyBrokeOff(!m_attempt.error.isEmpty(), m_attempt.expected,
                                            m_attempt.handedOut, file)) {
                    m_request.chunkOffset = file.position;
                    return {};
                }
                // Everything that arrived is handed out: carry on from there.
                if (!retryLater()) {
                    if (m_attempt.error.isEmpty()) {
                        m_attempt.error = FailureTexts::transferBrokeOffAfter(
                            m_request.address, file.position, file.total);
                    }
                    giveUp(m_attempt.error + attemptsText());
                }
                continue;
            }
        }
        // The reader emptied the buffer: from now on the server is the one
        // behind, and its idle time starts now, not at the timer's last start
        // (which may be one time-out ago, while the reader was behind).
        if (m_attempt.handedOut != m_attempt.handedOutAtIdleStart) {
            m_attempt.handedOutAtIdleStart = m_attempt.handedOut;
            if (m_reply && !m_attempt.done) {
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
    return m_request.chunkOffset;
}

std::optional<RetryWait> QtTransferControl::PendingRetry() const
{
    if (!m_retry.isActive()) {
        return std::nullopt;
    }
    return RetryWait{m_request.schedule.retry(), m_request.schedule.maxRetries(),
                     std::max(0, m_retry.remainingTime())};
}

void QtTransferControl::Cancel()
{
    ++m_generation;
    m_retry.stop();
    dropReply();
    if (m_phase != Phase::GaveUp) {
        m_phase = Phase::Idle;
    }
}

QString QtTransferControl::errorDescription() const
{
    return m_attempt.error;
}

void QtTransferControl::onMetaDataChanged()
{
    m_idle.start();
    if (!m_request.head && !m_attempt.bodyAccepted) {
        takeResponse();
    }
}

void QtTransferControl::takeResponse()
{
    const NetRules::Answer answer = NetworkAccess::answerOf(*m_reply);
    const int status = answer.status;
    if (status == 0 || (status >= 300 && status <= 399 && !m_attempt.done) ||
        (status == 407 && !m_attempt.done)) {
        // No headers yet, a redirect that is still being followed, or a proxy's
        // demand for credentials, which the end of the reply puts in its words.
        return;
    }
    // A piece asked for: of a retry, or the first answer to ExecuteFrom.
    if (m_phase != Phase::Asking || m_request.file.resumeFrom > 0) {
        takePiece(answer);
        return;
    }
    if (!isSuccess(status)) {
        if (statusMayPass(status) && retryLater()) {
            return;
        }
        fail(FailureTexts::answeredHttp(m_request.address, status, answer.reason) + attemptsText());
        return;
    }
    m_attempt.expected = m_request.file.takeWholeFile(answer);
    m_attempt.bodyAccepted = true;
    raise(TransferState::ResponseCompleted);
}

void QtTransferControl::takePiece(const NetRules::Answer &answer)
{
    // The first answer to ExecuteFrom is the request's response; any other
    // continues a body already under way.
    const bool first = m_phase == Phase::Asking;
    const auto failWith = [this, first](const QString &text) { first ? fail(text) : giveUp(text); };
    const NetRules::RetriedAnswer judged = NetRules::judgeRetriedAnswer(m_request.file, answer,
                                                                        m_request.address);
    switch (judged.kind) {
    case NetRules::RetriedAnswer::Kind::CarryOn:
        m_attempt.bodyStart = judged.bodyStart;
        m_attempt.expected = judged.expected;
        m_request.file.total = judged.total;
        if (first) {
            // From here on this server's own validator vouches for its pieces.
            m_request.file.acceptsRanges = true;
            m_request.file.validator = NetRules::chooseValidator(answer.etag, answer.lastModified);
        }
        break;
    case NetRules::RetriedAnswer::Kind::StartAgain:
        // What was received is thrown away.
        qCInfo(lcDownload).noquote()
            << QStringLiteral("%1 sent the whole file when asked for the bytes from %2 on: "
                              "starting again from the first byte")
                   .arg(m_request.address)
                   .arg(m_request.file.resumeFrom);
        if (first) {
            m_request.file.resumeFrom = 0;
            m_request.file.furthest = 0;
        }
        m_attempt.bodyStart = 0;
        m_attempt.expected = m_request.file.takeWholeFile(answer);
        break;
    case NetRules::RetriedAnswer::Kind::Refuse:
        failWith(judged.text);
        return;
    case NetRules::RetriedAnswer::Kind::Failed:
        if (statusMayPass(answer.status) && retryLater()) {
            return;
        }
        failWith(judged.text + attemptsText());
        return;
    }
    m_attempt.bodyAccepted = true;
    if (first) {
        raise(TransferState::ResponseCompleted);
    }
}

void QtTransferControl::onFinished()
{
    m_idle.stop();
    m_attempt.done = true;
    logAttempt();
    const QNetworkReply::NetworkError error = m_reply->error();
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool refused = !NetworkAccess::refusal(*m_reply, m_request.address).isEmpty();
    const bool transientError = !refused &&
                                (m_attempt.timedOut || NetRules::mayPass(error, status));
    // A proxy that wants credentials answers 407 for the server: that status
    // is the proxy's, not the server's.
    const bool proxyFailed = !m_network.proxyFailure(*m_reply, m_request.address).isEmpty();

    if (m_request.head) {
        // A HEAD that got any answer has its headers; only no answer, or one
        // refused for its security, is an error.
        if (((status == 0 && transientError) || statusMayPass(status)) && retryLater()) {
            return;
        }
        if (status == 0 || refused || proxyFailed) {
            fail(failureText());
            return;
        }
        raise(TransferState::ResponseCompleted);
        return;
    }

    if (!m_attempt.bodyAccepted) {
        if (status != 0 && !proxyFailed && (error == QNetworkReply::NoError || status >= 400)) {
            takeResponse();
            settle();
            return;
        }
        if (transientError && retryLater()) {
            return;
        }
        if (m_phase != Phase::Asking) {
            giveUp(failureText());
        } else {
            fail(failureText());
        }
        return;
    }

    // The body was under way: GetChunk hands out the bytes that did arrive,
    // then carries on or reports what went wrong.
    if (m_attempt.timedOut) {
        m_attempt.error = FailureTexts::noDataFor(m_request.address, m_timeout);
    } else if (error != QNetworkReply::NoError) {
        m_attempt.error = FailureTexts::transferBrokeOff(m_request.address, m_reply->errorString());
    }
    settle();
}

bool QtTransferControl::retryLater()
{
    const NetRules::RetryDecision decision = m_request.schedule.afterFailure(
        m_reply ? NetworkAccess::retryAfter(*m_reply) : std::nullopt);
    if (!decision.retry) {
        return false;
    }
    // Until a server answers, the piece asked for first is asked for again.
    m_request.file.resumeFrom = m_request.head             ? 0
                                : m_phase == Phase::Asking ? m_request.firstByte
                                                           : m_request.file.nextStart();
    if (decision.afterProgress) {
        qCInfo(lcDownload).noquote()
            << QStringLiteral("%1 broke off after new bytes: asking again at once, from byte %2")
                   .arg(m_request.address)
                   .arg(m_request.file.resumeFrom);
    } else {
        qCInfo(lcDownload).noquote() << QStringLiteral("%1: retry %2 of %3 in %4 ms, from byte %5")
                                            .arg(m_request.address)
                                            .arg(m_request.schedule.retry())
                                            .arg(m_request.schedule.maxRetries())
                                            .arg(decision.delay.count())
                                            .arg(m_request.file.resumeFrom);
    }
    dropReply(false);
    m_retry.start(decision.delay);
    return true;
}

void QtTransferControl::giveUp(const QString &description)
{
    qCInfo(lcDownload).noquote() << "Giving up:" << description;
    m_phase = Phase::GaveUp;
    m_attempt.error = description;
    m_attempt.done = true;
    dropReply(false);
}

QString QtTransferControl::failureText() const
{
    if (QString refusal = NetworkAccess::refusal(*m_reply, m_request.address); !refusal.isEmpty()) {
        return refusal;
    }
    if (const QString proxy = m_network.proxyFailure(*m_reply, m_request.address);
        !proxy.isEmpty()) {
        return proxy + attemptsText();
    }
    if (m_attempt.timedOut) {
        return FailureTexts::noAnswerWithin(m_request.address, m_timeout) + attemptsText();
    }
    return FailureTexts::noAnswer(m_request.address, m_reply->errorString()) + attemptsText();
}

QString QtTransferControl::attemptsText() const
{
    return FailureTexts::attempts(m_request.schedule.attempts());
}

void QtTransferControl::onIdleTimeout()
{
    if (!m_reply || m_attempt.done) {
        return;
    }
    if (m_reply->bytesAvailable() > 0) {
        // The reader is behind, not the server: the buffer is full and waits.
        m_idle.start();
        return;
    }
    m_attempt.timedOut = true;
    m_reply->abort(); // finishes the reply, and onFinished says why
}

void QtTransferControl::fail(const QString &description)
{
    qCInfo(lcDownload).noquote() << "Failed:" << description;
    m_attempt.error = description;
    m_attempt.done = true;
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
    if (m_attempt.logged) {
        return;
    }
    m_attempt.logged = true;
    m_network.logRequest(*m_reply, m_attempt.handedOut + m_reply->bytesAvailable(),
                         m_attempt.clock.elapsed(), m_request.schedule.attempts());
}

void QtTransferControl::raise(int state)
{
    m_phase = Phase::Answered;
    // Queued: the receiver of state 12 reads the whole body from inside its
    // handler, with event loops of its own, so it must not run inside the
    // reply's signal emission. A timer, not a posted event: loops nested in the
    // delivery of a posted event left the network thread's later events stuck
    // in the queue until some unrelated event came along.
    const quint64 generation = m_generation;
    QTimer::singleShot(1, this, [this, generation, state] {
        if (generation != m_generation) {
            return;
        }
        if (m_phase == Phase::Answered) {
            m_phase = Phase::Reading;
        }
        emit StateChanged(state);
        if (generation == m_generation) {
            settle();
        }
    });
}

bool QtTransferControl::stateDelivered() const
{
    return m_phase == Phase::Reading || m_phase == Phase::Settled || m_phase == Phase::GaveUp;
}

void QtTransferControl::settle()
{
    // A request stays executing until its state was delivered and the reply is
    // done, so that the state always comes before StillExecuting reads false.
    if (m_phase == Phase::Reading && m_attempt.done && !m_retry.isActive()) {
        m_phase = Phase::Settled;
    }
}
