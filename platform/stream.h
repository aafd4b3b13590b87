#pragma once

#include <QByteArray>
#include <QString>

// Saves bytes to a file, creating it or overwriting an existing one. It never
// writes through a symbolic link. Throws RuntimeError naming the file on failure.
class Stream
{
public:
    virtual ~Stream() = default;
    virtual void SaveToFile(const QByteArray &bytes, const QString &path) = 0;
};
