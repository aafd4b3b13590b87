#pragma once

#include "network_access.h"
#include "transfer_control.h"

#include <QNetworkReply>
#include <QTimer>

#include <chrono>
#include <memory>

// The transfer control on Qt Network. A GET's body stays in the reply's bounded
// read buffer until GetChunk takes it, so memory does not grow with the file.
class QtTransferControl final : public TransferControl
{
    Q_OBJECT

public:
    // The reply holds at most this much of a body that nobody has read yet.
    static constexpr qint64 ReadBufferBytes = 1024 * 1024;

    // timeout: how long a request may go without any byte arriving.
    explicit QtTransferControl(const NetworkAccess &network,
                               std::chrono::milliseconds timeout = std::chrono::seconds(60),
                               QObject *parent = nullptr);
    ~QtTransferControl() override;

    void Execute(const QString &address, const QString &operation) override;
    bool StillExecuting() const override;
    QString GetHeader(const QString &name) const override;
    int GetStatus() const override;
    QByteArray GetChunk(int size) override;
    void Cancel() override;
    QString errorDescription() const override;

private:
    struct LaterDeleter
    {
        void operator()(QNetworkReply *reply) const { reply->deleteLater(); }
    };

    void onMetaDataChanged();
    void onFinished();
    void onIdleTimeout();
    // Acts on the status once the response headers are in.
    void takeResponse();
    // The request failed before a usable response: error state, no body.
    void fail(const QString &description);
    // Leaves the reply alone from now on and stops it.
    void dropReply(bool abort = true);
    // Emits state from the event loop, unless the request is over by then.
    void raise(int state);
    void settle();
    QString failureText() const;
    QString seconds() const;

    NetworkAccess m_network;
    std::chrono::milliseconds m_timeout;
    std::unique_ptr<QNetworkReply, LaterDeleter> m_reply;
    QTimer m_idle;
    QString m_address;
    QString m_error;
    quint64 m_request = 0; // counts requests, so that a late queued state is dropped
    bool m_head = false;
    bool m_executing = false;
    bool m_responseRaised = false; // state 12 or 11 queued for this request
    bool m_stateDelivered = false;
    bool m_replyDone = false;
    bool m_timedOut = false;
    qint64 m_expected = -1; // the announced body size
    qint64 m_handedOut = 0;
};
