#pragma once

#include "network_access.h"
#include "reply_watch.h"
#include "retry_rules.h"
#include "transfer_control.h"
#include "verdict.h"

#include <QElapsedTimer>
#include <QNetworkReply>
#include <QObject>
#include <QScopedPointer>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// One file from several servers at once: a lane per server, each asking its
// server for the spans the source gives it, one request at a time on one
// connection. What each answer and each end means is the rule book's verdict,
// as for a single request. A lane that fails gives the rest of its span back
// at once and waits for its retry while the others work; once its retries are
// spent, or on a failure no retry mends, its server is out for this file.
class PieceFetch final : public QObject
{
    Q_OBJECT

public:
    // limits: what every request asks under; firstRetryDelay: a lane's first
    // wait, doubled for each retry in a row. answered runs once, when the first
    // answer's body may be read; failed when every server failed before one.
    PieceFetch(const NetworkAccess &network, const NetRules::Asked &limits,
               std::chrono::milliseconds firstRetryDelay, const QStringList &addresses,
               PieceSource &source, std::function<void()> answered, std::function<void()> failed,
               QObject *parent = nullptr);
    ~PieceFetch() override;

    // Sends each lane's first request.
    void start();
    // The next 1 to size bytes from any lane, waiting for them while the event
    // loop runs; empty once the source is whole. Throws RuntimeError once no
    // server is left, or after cancel().
    QByteArray next(int size);
    qint64 chunkOffset() const { return m_chunkOffset; }
    int chunkServer() const { return m_chunkServer; }
    // The soonest retry, while no lane is at work and one waits for it.
    std::optional<RetryWait> pendingRetry() const;
    // Stops every request; next() throws from now on.
    void cancel();
    bool isOver() const { return m_over; }
    // The last failure, naming its server.
    QString error() const { return m_error; }

private:
    enum class LaneState {
        Idle,    // no span: asks the source for one
        Asking,  // a request sent, no answer taken yet
        Reading, // its body is handed out
        Resting, // waits for its retry
        Gone,    // its server failed for this file
    };

    // One server's connection. Its request's state is reset by assignment.
    struct Lane
    {
        int server = 0;
        QString address;
        QUrl url;
        LaneState state = LaneState::Idle;
        std::unique_ptr<QNetworkReply, QScopedPointerDeleteLater> reply;
        std::unique_ptr<ReplyWatch> watch;
        std::unique_ptr<QTimer> rest;
        NetRules::RetrySchedule schedule{std::chrono::milliseconds(0), 0};
        // The request under way.
        NetRules::ResumeState file;
        qint64 expected = -1;
        qint64 handedOut = 0;
        qint64 handedOutAtCatchUp = 0;
        bool done = false;
        bool logged = false;
        bool retrying = false; // the request under way is a retry
        NetRules::Seen end;
        QElapsedTimer clock;
        QElapsedTimer sinceBytes; // since its last bytes came
    };

    // How long a lane may bring nothing while another waits with nothing to do.
    static constexpr qint64 EndGameQuietMsecs = 3000;

    // Asks the source for a span for each idle lane; true when any lane is at
    // work or waits for its retry.
    bool feedIdleLanes();
    void send(Lane &lane, qint64 begin, qint64 end);
    void onMetaDataChanged(Lane &lane);
    void onFinished(Lane &lane);
    // After a verdict that the lane's attempt failed with.
    void failLane(Lane &lane, const NetRules::Verdict &verdict);
    // A chunk of lane's body, cut at its span's end; empty when none is ready.
    QByteArray take(Lane &lane, int size);
    // The lane's body ended with every byte handed out.
    void judgeEnd(Lane &lane);
    void dropReply(Lane &lane, bool abort = true);
    void logAttempt(Lane &lane);
    // Once nothing is left to give, a lane that brings nothing for a while
    // gives its span to one that is free, rather than hold the end back.
    void checkEndGame();

    NetworkAccess m_network;
    NetRules::Asked m_limits;
    std::chrono::milliseconds m_firstRetryDelay;
    PieceSource &m_source;
    std::function<void()> m_answered;
    std::function<void()> m_failed;
    std::vector<std::unique_ptr<Lane>> m_lanes;
    QTimer m_endGame;
    qsizetype m_current = 0; // the lane read from last: read on while it has bytes
    qint64 m_chunkOffset = 0;
    int m_chunkServer = 0;
    bool m_anyAnswer = false;
    bool m_cancelled = false;
    bool m_over = false;
    int m_errorNumber = 0;
    QString m_error;
};
