#pragma once

#include "network_access.h"
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
// Failures that may pass are retried, waiting twice as long each time: a HEAD
// up to ProbeAttempts in all, a GET up to TransferRetries times in a row
// without progress, progress being a byte beyond the furthest any attempt
// reached. An attempt that did progress is followed at once by the next. A GET whose response
// allowed ranges and named a validator carries on with "Range" and "If-Range"; otherwise, or when
// the server sends the whole file again, it starts again from the first byte.
class QtTransferControl final : public TransferControl
{
    Q_OBJECT

public:
    // The reply holds at most this much of a body that nobody has read yet.
    static constexpr qint64 ReadBufferBytes = 1024 * 1024;
    static constexpr int ProbeAttempts = 3;
    static constexpr int TransferRetries = 5;
    // A server's Retry-After is honoured up to this.
    static constexpr std::chrono::seconds MaxRetryAfter{30};

    // timeout: how long a request may go without any byte arriving.
    // firstRetryDelay: the wait before the first retry; each later one doubles.
    explicit QtTransferControl(const NetworkAccess &network,
                               std::chrono::milliseconds timeout = std::chrono::seconds(60),
                               std::chrono::milliseconds firstRetryDelay = std::chrono::seconds(1),
                               QObject *parent = nullptr);
    ~QtTransferControl() override;

    void Execute(const QString &address, const QString &operation) override;
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

    // Sends the request again, from m_resumeFrom.
    void startAttempt();
    void onMetaDataChanged();
    void onFinished();
    void onIdleTimeout();
    // Acts on the status once the response headers are in.
    void takeResponse();
    // The same for the response to a retry of a GET whose body was under way.
    void takeRetriedResponse(int status);
    // Remembers whether and how the body can be asked for from the middle.
    void takeValidators();
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
    bool isTransient(int status) const;
    bool bodyBrokeOff() const;
    QString failureText() const;
    QString attemptsText() const;
    QString seconds() const;

    NetworkAccess m_network;
    std::chrono::milliseconds m_timeout;
    std::chrono::milliseconds m_firstRetryDelay;
    std::unique_ptr<QNetworkReply, LaterDeleter> m_reply;
    QTimer m_idle;
    QElapsedTimer m_attemptClock;
    bool m_attemptLogged = false;
    QTimer m_retry;
    QString m_address;
    QUrl m_url;
    QString m_error;
    quint64 m_request = 0; // counts requests, so that a late queued state is dropped
    bool m_head = false;
    bool m_executing = false;
    bool m_responseRaised = false; // state 12 or 11 queued for this request
    bool m_stateDelivered = false;
    bool m_replyDone = false;
    bool m_timedOut = false;
    bool m_gaveUp = false;
    // This attempt's body belongs to the file: its bytes may be handed out.
    bool m_bodyAccepted = false;
    bool m_attemptProgressed = false; // this attempt reached beyond all earlier ones
    int m_retries = 0;                // in a row without progress
    int m_attempts = 0;               // in all, for the report
    QByteArray m_validator;           // strong ETag, else Last-Modified; empty: no resuming
    bool m_acceptsRanges = false;
    qint64 m_total = -1;    // the file's size, when announced
    qint64 m_expected = -1; // this attempt's announced body size
    qint64 m_bodyStart = 0; // where in the file this attempt's body starts
    qint64 m_handedOut = 0; // of this attempt's body
    qint64 m_handedOutAtIdleStart = 0;
    qint64 m_position = 0; // in the file: the next byte to hand out
    qint64 m_chunkOffset = 0;
    qint64 m_furthest = 0;
    qint64 m_resumeFrom = 0;
};
