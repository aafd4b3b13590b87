#pragma once

#include "sha256.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <sys/stat.h>
#include <unistd.h>

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

// Moves only path's change time, by setting its mode again as it is: its bytes,
// size and modification time stay. Again at the clock's next tick when the
// change fell on the tick of the one before. False when it could not.
inline bool changeStatusOnly(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat before = {};
    if (::stat(name.constData(), &before) != 0) {
        return false;
    }
    for (int i = 0; i < 2000; ++i) {
        struct stat after = {};
        if (::chmod(name.constData(), before.st_mode & 07777) != 0 ||
            ::stat(name.constData(), &after) != 0) {
            return false;
        }
        if (after.st_ctim.tv_sec != before.st_ctim.tv_sec ||
            after.st_ctim.tv_nsec != before.st_ctim.tv_nsec) {
            return true;
        }
        ::usleep(1000);
    }
    return false;
}

// A manifest line listing file under name, pinning body's SHA-256 and size.
inline QByteArray pinnedLine(const QByteArray &file, const QByteArray &name, const QByteArray &body)
{
    return "W2003\t" + file + '\t' + name + '\t' + Sha256::hash(body).toHex() + '\t' +
           QByteArray::number(body.size()) + '\n';
}

// A pieces line for file, giving the SHA-256 of each pieceBytes of body.
inline QByteArray piecesLine(const QByteArray &file, const QByteArray &body, qsizetype pieceBytes)
{
    QByteArray line = "PIECES\t" + file + '\t' + QByteArray::number(pieceBytes) + '\t';
    for (qsizetype at = 0; at < body.size(); at += pieceBytes) {
        line += Sha256::hash(body.mid(at, pieceBytes)).toHex();
    }
    return line + '\n';
}
