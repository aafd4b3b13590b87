#include "retry_rules.h"

#include "byte_count.h"

#include <QLocale>

#include <algorithm>

namespace NetRules {

bool mayPass(QNetworkReply::NetworkError error, int status)
{
    if (status != 0) {
        return status == 502 || status == 503 || status == 504;
    }
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
        return true;
    default:
        return false;
    }
}

std::optional<std::chrono::milliseconds> parseRetryAfter(const QByteArray &value,
                                                         const QDateTime &now)
{
    const QString text = QString::fromLatin1(value.trimmed());
    if (const std::optional<qint64> seconds = parseByteCount(text)) {
        // Capped far below what the conversion to milliseconds could overflow.
        return std::chrono::seconds(std::min<qint64>(*seconds, 24 * 3600));
    }
    QDateTime when = QLocale::c().toDateTime(text,
                                             QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
    if (!when.isValid()) {
        return std::nullopt;
    }
    when.setTimeSpec(Qt::UTC);
    return std::chrono::milliseconds(std::max<qint64>(now.msecsTo(when), 0));
}

RetrySchedule RetrySchedule::probe(std::chrono::milliseconds firstDelay)
{
    return {firstDelay, ProbeAttempts - 1};
}

RetrySchedule RetrySchedule::transfer(std::chrono::milliseconds firstDelay)
{
    return {firstDelay, TransferRetries};
}

RetrySchedule RetrySchedule::fetch(std::chrono::milliseconds firstDelay)
{
    return {firstDelay, FetchAttempts - 1};
}

RetrySchedule::RetrySchedule(std::chrono::milliseconds firstDelay, int maxRetries)
    : m_firstDelay(firstDelay), m_maxRetries(maxRetries)
{
}

void RetrySchedule::attemptStarted()
{
    ++m_attempts;
    m_progressed = false;
}

void RetrySchedule::progressed()
{
    m_retries = 0;
    m_progressed = true;
}

RetryDecision RetrySchedule::afterFailure(std::optional<std::chrono::milliseconds> asked)
{
    RetryDecision decision{true, std::chrono::milliseconds(0), m_progressed};
    if (!m_progressed) {
        if (m_retries >= m_maxRetries) {
            return {};
        }
        ++m_retries;
        decision.delay = m_firstDelay * (1 << (m_retries - 1));
    }
    // else a connection that broke after bringing new bytes: carry on at
    // once, as the dropped connection says nothing about the next one.
    if (asked) {
        decision.delay = std::max(decision.delay,
                                  std::min<std::chrono::milliseconds>(*asked, MaxRetryAfter));
    }
    return decision;
}

QString RetrySchedule::describe(const RetryDecision &decision, const QString &address,
                                qint64 from) const
{
    if (decision.afterProgress) {
        return QStringLiteral("%1 broke off after new bytes: asking again at once, from byte %2")
            .arg(address, QString::number(from));
    }
    return QStringLiteral("%1: retry %2 of %3 in %4 ms, from byte %5")
        .arg(address, QString::number(m_retries), QString::number(m_maxRetries),
             QString::number(decision.delay.count()), QString::number(from));
}

} // namespace NetRules
