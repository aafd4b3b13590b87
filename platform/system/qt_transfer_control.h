#pragma once

#include "network_access.h"
#include "resume_rules.h"
#include "retry_rules.h"
#include "transfer_control.h"

#include <QElapsedTimer>
#include <QNetworkReply>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <memory>

// The transfer control on Qt Network. A GET's body stays in the reply's bounded
// read buffer until GetChunk takes it, so memory does not grow with the file.
//
// When to retry, how long to wait and what an answer to a "Range" retry means
// are the rules in net/ (RetrySchedule, ResumeState, judgeRetriedAnswer); this
// class sends the requests, waits and hands out the bytes.
class QtTransferControl final : public TransferControl
{
    Q_OBJECT

public:
    // The reply holds at most this much of a body that nobody has read yet.
    static constexpr qint64 ReadBufferBytes = 1024 * 1024;

    // timeout: how long a request may go without any byte arriving.
    // firstRetryDelay: the wait before the first retry; each later one doubles.
    explicit QtTransferControl(const NetworkAccess &network,
                               std::chrono::milliseconds timeout = std::chrono::seconds(60),
                               std::chrono::milliseconds firstRetryDelay = std::chrono::seconds(1),
                               QObject *parent = nullptr);
    ~QtTransferControl() override;

    void Execute(const QString &address, const QString &operation) override;
    void ExecuteFrom(const QString &address, qint64 offset) override;
    bool StillExecuting() const override;
    QString GetHeader(const QString &name) const override;
    int GetStatus() const override;
    QByteArray GetChunk(int size) override;
    qint64 ChunkOffset() const override;
    std::optional<RetryWait> PendingRetry() const override;
    void Cancel() override;
    QString errorDescription() const override;

private:
    struct LaterDeleter
    {
        void operator()(QNetworkReply *reply) const { reply->deleteLater(); }
    };

    // Where a request stands, in this order, except that a retry of a settled
    // body goes back to Reading.
    enum class Phase {
        Idle,     // none sent yet, or cancelled
        Asking,   // no usable answer yet
        Answered, // its state (12, or 11 for an error) queued, not yet delivered
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
        bool timedOut = false;     // no byte for the time-out
        bool bodyAccepted = false; // its body belongs to the file: its bytes may be handed out
        qint64 expected = -1;      // the announced body size
        qint64 bodyStart = 0;      // where in the file the body starts
        qint64 handedOut = 0;      // of the body
        qint64 handedOutAtIdleStart = 0;
        QString error;
    };

    // One request, reset by assignment in Execute.
    struct Request
    {
        QString address;
        QUrl url;
        bool head = false;
        NetRules::RetrySchedule schedule{std::chrono::milliseconds(0), 0};
        NetRules::ResumeState file;
        qint64 chunkOffset = 0;
        qint64 firstByte = 0; // the piece asked for first: 0 but after ExecuteFrom
    };

    // Starts a request for address, of the bytes from "from" on.
    void begin(const QString &address, bool head, qint64 from);
    void throwIfExecuting() const;
    // Sends the request again, from where the file's state says.
    void startAttempt();
    void onMetaDataChanged();
    void onFinished();
    void onIdleTimeout();
    // Acts on the status once the response headers are in.
    void takeResponse();
    // The same for an answer to a request for a piece: the response to a retry
    // of a GET whose body was under way, or the first one to ExecuteFrom.
    void takePiece(const NetRules::Answer &answer);
    // Waits and tries again if that is allowed; false when the attempts are used up.
    bool retryLater();
    // A failure no retry will mend.
    void giveUp(const QString &description);
    // The request failed before a usable response: error state, no body.
    void fail(const QString &description);
    // Leaves the reply alone from now on and stops it.
    void dropReply(bool abort = true);
    // Writes the reply's line in orbistane.net, once: when it finishes, or
    // when it is dropped before.
    void logAttempt();
    // Emits state from the event loop, unless the request is over by then.
    void raise(int state);
    void settle();
    bool stateDelivered() const;
    QString failureText() const;
    QString attemptsText() const;

    NetworkAccess m_network;
    std::chrono::milliseconds m_timeout;
    std::chrono::milliseconds m_firstRetryDelay;
    std::unique_ptr<QNetworkReply, LaterDeleter> m_reply;
    QTimer m_idle;
    QTimer m_retry;
    quint64 m_generation = 0; // counts requests, so that a late queued state is dropped
    Phase m_phase = Phase::Idle;
    Request m_request;
    Attempt m_attempt;
};
