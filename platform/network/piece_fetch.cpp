#include "piece_fetch.h"

#include "addresses.h"
#include "diagnostics.h"
#include "failure_texts.h"
#include "runtime_error.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkRequest>

#include <algorithm>

using NetRules::Verdict;

namespace {
// What a lane's reply holds of a body nobody read yet: three lanes stay well
// inside the memory one transfer may take.
constexpr qint64 LaneBufferBytes = 1024 * 1024;
} // namespace

PieceFetch::PieceFetch(const NetworkAccess &network, const NetRules::Asked &limits,
                       std::chrono::milliseconds firstRetryDelay, const QStringList &addresses,
                       PieceSource &source, std::function<void()> answered,
                       std::function<void()> failed, QObject *parent)
    : QObject(parent), m_network(network), m_limits(limits), m_firstRetryDelay(firstRetryDelay),
      m_source(source), m_answered(std::move(answered)), m_failed(std::move(failed))
{
    m_limits.head = false;
    for (qsizetype i = 0; i < addresses.size(); ++i) {
        auto lane = std::make_unique<Lane>();
        lane->server = static_cast<int>(i);
        lane->address = addresses[i];
        if (const std::optional<QUrl> url = NetRules::requestUrl(addresses[i])) {
            lane->url = *url;
        } else {
            lane->state = LaneState::Gone;
            m_source.serverFailed(
                lane->server,
                RuntimeError(ErrorNumber::InvalidCall,
                             QStringLiteral("Invalid address \"%1\"").arg(addresses[i])));
        }
        lane->schedule = NetRules::RetrySchedule::transfer(m_firstRetryDelay);
        lane->watch = std::make_unique<ReplyWatch>(m_limits.timeout, m_limits.minBytesPerSecond,
                                                   m_limits.rateWindow);
        lane->rest = std::make_unique<QTimer>();
        lane->rest->setSingleShot(true);
        Lane *waiting = lane.get();
        connect(lane->rest.get(), &QTimer::timeout, this, [this, waiting] {
            waiting->state = LaneState::Idle;
            // Before the first answer nobody reads, so nobody else sends it again.
            if (!m_anyAnswer) {
                feedIdleLanes();
            }
        });
        m_lanes.push_back(std::move(lane));
    }
    m_endGame.setInterval(500);
    connect(&m_endGame, &QTimer::timeout, this, &PieceFetch::checkEndGame);
}

PieceFetch::~PieceFetch()
{
    for (const std::unique_ptr<Lane> &lane : m_lanes) {
        dropReply(*lane);
    }
}

void PieceFetch::start()
{
    m_endGame.start();
    if (!feedIdleLanes()) {
        m_over = true;
        m_failed();
    }
}

bool PieceFetch::feedIdleLanes()
{
    bool atWork = false;
    for (const std::unique_ptr<Lane> &lane : m_lanes) {
        if (lane->state == LaneState::Idle && !m_source.serves(lane->server)) {
            lane->state = LaneState::Gone;
        }
        if (lane->state == LaneState::Idle) {
            if (const std::optional<std::pair<qint64, qint64>> span =
                    m_source.nextSpan(lane->server)) {
                send(*lane, span->first, span->second);
            }
        }
        atWork = atWork || lane->state == LaneState::Asking || lane->state == LaneState::Reading ||
                 lane->state == LaneState::Resting;
    }
    return atWork;
}

void PieceFetch::send(Lane &lane, qint64 begin, qint64 end)
{
    dropReply(lane);
    // A new span on a lane that works is no new attempt: the count is of
    // tries in a row, for the report.
    if (lane.retrying || lane.schedule.attempts() == 0) {
        lane.schedule.attemptStarted();
    }
    lane.retrying = false;
    lane.file = NetRules::ResumeState::from(begin, end - 1);
    lane.file.total = m_source.fileSize();
    lane.expected = -1;
    lane.handedOut = 0;
    lane.handedOutAtCatchUp = 0;
    lane.done = false;
    lane.logged = false;
    lane.end = {};
    lane.state = LaneState::Asking;

    QNetworkRequest request = m_network.request(lane.url);
    request.setRawHeader("Range", NetRules::rangeHeader(begin, end - 1));
    lane.clock.start();
    lane.sinceBytes.start();
    lane.reply.reset(m_network.get(request));
    lane.reply->setReadBufferSize(LaneBufferBytes);
    QNetworkReply *reply = lane.reply.get();
    Lane *at = &lane;
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, at] { onMetaDataChanged(*at); });
    connect(reply, &QNetworkReply::finished, this, [this, at] { onFinished(*at); });
    lane.watch->watch(reply, [at] { return at->handedOut + at->reply->bytesAvailable(); });
}

