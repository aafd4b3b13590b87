#pragma once

#include "network_access.h"
#include "piece_fetch.h"
#include "reply_watch.h"
#include "retry_rules.h"
#include "transfer_control.h"
#include "verdict.h"

#include <QElapsedTimer>
#include <QNetworkReply>
#include <QScopedPointer>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <memory>

// The transfer control on Qt Network. A GET's body stays in the reply's bounded
// read buffer until GetChunk takes it, so memory does not grow with the file.
//
// It sends, waits and hands out bytes; what every answer and every end means
// is the rule book's verdict (NetRules::judge), and when to try again is its
// RetrySchedule.
class QtTransferControl final : public TransferControl
{
    Q_OBJECT

public:
    // The reply holds at most this much of a body that nobody has read yet.
    static constexpr qint64 ReadBufferBytes = 1024 * 1024;

    // timeout: how long a request may go without any byte arriving.
    // firstRetryDelay: the wait before the first retry; each later one doubles.
    // minBytesPerSecond, rateWindow: a floor on the rate, as ReplyWatch keeps
    // it; 0 for none.
    explicit QtTransferControl(const NetworkAccess &network,
                               std::chrono::milliseconds timeout = std::chrono::seconds(60),
                               std::chrono::milliseconds firstRetryDelay = std::chrono::seconds(1),
                               QObject *parent = nullptr, qint64 minBytesPerSecond = 0,
                               std::chrono::milliseconds rateWindow = std::chrono::seconds(30));
    ~QtTransferControl() override;

    void Execute(const QString &address, const QString &operation) override;
    void ExecuteFrom(const QString &address, qint64 offset, const QByteArray &validator) override;
    void ExecutePieces(const QStringList &addresses, PieceSource &source) override;
    bool StillExecuting() const override;
    QString GetHeader(const QString &name) const override;
    int GetStatus() const override;
    QByteArray GetChunk(int size) override;
    qint64 ChunkOffset() const override;
    int ChunkServer() const override;
    std::optional<RetryWait> PendingRetry() const override;
    void Cancel() override;
    QString errorDescription() const override;

private:
    // Where a request stands, in this order, except that a retry of a settled
    // body goes back to Reading.
    enum class Phase {
        Idle,     // none sent yet, or cancelled
        Asking,   // no usable answer yet
        Answered, // its state queued, not yet delivered
        Reading,  // the state delivered; the body may still come, or be retried
        Settled,  // the state delivered and the reply done: no longer executing
        GaveUp,   // after the state: a failure no retry mends
    };

    // One attempt, reset by assignment each time the request is sent.
    struct Attempt
    {
        QElapsedTimer clock;
        bool logged = false;       // its line in orbistane.net is written
        bool done = false;         // the reply finished, or was given up
        bool bodyUnderWay = false; // its answer was taken: its bytes may be handed out
        qint64 expected = -1;      // the announced body size
        qint64 bodyStart = 0;      // where in the file the body starts
        qint64 handedOut = 0;      // of the body
        qint64 handedOutAtCatchUp = 0;
        NetRules::Seen end; // what the reply's end showed
        int errorNumber = 0;
        QString error;
    };

    // One request, reset by assignment in begin().
    struct Request
    {
        QString address;
        QUrl url;
        NetRules::Asked asked;
        NetRules::RetrySchedule schedule{std::chrono::milliseconds(0), 0};
        NetRules::ResumeState file;
        qint64 chunkOffset = 0;
    };

    // Starts a request for address, of the bytes from "from" on.
    void begin(const QString &address, bool head, qint64 from, const QByteArray &validator = {});
    void throwIfExecuting() const;
    // Leaves a fetch from several servers; deleted later, as it may be reading.
    void dropPieces();
    // Sends the request again, from where the file's state says.
    void startAttempt();
    void onMetaDataChanged();
    void onFinished();
    // Does what the verdict says.
    void act(const NetRules::Verdict &verdict);
    // Waits and tries again if the schedule allows; false when the attempts are used up.
    bool retryLater(const NetRules::Verdict &verdict);
    // A failure no retry mends: before the state an error state, after it
    // the end of GetChunk.
    void failWith(const NetRules::Verdict &verdict);
    // Leaves the reply alone from now on and stops it.
    void dropReply(bool abort = true);
    // Writes the reply's line in orbistane.net, once: when it finishes, or
    // when it is dropped before.
    void logAttempt();
    // Emits state from the event loop, unless the request is over by then.
    void raise(TransferState state);
    void settle();
    bool stateDelivered() const;

    NetworkAccess m_network;
    std::chrono::milliseconds m_firstRetryDelay;
    // What every request asks under: the time-out and the floor on the rate.
    NetRules::Asked m_limits;
    std::unique_ptr<QNetworkReply, QScopedPointerDeleteLater> m_reply;
    // The request of ExecutePieces, while it is the one under way.
    std::unique_ptr<PieceFetch, QScopedPointerDeleteLater> m_pieces;
    ReplyWatch m_watch;
    QTimer m_retry;
    quint64 m_generation = 0; // counts requests, so that a late queued state is dropped
    Phase m_phase = Phase::Idle;
    Request m_request;
    Attempt m_attempt;
};
