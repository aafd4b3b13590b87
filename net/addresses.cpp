#include "addresses.h"

namespace NetRules {

std::optional<QUrl> requestUrl(const QString &address)
{
    const qsizetype schemeEnd = address.indexOf(QLatin1String("://"));
    if (schemeEnd < 0) {
        return std::nullopt;
    }
    const qsizetype pathStart = address.indexOf(QLatin1Char('/'), schemeEnd + 3);
    QUrl url(address.left(pathStart), QUrl::StrictMode);
    if (pathStart >= 0) {
        url.setPath(address.mid(pathStart), QUrl::DecodedMode);
    }
    const QString scheme = url.scheme();
    if (!url.isValid() || url.host().isEmpty() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        return std::nullopt;
    }
    return url;
}

QByteArray rangeHeader(qint64 first, qint64 last)
{
    if (first <= 0 && last < 0) {
        return {};
    }
    return "bytes=" + QByteArray::number(first) + '-' +
           (last >= 0 ? QByteArray::number(last) : QByteArray());
}

} // namespace NetRules
