#pragma once

#include "sha256.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QString>

// Files as the tests make and read them; a file that cannot be read reads empty.
inline QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Nothing at all at path: no file, no folder, not even a link that leads nowhere.
inline bool nothingAt(const QString &path)
{
    const QFileInfo info(path);
    return !info.exists() && !info.isSymLink();
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A manifest line listing file under name, pinning body's SHA-256 and size.
inline QByteArray pinnedLine(const QByteArray &file, const QByteArray &name, const QByteArray &body)
{
    return "W2003\t" + file + '\t' + name + '\t' + Sha256::hash(body).toHex() + '\t' +
           QByteArray::number(body.size()) + '\n';
}
