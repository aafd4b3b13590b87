// Feeds arbitrary header values to the size parser: it must never crash, give
// either -1 or a positive 32-bit size, agree with itself on the number it gave
// and with a plain reading of plain digits.
#include "remote_size.h"

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>

namespace {

// Plain digits, nothing else: the reading any parser must agree with.
std::optional<qint64> plainDigits(const QString &text)
{
    if (text.isEmpty() || text.size() > 18) {
        return std::nullopt;
    }
    qint64 value = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            return std::nullopt;
        }
        value = value * 10 + (c.unicode() - '0');
    }
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data),
                                           static_cast<qsizetype>(size));
    const qint32 parsed = parseRemoteSize(text);
    if (parsed != -1 && parsed <= 0) {
        std::abort();
    }
    if (parsed > 0 && parseRemoteSize(QString::number(parsed)) != parsed) {
        std::abort();
    }
    if (const std::optional<qint64> digits = plainDigits(text)) {
        const bool fits = *digits > 0 && *digits <= std::numeric_limits<qint32>::max();
        if (parsed != (fits ? *digits : -1)) {
            std::abort();
        }
    }
    return 0;
}
