#pragma once

#include <QByteArray>
#include <QRandomGenerator>

// Bytes no coincidence can pass off as right; the same for the same size, so
// that a failure repeats.
inline QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(static_cast<quint32>(size));
    for (char &byte : bytes) {
        byte = static_cast<char>(generator.generate());
    }
    return bytes;
}
