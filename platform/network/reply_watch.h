#pragma once

#include "verdict.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <functional>

class QNetworkReply;

// The one time-out of a request, for the transfer and the manifest fetch
// alike: nothing may come for the idle time, and with a floor on the rate set,
// every window from the request on must bring its share (or the whole body),
// so that a byte every few seconds cannot hold the program for ever. A reply
// that holds unread bytes waits for its reader, not for the server, and is
// never stopped. A stopped reply is aborted; stopped() then says why.
class ReplyWatch final : public QObject
{
    Q_OBJECT

public:
    // minBytesPerSecond 0: no floor on the rate.
    ReplyWatch(std::chrono::milliseconds idle, qint64 minBytesPerSecond,
               std::chrono::milliseconds rateWindow, QObject *parent = nullptr);

    // Watches reply from now on; received counts the body bytes that came,
    // read or not.
    void watch(QNetworkReply *reply, std::function<qint64()> received);
    // Stops watching; the reply is left as it is.
    void release();
    // The reader took every byte there was: from now on the server is the one
    // behind, and its idle time starts now.
    void readerCaughtUp();

    NetRules::Stop stopped() const { return m_stopped; }

private:
    void onIdle();
    void onRateCheck();
    void stop(NetRules::Stop why);

    qint64 m_minBytesPerSecond;
    std::chrono::milliseconds m_rateWindow;
    QTimer m_idle;
    QTimer m_rate;
    QPointer<QNetworkReply> m_reply;
    std::function<qint64()> m_received;
    qint64 m_atLastCheck = 0;
    NetRules::Stop m_stopped = NetRules::Stop::None;
};
