#include "transfer_status.h"

#include "messages.h"

#include <QLocale>
#include <QStringList>
#include <QUrl>

#include <algorithm>
#include <cmath>

namespace {

constexpr int BytesMessage = 25;
constexpr int KilobytesMessage = 26;
constexpr int GigabytesMessage = 28;
constexpr int SecondsMessage = 29;
constexpr int MinutesMessage = 30;
constexpr int HoursMessage = 31;
constexpr int LeftMessage = 32;
constexpr int ReceivedMessage = 33;
constexpr int RetryMessage = 34;
constexpr int CompleteMessage = 37;
constexpr int ServerMessage = 38;
constexpr int CompleteFromMessage = 39;
constexpr int ServersMessage = 40;
constexpr int DamagedMessage = 41;
constexpr int CarryingOnMessage = 42;

QLocale numberLocale()
{
    QLocale locale = languageLocale(LanguageId.toInt());
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    return locale;
}

qint64 roundUpTo(qint64 value, qint64 step)
{
    return (value + step - 1) / step * step;
}

QString separator()
{
    return QStringLiteral(" ") + QChar(0x00B7) + QStringLiteral(" ");
}

QString formatRate(double bytesPerSecond)
{
    return formatBytes(qRound64(bytesPerSecond)) + QStringLiteral("/s");
}

} // namespace

QString formatBytes(qint64 bytes)
{
    if (bytes < 1000) {
        return message(BytesMessage).arg(bytes);
    }
    double value = double(bytes) / 1000.0;
    int unit = KilobytesMessage;
    // Decided on the rounded figure: 999.6 kB would read "1000 kB", which is "1.0 MB".
    while (unit < GigabytesMessage && std::round(value) >= 1000.0) {
        value /= 1000.0;
        ++unit;
    }
    // Likewise 99.96 kB reads "100 kB", not "100.0 kB".
    const int decimals = std::round(value * 10.0) < 1000.0 ? 1 : 0;
    return message(unit).arg(numberLocale().toString(value, 'f', decimals));
}

QString formatDuration(qint64 seconds)
{
    seconds = std::max<qint64>(seconds, 0);
    if (seconds < 60) {
        return message(SecondsMessage).arg(seconds);
    }
    if (seconds < 3600) {
        return message(MinutesMessage).arg(seconds / 60).arg(seconds % 60);
    }
    return message(HoursMessage).arg(seconds / 3600).arg(seconds % 3600 / 60);
}

QString transferStatusLine(qint64 received, qint64 total, std::optional<double> bytesPerSecond,
                           std::optional<qint64> secondsLeft)
{
    QStringList parts;
    if (total < 0) {
        parts.append(message(ReceivedMessage).arg(formatBytes(received)));
    }
    if (bytesPerSecond) {
        parts.append(formatRate(*bytesPerSecond));
    }
    if (total >= 0 && secondsLeft) {
        qint64 left = std::max<qint64>(*secondsLeft, 0);
        if (left >= 3600) {
            left = roundUpTo(left, 60);
        } else if (left >= 600) {
            left = roundUpTo(left, 10);
        }
        parts.append(message(LeftMessage).arg(formatDuration(left)));
    }
    return parts.join(separator());
}

QString downloadStatusLine(const DownloadProgress &progress)
{
    // Not the last estimate: "1 s left" under a full bar reads as still running.
    if (progress.phase == DownloadPhase::Finished) {
        // Where it came from, when that is not the manifest's own server.
        return progress.server <= 1
                   ? message(CompleteMessage).arg(formatBytes(progress.receivedBytes))
                   : message(CompleteFromMessage)
                         .arg(formatBytes(progress.receivedBytes), serverName(progress.address));
    }
    QString line = transferStatusLine(progress.receivedBytes, progress.expectedBytes,
                                      progress.bytesPerSecond, progress.secondsLeft);
    if (!progress.damagedBy.isEmpty()) {
        return message(DamagedMessage)
            .arg(serverName(progress.damagedBy), QString::number(progress.serversAtWork));
    }
    if (progress.carriedFrom > 0) {
        const QString carrying = message(CarryingOnMessage).arg(formatBytes(progress.carriedFrom));
        return line.isEmpty() ? carrying : carrying + separator() + line;
    }
    if (progress.serversAtWork > 1) {
        const QString servers = message(ServersMessage).arg(progress.serversAtWork);
        return line.isEmpty() ? servers : servers + separator() + line;
    }
    if (progress.server <= 1) {
        return line;
    }
    // Named only when it is not the first: a mirror at work is worth knowing.
    const QString server = message(ServerMessage)
                               .arg(serverName(progress.address), QString::number(progress.server),
                                    QString::number(progress.servers));
    return line.isEmpty() ? server : server + separator() + line;
}

QString serverName(const QString &address)
{
    const QUrl url(address);
    const int port = url.port();
    const bool defaultPort = port < 0 ||
                             port == (url.scheme() == QLatin1String("https") ? 443 : 80);
    const QString host = url.host().contains(QLatin1Char(':'))
                             ? QLatin1Char('[') + url.host() + QLatin1Char(']')
                             : url.host();
    return defaultPort ? host : host + QLatin1Char(':') + QString::number(port);
}

QString retryStatusLine(int attempt, int attempts, qint64 secondsToNext)
{
    return message(RetryMessage)
        .arg(QString::number(attempt), QString::number(attempts), formatDuration(secondsToNext));
}

std::optional<QString> statusLineNow(const DownloadProgress &progress,
                                     const std::optional<RetryWait> &retry)
{
    if (retry && progress.phase != DownloadPhase::Finished) {
        return retryStatusLine(retry->retry, retry->retries, (retry->msecsLeft + 999) / 1000);
    }
    // While the kept bytes are checked, that is what goes on.
    if (progress.phase == DownloadPhase::Preparing && progress.carriedFrom > 0) {
        return message(CarryingOnMessage).arg(formatBytes(progress.carriedFrom));
    }
    if (progress.phase == DownloadPhase::Preparing || progress.phase == DownloadPhase::Failed) {
        return std::nullopt;
    }
    return downloadStatusLine(progress);
}

std::optional<double> taskbarProgress(const DownloadProgress &progress)
{
    if (progress.expectedBytes <= 0) {
        return std::nullopt;
    }
    return std::clamp(double(progress.receivedBytes) / double(progress.expectedBytes), 0.0, 1.0);
}
