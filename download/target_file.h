#pragma once

#include "background_sha256.h"
#include "release_pin.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <memory>

// The file a download is written to. Chunks are gathered and written in large
// blocks: a system call per 1 KiB chunk would cost more than the network. Every
// failure is a RuntimeError that names the file and gives the reason. A file
// that was not finished is deleted when this goes away, so that a partial or
// unverified download can never pass for a finished one.
//
// What the manifest pins is checked on the way: a body that grows past the
// pinned size fails at once, and the SHA-256 of what was written is compared
// after the last byte.
class TargetFile final
{
public:
    static constexpr qsizetype BlockBytes = 256 * 1024;

    // Opens path for writing from its first byte; whatever it held before is gone.
    explicit TargetFile(const QString &path, const ReleasePin &pin = {});
    ~TargetFile();
    TargetFile(const TargetFile &) = delete;
    TargetFile &operator=(const TargetFile &) = delete;

    void write(const QByteArray &bytes);
    // Writes out what is gathered, closes the file and checks it against the pin.
    void finish();
    // Closes and deletes the partial file.
    void discard();

private:
    void writePending();
    void checkPin();
    [[noreturn]] void fail(const QString &what) const;
    [[noreturn]] void refuse(const QString &why) const;

    QFile m_file;
    QByteArray m_pending;
    ReleasePin m_pin;
    // On a thread of its own: the digest must not slow the transfer down.
    std::unique_ptr<BackgroundSha256> m_sha256;
    qint64 m_received = 0;
    bool m_finished = false;
};
