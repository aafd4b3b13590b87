#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <memory>

// The file a download is written to. Every failure is a RuntimeError that names
// the file and gives the system's reason.

// Opens path for writing from its first byte; whatever it held before is gone.
std::unique_ptr<QFile> openTarget(const QString &path);

// Appends bytes through the file's buffer: a full disk shows at the write that
// flushes the buffer, or at the latest in closeTarget.
void writeTarget(QFile &file, const QByteArray &bytes);

// Writes out what is buffered and closes the file after the last chunk.
void closeTarget(QFile &file);

// Closes and deletes a partial file, so that it cannot pass for a finished
// download. Nothing to do when file is empty.
void discardTarget(std::unique_ptr<QFile> &file);
