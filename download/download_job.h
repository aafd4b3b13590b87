#pragma once

#include "release_pin.h"
#include "server_list.h"
#include "transfer_meter.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <memory>
#include <optional>

class FileSystem;
class ReleaseFile;
class RuntimeError;
class TargetFile;

// Where a download stands.
enum class DownloadPhase {
    Preparing,      // its size is asked for; nothing is written yet
    Receiving,      // the .part grows
    WaitingToRetry, // the transfer waits to try again; the rate runs down meanwhile
    ChangingServer, // the server failed; the next one is asked, the .part waits for it
    Finished,       // whole, checked and under its final name
    Failed,         // given up, failed or cancelled; the .part is gone
};

// The room a release takes and the room there is, as the question about it
// needs them. What cannot be told passes: a full disk is still reported when
// it happens.
struct DownloadRoom
{
    qint64 neededBytes = -1; // -1 when the size is not known
    qint64 freeBytes = -1;   // counting a stale .part's room; -1 when it cannot be told
    bool fits() const { return neededBytes <= 0 || freeBytes < 0 || neededBytes <= freeBytes; }
};

// What the bar and the line under it show.
struct DownloadProgress
{
    DownloadPhase phase = DownloadPhase::Preparing;
    qint64 receivedBytes = 0;
    qint64 expectedBytes = -1; // -1 when not known
    qint16 percentage = 0;
    std::optional<double> bytesPerSecond;
    std::optional<qint64> secondsLeft;
    // The address serving the release, and its place among the servers.
    QString address;
    int server = 1;
    int servers = 1;
};

// Where the next attempt goes after a server failed: the release's address on
// the next server, and the byte to ask it for the release from.
struct NextServer
{
    QString address;
    qint64 from = 0;
};

// One release downloaded into its folder, without a window or a socket. It
// decides; the window feeds it what the transfer control hands out and the
// time, and shows what it reports. Failures are RuntimeErrors, as TargetFile
// throws them.
//
// The release may be offered by several servers (the manifest's, then its
// mirrors): when one fails, the job says which is next and from which byte.
class DownloadJob final
{
public:
    // addresses: the release's on each server, in the order they are tried.
    DownloadJob(FileSystem &fileSystem, const QString &folder, const QString &path,
                const ReleasePin &pin, const QStringList &addresses = {});
    ~DownloadJob();
    DownloadJob(const DownloadJob &) = delete;
    DownloadJob &operator=(const DownloadJob &) = delete;

    // The answer to the size probe: its status and its Content-Length. Only a
    // success tells the release's size: an error page's length is its own.
    void takeProbe(int status, const QString &contentLength);
    // The size the server announced for the release, -1 when it did not.
    void announce(qint64 bytes);
    // The size the manifest pins, else the one announced; -1 when neither is known.
    qint64 expectedBytes() const;
    bool isSizePinned() const { return m_pin.size > 0; }
    // The expected size as far as 32 bits hold it, else -1.
    qint32 remoteSize() const;
    // Whether the release fits in the folder's volume: a .part left there by an
    // earlier run is replaced, so its room counts as free.
    DownloadRoom room() const;

    // The response came, with these headers: the .part is made for the body
    // about to come, or, from another server, kept for it.
    void answered(const QString &contentLength, const QString &contentRange);
    // Writes chunk, which starts at offset in the release. An offset below what
    // was written means the release comes again from its first byte: what was
    // written goes first, so that two versions are never joined. True then.
    bool receive(const QByteArray &chunk, qint64 offset);
    // Checks what was written and gives it the release's name.
    ReleaseFile finish();
    // Deletes the .part.
    void fail();

    // The address the release is fetched from now.
    QString address() const { return m_servers.current(); }
    // Whether another server may not fail the same way: the transfer failed,
    // or what came is not the release the manifest pins. A disk that is full
    // is full whatever the server.
    static bool isServerFailure(const RuntimeError &failure);
    // After a failure: the next server and the byte it is asked from. Bytes
    // another server wrote are carried on only when the pinned SHA-256 checks
    // the whole file at the end; otherwise, and after a mismatch, the .part is
    // emptied. Throws the failure itself when no server would do better, and
    // the report naming every server when none is left.
    NextServer afterFailure(const RuntimeError &failure);

    // Measures the rate at msecs of a monotonic clock; waitingToRetry tells
    // whether the transfer waits to try again.
    void tick(qint64 msecs, bool waitingToRetry);
    DownloadPhase phase() const { return m_run.phase; }
    // From the response on, failed or not, until the next server is asked.
    bool isReceiving() const;
    // Cheap enough for every chunk, unlike progress().
    qint16 percentage() const { return m_run.percentage; }
    DownloadProgress progress() const;

private:
    // What one run of the transfer has come to; a new run starts from a fresh one.
    struct Run
    {
        DownloadPhase phase = DownloadPhase::Preparing;
        qint16 percentage = 0;
        TransferMeter meter;
    };

    FileSystem &m_fileSystem;
    QString m_folder;
    QString m_path;
    ReleasePin m_pin;
    qint64 m_announcedBytes = -1;
    ServerList m_servers;
    std::unique_ptr<TargetFile> m_target;
    Run m_run;
};