void PieceFetch::onMetaDataChanged(Lane &lane)
{
    if (lane.state != LaneState::Asking) {
        return;
    }
    NetRules::Seen seen = m_network.seen(*lane.reply, lane.address,
                                         NetRules::Seen::Moment::Headers);
    // Every request asks for a part of the file, which only a 206 for it answers.
    seen.answeredBefore = true;
    const Verdict verdict = NetRules::judge(seen, m_limits, lane.file, lane.address);
    switch (verdict.action) {
    case Verdict::Action::Wait:
    case Verdict::Action::Done:
        return;
    case Verdict::Action::CarryOn:
        lane.expected = verdict.expected;
        lane.state = LaneState::Reading;
        if (!std::exchange(m_anyAnswer, true)) {
            m_answered();
        }
        return;
    case Verdict::Action::HandOut:
    case Verdict::Action::StartAgain: {
        Verdict refused = verdict;
        refused.action = Verdict::Action::NextServer;
        refused.errorNumber = ErrorNumber::TransferFailed;
        refused.text = FailureTexts::partsRefused(lane.address);
        refused.countsAttempts = false;
        failLane(lane, refused);
        return;
    }
    case Verdict::Action::Retry:
    case Verdict::Action::NextServer:
        failLane(lane, verdict);
        return;
    }
}

void PieceFetch::onFinished(Lane &lane)
{
    lane.done = true;
    logAttempt(lane);
    lane.end = m_network.seen(*lane.reply, lane.address, NetRules::Seen::Moment::Finished);
    lane.end.stopped = lane.watch->stopped();
    lane.end.answeredBefore = true;
    if (lane.state == LaneState::Asking) {
        onMetaDataChanged(lane);
    }
    if (lane.state == LaneState::Asking) {
        // No answer's body was taken: the end tells why.
        const Verdict verdict = NetRules::judge(lane.end, m_limits, lane.file, lane.address);
        failLane(lane, verdict.action == Verdict::Action::Retry ||
                               verdict.action == Verdict::Action::NextServer
                           ? verdict
                           : Verdict{Verdict::Action::Retry, 0, -1, -1, lane.file.resumeFrom,
                                     ErrorNumber::TransferFailed,
                                     FailureTexts::noAnswer(lane.address, lane.end.errorText)});
    }
}

void PieceFetch::failLane(Lane &lane, const Verdict &verdict)
{
    const std::optional<std::chrono::milliseconds> asked =
        lane.reply ? NetworkAccess::retryAfter(*lane.reply) : std::nullopt;
    // Nothing of a failed request is handed out. Its reply stops when deleted.
    dropReply(lane, false);
    m_errorNumber = verdict.errorNumber;
    if (verdict.action == Verdict::Action::Retry) {
        const NetRules::RetryDecision decision = lane.schedule.afterFailure(asked);
        if (decision.retry) {
            qCInfo(lcDownload).noquote() << verdict.text;
            qCInfo(lcDownload).noquote()
                << lane.schedule.describe(decision, lane.address, lane.file.position);
            // The others need not wait for it: the rest of its span is theirs.
            m_source.interrupted(lane.server);
            lane.retrying = true;
            lane.state = LaneState::Resting;
            lane.rest->start(decision.delay);
            feedIdleLanes();
            return;
        }
    }
    m_error = verdict.text;
    if (verdict.countsAttempts) {
        m_error += FailureTexts::attempts(lane.schedule.attempts());
    }
    qCInfo(lcNet).noquote() << "Left for this file:" << m_error;
    lane.state = LaneState::Gone;
    m_source.serverFailed(lane.server, RuntimeError(verdict.errorNumber, m_error));
    const bool allGone = std::all_of(m_lanes.cbegin(), m_lanes.cend(), [](const auto &each) {
        return each->state == LaneState::Gone;
    });
    if (allGone && !m_anyAnswer && !m_over) {
        m_over = true;
        m_failed();
        return;
    }
    // What it gave back may go to a lane that had nothing to do.
    feedIdleLanes();
}

