#pragma once

#include "background_sha256.h"
#include "release_pin.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <memory>

// The file a download is written to. The bytes go to "<path>.part", which
// takes the final name in one rename only once the download is whole (and
// matches its pin), so the final name never holds a partial release: not after
// a failure, a cancel, nor a killed process. An older file at the final name
// stays untouched until that rename replaces it.
//
// Chunks are gathered and written in large blocks: a system call per 1 KiB
// chunk would cost more than the network. Every failure is a RuntimeError that
// names the file and gives the reason. An unfinished .part is deleted when this
// goes away.
//
// What the manifest pins is checked on the way: a body that grows past the
// pinned size fails at once, and the SHA-256 of what was written is compared
// after the last byte.
class TargetFile final
{
public:
    static constexpr qsizetype BlockBytes = 256 * 1024;
    static constexpr QLatin1String PartSuffix{".part"};

    // Opens "<path>.part" for writing from its first byte; a .part left by an
    // earlier run is replaced. Nothing at path itself changes yet.
    explicit TargetFile(const QString &path, const ReleasePin &pin = {});
    ~TargetFile();
    TargetFile(const TargetFile &) = delete;
    TargetFile &operator=(const TargetFile &) = delete;

    static QString partPath(const QString &path) { return path + PartSuffix; }

    void write(const QByteArray &bytes);
    // Bytes taken so far.
    qint64 size() const { return m_received; }
    // Empties the file, for a download that starts again from its first byte.
    void restart();
    // Writes out what is gathered, closes the file, checks it against the pin
    // and gives it the final name.
    void finish();
    // Closes and deletes the partial file.
    void discard();

private:
    void writePending();
    void checkPin();
    [[noreturn]] void fail(const QString &what) const;
    [[noreturn]] void refuse(const QString &why) const;

    QString m_path;
    QFile m_file;
    QByteArray m_pending;
    ReleasePin m_pin;
    // On a thread of its own: the digest must not slow the transfer down.
    std::unique_ptr<BackgroundSha256> m_sha256;
    qint64 m_received = 0;
    bool m_finished = false;
};
