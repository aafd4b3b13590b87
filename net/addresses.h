#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <optional>

namespace NetRules {

// The URL of an address a request is sent to: http or https with a host, and
// everything after the host taken literally as its path, since release names
// may hold blanks, "#", "?" or "%", and none of them means anything to the
// server. Nothing for any other address.
std::optional<QUrl> requestUrl(const QString &address);

// The Range header's value for the bytes first to last (inclusive; -1: to the
// end); empty when the whole file is asked for.
QByteArray rangeHeader(qint64 first, qint64 last = -1);

} // namespace NetRules
