#pragma once

#include <QByteArray>
#include <QString>

// A synchronous HTTP GET. It throws RuntimeError naming the address when there
// is no answer, when the answer is not a success, or when the body is larger
// than maxBytes: an error page is never taken for the content.
class HttpRequest
{
public:
    virtual ~HttpRequest() = default;
    virtual QByteArray Get(const QString &address, qint64 maxBytes) = 0;
};
