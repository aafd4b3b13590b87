#include "remote_size.h"

#include <QRegularExpression>

#include <limits>

qint32 parseRemoteSize(const QString &text)
{
    static const QRegularExpression number(QStringLiteral("^([+-]?)(\\d*)(?:\\.(\\d*))?$"));
    const QRegularExpressionMatch match = number.match(text.trimmed());
    const QString whole = match.captured(2);
    const QString fraction = match.captured(3);
    if (!match.hasMatch() || (whole.isEmpty() && fraction.isEmpty())) {
        return -1;
    }
    if (match.captured(1) == QLatin1String("-")) {
        return -1; // nothing negative rounds up past 0
    }

    // Digits are taken exactly; a value too long for 64 bits is out of range anyway.
    bool ok = true;
    qint64 value = whole.isEmpty() ? 0 : whole.toLongLong(&ok);
    if (!ok || value > std::numeric_limits<qint32>::max()) {
        return -1;
    }
    if (!fraction.isEmpty()) {
        const QChar first = fraction.front();
        const bool restIsZero = fraction.mid(1).count(QLatin1Char('0')) == fraction.size() - 1;
        if (first > QLatin1Char('5') || (first == QLatin1Char('5') && !restIsZero) ||
            (first == QLatin1Char('5') && value % 2 != 0)) {
            ++value;
        }
    }
    if (value <= 0 || value > std::numeric_limits<qint32>::max()) {
        return -1;
    }
    return static_cast<qint32>(value);
}
