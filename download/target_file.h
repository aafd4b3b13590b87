#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// The file a download is written to. Chunks are gathered and written in large
// blocks: a system call per 1 KiB chunk would cost more than the network. Every
// failure is a RuntimeError that names the file and gives the system's reason.
// A file that was not finished is deleted when this goes away, so that a
// partial download can never pass for a finished one.
class TargetFile final
{
public:
    static constexpr qsizetype BlockBytes = 256 * 1024;

    // Opens path for writing from its first byte; whatever it held before is gone.
    explicit TargetFile(const QString &path);
    ~TargetFile();
    TargetFile(const TargetFile &) = delete;
    TargetFile &operator=(const TargetFile &) = delete;

    void write(const QByteArray &bytes);
    // Writes out what is gathered and closes the file after the last chunk.
    void finish();
    // Closes and deletes the partial file.
    void discard();

private:
    void writePending();
    [[noreturn]] void fail(const QString &what) const;

    QFile m_file;
    QByteArray m_pending;
    bool m_finished = false;
};