QByteArray PieceFetch::next(int size)
{
    for (;;) {
        if (m_cancelled) {
            throw RuntimeError(
                ErrorNumber::TransferFailed,
                FailureTexts::cancelled(m_lanes.empty() ? QString() : m_lanes.front()->address));
        }
        const qsizetype lanes = static_cast<qsizetype>(m_lanes.size());
        for (qsizetype k = 0; k < lanes; ++k) {
            const qsizetype at = (m_current + k) % lanes;
            Lane &lane = *m_lanes[static_cast<size_t>(at)];
            if (lane.state != LaneState::Reading) {
                continue;
            }
            QByteArray chunk = take(lane, size);
            if (!chunk.isEmpty()) {
                m_current = at;
                return chunk;
            }
        }
        if (m_source.isWhole()) {
            m_endGame.stop();
            for (const std::unique_ptr<Lane> &lane : m_lanes) {
                dropReply(*lane);
                lane->rest->stop();
            }
            m_over = true;
            return {};
        }
        if (!feedIdleLanes()) {
            m_over = true;
            throw RuntimeError(m_errorNumber != 0 ? m_errorNumber : ErrorNumber::TransferFailed,
                               m_error);
        }
        for (const std::unique_ptr<Lane> &lane : m_lanes) {
            if (lane->state == LaneState::Reading && lane->handedOut != lane->handedOutAtCatchUp) {
                lane->handedOutAtCatchUp = lane->handedOut;
                lane->watch->readerCaughtUp();
            }
        }
        // As the single request does: events until one arrives, then look again.
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

QByteArray PieceFetch::take(Lane &lane, int size)
{
    const qint64 position = lane.file.position;
    // The span shrinks when another server took its back half, and ends at
    // once when the server was dropped: the rest of this request is not wanted.
    const qint64 wanted = m_source.spanEnd(lane.server) - position;
    if (wanted <= 0) {
        dropReply(lane, !lane.done);
        lane.state = LaneState::Idle;
        // At once, not once every lane ran dry: the others may read for long.
        feedIdleLanes();
        return {};
    }
    if (lane.reply->bytesAvailable() > 0) {
        QByteArray chunk = lane.reply->read(std::min<qint64>(size, wanted));
        if (const std::optional<Verdict> past = NetRules::overrun(
                lane.expected, lane.handedOut, chunk.size(), lane.file.resumeFrom, lane.address)) {
            failLane(lane, *past);
            return {};
        }
        lane.sinceBytes.start();
        m_chunkOffset = position;
        m_chunkServer = lane.server;
        lane.handedOut += chunk.size();
        if (lane.file.advance(chunk.size())) {
            lane.schedule.progressed();
        }
        return chunk;
    }
    if (lane.done) {
        judgeEnd(lane);
    }
    return {};
}

void PieceFetch::judgeEnd(Lane &lane)
{
    NetRules::Seen end = lane.end;
    end.bodyUnderWay = true;
    end.expected = lane.expected;
    end.handedOut = lane.handedOut;
    const Verdict verdict = NetRules::judge(end, m_limits, lane.file, lane.address);
    if (verdict.action == Verdict::Action::Done) {
        dropReply(lane, false);
        lane.state = LaneState::Idle;
        feedIdleLanes();
        return;
    }
    failLane(lane, verdict);
}

std::optional<RetryWait> PieceFetch::pendingRetry() const
{
    std::optional<RetryWait> soonest;
    for (const std::unique_ptr<Lane> &lane : m_lanes) {
        if (lane->state == LaneState::Asking || lane->state == LaneState::Reading) {
            return std::nullopt;
        }
        if (lane->state == LaneState::Resting) {
            const RetryWait wait{lane->schedule.retry(), lane->schedule.maxRetries(),
                                 std::max(0, lane->rest->remainingTime())};
            if (!soonest || wait.msecsLeft < soonest->msecsLeft) {
                soonest = wait;
            }
        }
    }
    return soonest;
}

void PieceFetch::checkEndGame()
{
    feedIdleLanes();
    const bool oneFree = std::any_of(m_lanes.cbegin(), m_lanes.cend(), [](const auto &lane) {
        return lane->state == LaneState::Idle;
    });
    if (!oneFree) {
        return;
    }
    for (const std::unique_ptr<Lane> &lane : m_lanes) {
        const bool atWork = lane->state == LaneState::Asking || lane->state == LaneState::Reading;
        if (atWork && lane->reply && lane->reply->bytesAvailable() == 0 &&
            lane->sinceBytes.elapsed() >= EndGameQuietMsecs) {
            failLane(*lane,
                     Verdict{Verdict::Action::Retry, 0, -1, -1, lane->file.position,
                             ErrorNumber::RequestTimedOut,
                             FailureTexts::noDataFor(
                                 lane->address, std::chrono::milliseconds(EndGameQuietMsecs))});
            return;
        }
    }
}

void PieceFetch::cancel()
{
    m_endGame.stop();
    m_cancelled = true;
    m_over = true;
    for (const std::unique_ptr<Lane> &lane : m_lanes) {
        lane->rest->stop();
        dropReply(*lane);
    }
}

void PieceFetch::dropReply(Lane &lane, bool abort)
{
    lane.watch->release();
    if (!lane.reply) {
        return;
    }
    lane.reply->disconnect(this);
    if (abort) {
        lane.reply->abort();
    }
    logAttempt(lane);
    lane.reply.reset();
}

void PieceFetch::logAttempt(Lane &lane)
{
    if (lane.logged) {
        return;
    }
    lane.logged = true;
    m_network.logRequest(*lane.reply, lane.handedOut + lane.reply->bytesAvailable(),
                         lane.clock.elapsed(), lane.schedule.attempts());
}
