#include "failure_texts.h"

namespace FailureTexts {

QString attempts(int count)
{
    if (count < 2) {
        return {};
    }
    return QStringLiteral(" (%1 attempts)").arg(count);
}

QString answeredHttp(const QString &address, int status, const QString &reason)
{
    return QStringLiteral("%1 answered HTTP %2 %3")
        .arg(address, QString::number(status), reason)
        .trimmed();
}

QString answeredHttpForRange(const QString &address, int status, const QString &reason,
                             qint64 resumeFrom)
{
    return QStringLiteral("%1 answered HTTP %2 %3 when asked for the bytes from %4 on")
        .arg(address, QString::number(status), reason, QString::number(resumeFrom));
}

QString noAnswer(const QString &address, const QString &why)
{
    return QStringLiteral("No answer from %1: %2").arg(address, why);
}

QString noAnswerWithin(const QString &address, std::chrono::milliseconds timeout)
{
    return QStringLiteral("No answer from %1 within %2 seconds")
        .arg(address, QString::number(double(timeout.count()) / 1000.0));
}

QString noDataFor(const QString &address, std::chrono::milliseconds timeout)
{
    return QStringLiteral("No data from %1 for %2 seconds")
        .arg(address, QString::number(double(timeout.count()) / 1000.0));
}

QString slowerThan(const QString &address, qint64 minBytesPerSecond,
                   std::chrono::milliseconds window)
{
    return QStringLiteral("The request for %1 timed out: its answer came slower than %2 bytes/s "
                          "over %3 s")
        .arg(address, QString::number(minBytesPerSecond),
             QString::number(double(window.count()) / 1000.0));
}

QString transferBrokeOff(const QString &address, const QString &why)
{
    return QStringLiteral("The transfer of %1 broke off: %2").arg(address, why);
}

QString transferBrokeOffAfter(const QString &address, qint64 position, qint64 total)
{
    return QStringLiteral("The transfer of %1 broke off after %2 of %3 bytes")
        .arg(address, QString::number(position), QString::number(total));
}

QString answerBrokeOff(const QString &address, const QString &why)
{
    return QStringLiteral("The answer from %1 broke off: %2").arg(address, why);
}

QString answerTooLarge(const QString &address, qint64 maxBytes)
{
    return QStringLiteral("The answer from %1 is larger than %2 bytes")
        .arg(address, QString::number(maxBytes));
}

QString sentMoreThanAnnounced(const QString &address, qint64 announced, qint64 from)
{
    return QStringLiteral("%1 sent more than the %2 bytes it announced from byte %3 on")
        .arg(address, QString::number(announced), QString::number(from));
}

QString cancelled(const QString &address)
{
    return QStringLiteral("The transfer of %1 was cancelled").arg(address);
}

QString partsRefused(const QString &address)
{
    return QStringLiteral("%1 sent the whole file when asked for a part of it: it does not serve "
                          "parts, so several servers cannot share the file")
        .arg(address);
}

QString certificateNotVerified(const QString &address, const QStringList &errors)
{
    return QStringLiteral("Cannot verify the TLS certificate of %1: %2")
        .arg(address, errors.join(QLatin1String("; ")));
}

QString insecureRedirect(const QString &address, const QString &target)
{
    return QStringLiteral("%1 redirected to %2, which was not followed")
        .arg(address, target.isEmpty()
                          ? QStringLiteral("an insecure http address")
                          : QStringLiteral("the insecure http address %1").arg(target));
}

QString noSecureConnection(const QString &address, const QString &why)
{
    return QStringLiteral("No secure connection to %1: %2").arg(address, why);
}

QString proxyFailure(ProxyFault fault, const QString &proxy, const QString &source,
                     const QString &address, const QString &why)
{
    const QString named = QStringLiteral("The proxy %1 (from %2)").arg(proxy, source);
    switch (fault) {
    case ProxyFault::Refused:
        return QStringLiteral("%1 refused the connection for %2").arg(named, address);
    case ProxyFault::NotFound:
        return QStringLiteral("%1 cannot be found, so %2 cannot be reached through it: %3")
            .arg(named, address, why);
    case ProxyFault::RejectedCredentials:
        return QStringLiteral("%1 did not accept the user name and password it was given for %2")
            .arg(named, address);
    case ProxyFault::WantsCredentials:
        return QStringLiteral("%1 asks for a user name and password for %2, and none is set")
            .arg(named, address);
    case ProxyFault::Other:
        break;
    }
    return QStringLiteral("%1 failed for %2: %3").arg(named, address, why);
}

QString wrongRange(const QString &address, const QString &contentRange, qint64 resumeFrom,
                   qint64 total)
{
    return QStringLiteral("%1 sent the range \"%2\" when asked for the bytes from %3 on of a "
                          "file of %4 bytes")
        .arg(address, contentRange, QString::number(resumeFrom), QString::number(total));
}

QString wrongRangeLength(const QString &address, qint64 length, const QString &contentRange)
{
    return QStringLiteral("%1 sent %2 bytes for the range \"%3\"")
        .arg(address, QString::number(length), contentRange);
}

} // namespace FailureTexts
