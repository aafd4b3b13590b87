#include "byte_count.h"

#include <limits>

std::optional<qint64> parseByteCount(QStringView text)
{
    if (text.isEmpty()) {
        return std::nullopt;
    }
    qint64 value = 0;
    for (const QChar c : text) {
        const char16_t code = c.unicode();
        if (code < u'0' || code > u'9') {
            return std::nullopt;
        }
        const int digit = code - u'0';
        if (value > (std::numeric_limits<qint64>::max() - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}
