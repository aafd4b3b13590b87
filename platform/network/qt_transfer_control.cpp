#include "qt_transfer_control.h"

#include "addresses.h"
#include "diagnostics.h"
#include "failure_texts.h"
#include "runtime_error.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkRequest>

#include <algorithm>
#include <optional>

using NetRules::Verdict;

QtTransferControl::QtTransferControl(const NetworkAccess &network,
                                     std::chrono::milliseconds timeout,
                                     std::chrono::milliseconds firstRetryDelay, QObject *parent,
                                     qint64 minBytesPerSecond, std::chrono::milliseconds rateWindow)
    : TransferControl(parent), m_network(network), m_firstRetryDelay(firstRetryDelay),
      m_watch(timeout, minBytesPerSecond, rateWindow)
{
    m_limits.timeout = timeout;
    m_limits.minBytesPerSecond = minBytesPerSecond;
    m_limits.rateWindow = rateWindow;
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

void QtTransferControl::ExecuteFrom(const QString &address, qint64 offset,
                                    const QByteArray &validator)
{
    // Only a value a header can hold: it came from a file others may write.
    begin(address, false, std::max<qint64>(offset, 0),
          offset > 0 && NetRules::isHeaderValue(validator) ? validator : QByteArray());
}

void QtTransferControl::ExecutePieces(const QStringList &addresses, PieceSource &source)
{
    throwIfExecuting();
    m_retry.stop();
    dropReply();
    dropPieces();
    ++m_generation;
    NetRules::Asked asked = m_limits;
    m_request = Request{addresses.join(QStringLiteral(", ")),
                        {},
                        asked,
                        NetRules::RetrySchedule::transfer(m_firstRetryDelay),
                        {},
                        0};
    m_attempt = Attempt();
    m_phase = Phase::Asking;
    m_pieces.reset(new PieceFetch(
        m_network, asked, m_firstRetryDelay, addresses, source,
        [this] { raise(TransferState::ResponseCompleted); },
        [this] {
            m_attempt.error = m_pieces->error();
            m_attempt.errorNumber = ErrorNumber::TransferFailed;
            raise(TransferState::Error);
        }));
    m_pieces->start();
}

int QtTransferControl::ChunkServer() const
{
    return m_pieces ? m_pieces->chunkServer() : 0;
}

void QtTransferControl::dropPieces()
{
    if (m_pieces) {
        m_pieces->cancel();
        m_pieces.reset();
    }
}

void QtTransferControl::throwIfExecuting() const
{
    if (StillExecuting()) {
        throw RuntimeError(
            ErrorNumber::StillExecuting,
            QStringLiteral("Still executing last request (%1)").arg(m_request.address));
    }
}

void QtTransferControl::begin(const QString &address, bool head, qint64 from,
                              const QByteArray &validator)
{
    throwIfExecuting();
    const std::optional<QUrl> url = NetRules::requestUrl(address);
    if (!url) {
        throw RuntimeError(ErrorNumber::InvalidCall,
                           QStringLiteral("Invalid address \"%1\"").arg(address));
    }
    m_retry.stop();
    dropReply();
    dropPieces();
    ++m_generation;
    NetRules::Asked asked = m_limits;
    asked.head = head;
    m_request = Request{address,
                        *url,
                        asked,
                        head ? NetRules::RetrySchedule::probe(m_firstRetryDelay)
                             : NetRules::RetrySchedule::transfer(m_firstRetryDelay),
                        NetRules::ResumeState::from(from),
                        from};
    m_request.file.validator = validator;
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
    const NetRules::ResumeState &file = m_request.file;
    if (const QByteArray range = NetRules::rangeHeader(file.resumeFrom, file.last);
        !range.isEmpty()) {
        request.setRawHeader("Range", range);
        // Should the file have changed, the whole new one comes instead of a
        // piece of it, so two versions are never joined. None yet when another
        // server's bytes are carried on: the caller checks the whole.
        if (!file.validator.isEmpty()) {
            request.setRawHeader("If-Range", file.validator);
        }
    }
    m_attempt.clock.start();
    m_reply.reset(m_request.asked.head ? m_network.head(request) : m_network.get(request));
    m_reply->setReadBufferSize(ReadBufferBytes);
    QNetworkReply *reply = m_reply.get();
    connect(reply, &QNetworkReply::metaDataChanged, this, &QtTransferControl::onMetaDataChanged);
    connect(reply, &QNetworkReply::finished, this, &QtTransferControl::onFinished);
    m_watch.watch(reply, [this] { return m_attempt.handedOut + m_reply->bytesAvailable(); });
}

bool QtTransferControl::StillExecuting() const
{
    if (m_pieces) {
        return !m_pieces->isOver() || m_phase == Phase::Answered;
    }
    return m_phase == Phase::Asking || m_phase == Phase::Answered || m_phase == Phase::Reading;
}

QString QtTransferControl::GetHeader(const QString &name) const
{
    return m_reply ? QString::fromLatin1(m_reply->rawHeader(name.toLatin1())) : QString();
}

int QtTransferControl::GetStatus() const
{
    return m_reply ? m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() : 0;
}

QByteArray QtTransferControl::GetChunk(int size)
{
    if (m_pieces && stateDelivered()) {
        try {
            QByteArray chunk = m_pieces->next(size);
            if (chunk.isEmpty()) {
                m_phase = Phase::Settled;
            }
            return chunk;
        } catch (const RuntimeError &error) {
            m_attempt.error = error.description();
            m_phase = Phase::GaveUp;
            throw;
        }
    }
    const quint64 generation = m_generation;
    if (m_request.asked.head || !stateDelivered() ||
        (!m_reply && m_phase != Phase::GaveUp && !m_retry.isActive())) {
        throw RuntimeError(ErrorNumber::InvalidCall,
                           QStringLiteral("No response to read from %1").arg(m_request.address));
    }
    NetRules::ResumeState &file = m_request.file;
    for (;;) {
        if (generation != m_generation) {
            throw RuntimeError(ErrorNumber::TransferFailed,
                               FailureTexts::cancelled(m_request.address));
        }
        if (m_phase == Phase::GaveUp) {
            throw RuntimeError(m_attempt.errorNumber, m_attempt.error);
        }
        if (m_reply && m_attempt.bodyUnderWay) {
            if (m_reply->bytesAvailable() > 0) {
                QByteArray chunk = m_reply->read(size);
                if (const std::optional<Verdict> past =
                        NetRules::overrun(m_attempt.expected, m_attempt.handedOut, chunk.size(),
                                          m_attempt.bodyStart, m_request.address)) {
                    failWith(*past);
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
                NetRules::Seen end = m_attempt.end;
                end.bodyUnderWay = true;
                end.expected = m_attempt.expected;
                end.handedOut = m_attempt.handedOut;
                const Verdict verdict = NetRules::judge(end, m_request.asked, file,
                                                        m_request.address);
                if (verdict.action == Verdict::Action::Done) {
                    m_request.chunkOffset = file.position;
                    return {};
                }
                // Everything that arrived is handed out: carry on from there.
                if (verdict.action != Verdict::Action::Retry || !retryLater(verdict)) {
                    failWith(verdict);
                }
                continue;
            }
        }
        if (m_attempt.handedOut != m_attempt.handedOutAtCatchUp) {
            m_attempt.handedOutAtCatchUp = m_attempt.handedOut;
            m_watch.readerCaughtUp();
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
    if (m_pieces) {
        return m_pieces->chunkOffset();
    }
    return m_request.chunkOffset;
}

std::optional<RetryWait> QtTransferControl::PendingRetry() const
{
    if (m_pieces) {
        return m_pieces->pendingRetry();
    }
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
    if (m_pieces) {
        // Not deleted: GetChunk may be reading from it, under this call.
        m_pieces->cancel();
    }
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
    if (!m_attempt.bodyUnderWay) {
        NetRules::Seen seen = m_network.seen(*m_reply, m_request.address,
                                             NetRules::Seen::Moment::Headers);
        seen.answeredBefore = m_phase != Phase::Asking;
        act(NetRules::judge(seen, m_request.asked, m_request.file, m_request.address));
    }
}

void QtTransferControl::onFinished()
{
    m_attempt.done = true;
    logAttempt();
    m_attempt.end = m_network.seen(*m_reply, m_request.address, NetRules::Seen::Moment::Finished);
    m_attempt.end.stopped = m_watch.stopped();
    m_attempt.end.answeredBefore = m_phase != Phase::Asking;
    if (m_attempt.bodyUnderWay) {
        // GetChunk hands out the bytes that did arrive, then asks the verdict.
        settle();
        return;
    }
    act(NetRules::judge(m_attempt.end, m_request.asked, m_request.file, m_request.address));
    settle();
}

void QtTransferControl::act(const Verdict &verdict)
{
    using Action = Verdict::Action;
    switch (verdict.action) {
    case Action::Wait:
    case Action::Done:
        return;
    case Action::Retry:
        if (!retryLater(verdict)) {
            Verdict last = verdict;
            last.action = verdict.whenNoRetryLeft;
            act(last);
        }
        return;
    case Action::NextServer:
        failWith(verdict);
        return;
    case Action::StartAgain:
        qCInfo(lcDownload).noquote()
            << QStringLiteral("%1 sent the whole file when asked for the bytes from %2 on: "
                              "starting again from the first byte")
                   .arg(m_request.address)
                   .arg(m_request.file.resumeFrom);
        break;
    case Action::HandOut:
    case Action::CarryOn:
        break;
    }
    const bool first = m_phase == Phase::Asking;
    NetRules::takeAnswer(m_request.file, verdict, NetworkAccess::answerOf(*m_reply), first);
    m_attempt.bodyUnderWay = !m_request.asked.head;
    m_attempt.bodyStart = verdict.bodyStart;
    m_attempt.expected = verdict.expected;
    if (first) {
        raise(TransferState::ResponseCompleted);
    }
}

bool QtTransferControl::retryLater(const Verdict &verdict)
{
    const NetRules::RetryDecision decision = m_request.schedule.afterFailure(
        m_reply ? NetworkAccess::retryAfter(*m_reply) : std::nullopt);
    if (!decision.retry) {
        return false;
    }
    m_request.file.resumeFrom = verdict.from;
    qCInfo(lcDownload).noquote() << m_request.schedule.describe(decision, m_request.address,
                                                                verdict.from);
    dropReply(false);
    m_retry.start(decision.delay);
    return true;
}

void QtTransferControl::failWith(const Verdict &verdict)
{
    m_attempt.error = verdict.text;
    if (verdict.countsAttempts) {
        m_attempt.error += FailureTexts::attempts(m_request.schedule.attempts());
    }
    m_attempt.errorNumber = verdict.errorNumber;
    m_attempt.done = true;
    // Nothing of a failed request is handed out, not even an error page. Its
    // reply stops when deleted: aborting one that reports an error status
    // would make it record a second error.
    dropReply(false);
    if (m_phase == Phase::Asking) {
        qCInfo(lcDownload).noquote() << "Failed:" << m_attempt.error;
        raise(TransferState::Error);
    } else {
        qCInfo(lcDownload).noquote() << "Giving up:" << m_attempt.error;
        m_phase = Phase::GaveUp;
    }
}

void QtTransferControl::dropReply(bool abort)
{
    m_watch.release();
    if (!m_reply) {
        return;
    }
    m_reply->disconnect(this);
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

void QtTransferControl::raise(TransferState state)
{
    m_phase = Phase::Answered;
    // Queued: the receiver of ResponseCompleted reads the whole body from inside
    // its handler, with event loops of its own, so it must not run inside the
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
