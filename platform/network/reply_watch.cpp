#include "reply_watch.h"

#include <QNetworkReply>
#include <QNetworkRequest>

ReplyWatch::ReplyWatch(std::chrono::milliseconds idle, qint64 minBytesPerSecond,
                       std::chrono::milliseconds rateWindow, QObject *parent)
    : QObject(parent), m_minBytesPerSecond(minBytesPerSecond), m_rateWindow(rateWindow)
{
    m_idle.setSingleShot(true);
    m_idle.setInterval(idle);
    connect(&m_idle, &QTimer::timeout, this, &ReplyWatch::onIdle);
    m_rate.setInterval(m_rateWindow);
    connect(&m_rate, &QTimer::timeout, this, &ReplyWatch::onRateCheck);
}

void ReplyWatch::watch(QNetworkReply *reply, std::function<qint64()> received)
{
    release();
    m_reply = reply;
    m_received = std::move(received);
    m_atLastCheck = 0;
    m_stopped = NetRules::Stop::None;
    // Every sign of life from the server restarts the idle time.
    connect(reply, &QNetworkReply::metaDataChanged, &m_idle, qOverload<>(&QTimer::start));
    connect(reply, &QNetworkReply::readyRead, &m_idle, qOverload<>(&QTimer::start));
    connect(reply, &QNetworkReply::redirected, &m_idle, qOverload<>(&QTimer::start));
    connect(reply, &QNetworkReply::finished, this, &ReplyWatch::release);
    m_idle.start();
    if (m_minBytesPerSecond > 0 && m_rateWindow.count() > 0) {
        m_rate.start();
    }
}

void ReplyWatch::release()
{
    m_idle.stop();
    m_rate.stop();
    if (m_reply) {
        m_reply->disconnect(&m_idle);
        m_reply->disconnect(this);
    }
    m_reply.clear();
}

void ReplyWatch::readerCaughtUp()
{
    if (m_reply && !m_reply->isFinished()) {
        m_idle.start();
    }
}

void ReplyWatch::onIdle()
{
    if (!m_reply) {
        return;
    }
    if (m_reply->bytesAvailable() > 0) {
        // The reader is behind, not the server: the buffer is full and waits.
        m_idle.start();
        return;
    }
    stop(NetRules::Stop::Idle);
}

void ReplyWatch::onRateCheck()
{
    if (!m_reply) {
        return;
    }
    const qint64 now = m_received();
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    const bool whole = length.isValid() && now >= length.toLongLong();
    const qint64 perWindow = m_minBytesPerSecond * m_rateWindow.count() / 1000;
    if (now - m_atLastCheck < perWindow && !whole && m_reply->bytesAvailable() == 0) {
        stop(NetRules::Stop::TooSlow);
        return;
    }
    m_atLastCheck = now;
}

void ReplyWatch::stop(NetRules::Stop why)
{
    QNetworkReply *reply = m_reply;
    release();
    m_stopped = why;
    // Finishes the reply; whoever waits for it reads stopped() to know why.
    reply->abort();
}
