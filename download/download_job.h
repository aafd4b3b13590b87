#pragma once

#include "part_record.h"
#include "piece_plan.h"
#include "release_pin.h"
#include "server_list.h"
#include "transfer_control.h"
#include "transfer_meter.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>
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
    Failed,         // given up, failed or cancelled; the .part is gone, or kept to carry on
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
    // Fetched from several servers at once: how many are still at it; 0 when
    // one server serves it.
    int serversAtWork = 0;
    // A server that sent damaged data and was left, said for a moment.
    QString damagedBy;
    // The bytes an earlier run left that this one carries on from, said while
    // they are checked and for a moment after; -1 otherwise.
    qint64 carriedFrom = -1;
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
// mirrors). A release pinned by its SHA-256 and size is fetched from all of
// them at once, in pieces, each written at its place (the job is then the
// transfer's PieceSource); with the pieces' digests, each piece is checked as
// it lands and a server that sent a damaged one is left. Otherwise, and when
// the whole does not match, one server at a time: when one fails, the job says
// which is next and from which byte.
//
// A download that ends before it is whole for a reason that is not its own (the
// network failed, the program was ended) keeps its .part, with a record of what
// it holds, and the next download of the same release carries on from there:
// what was kept is checked against the pins first, and an unpinned release is
// asked of the same server only with If-Range, so that two versions are never
// joined. Records are written every RecordMsecs, each once the bytes it counts
// are on the disk.
class DownloadJob final : public PieceSource
{
public:
    // How a release on several servers is fetched, when its pin allows both.
    enum class Sharing { AtOnce, OneAtATime };

    // addresses: the release's on each server, in the order they are tried.
    DownloadJob(FileSystem &fileSystem, const QString &folder, const QString &path,
                const ReleasePin &pin, const QStringList &addresses = {},
                Sharing sharing = Sharing::AtOnce);
    ~DownloadJob() override;

    // A piece's length when the manifest gives no digests of its own.
    static constexpr qint64 PieceBytes = 4 * 1024 * 1024;
    // How long the line under the bar names a server that sent damaged data,
    // or says that the download carries on from an earlier run's bytes.
    static constexpr qint64 DamageNoticeMsecs = 4000;
    static constexpr qint64 CarryOnNoticeMsecs = 4000;
    // How often what is on the disk is recorded for a later run: each record
    // waits for the disk.
    static constexpr qint64 RecordMsecs = 1000;

    // Whether the release is fetched from its servers at once (ExecutePieces),
    // rather than from one server at a time.
    bool fetchesPieces() const { return m_plan != nullptr; }
    // The release's address on each server.
    const QStringList &addresses() const { return m_addresses; }
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

    // Before the transfer: takes over the .part an earlier run left, when it
    // holds this release and this program made it. Its kept bytes are then
    // checked by checkNextKept, before the transfer starts.
    void takeOverPart();
    // Checks the next of the kept bytes, a piece at a time so that the window
    // stays alive; false once all are checked.
    bool checkNextKept();
    // Where the transfer starts: past the kept bytes, one server at a time; 0
    // when nothing is carried on. From several servers, the pieces still to come.
    qint64 carriedFrom() const { return m_carry.from; }
    // What vouches, in If-Range, that the server's file is the one kept; empty
    // when the pins check it instead.
    const QByteArray &carriedValidator() const { return m_carry.validator; }

    // The response came, with these headers: the .part is made for the body
    // about to come, or, from another server, kept for it.
    void answered(const QString &contentLength, const QString &contentRange,
                  const QString &etag = {}, const QString &lastModified = {});
    // Writes chunk, which starts at offset in the release. An offset below what
    // was written means the release comes again from its first byte: what was
    // written goes first, so that two versions are never joined. True then.
    // From several servers at once, the chunk goes at offset whatever came
    // before, and server is the one that sent it.
    bool receive(const QByteArray &chunk, qint64 offset, int server = 0);
    // Checks what was written and gives it the release's name.
    ReleaseFile finish();
    // Deletes the .part.
    void fail();
    // Ends the download for a later run to carry on with, when it can: the
    // .part is put on the disk and kept with its record. Otherwise, or when
    // that fails, it is deleted. Returns whether it was kept.
    bool suspend();
    // Ends the download after failure: kept, as suspend keeps it, when the
    // network failed; deleted for anything else (a mismatch, the disk). Returns
    // the failure to report, which then says the .part was kept.
    RuntimeError stop(const RuntimeError &failure);

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

    // Puts a descriptor's file on the disk, as fsync does, for every .part this
    // job writes: where a test sees what is on the disk, and when.
    void setSync(std::function<int(int)> sync) { m_sync = std::move(sync); }

    // PieceSource: what the transfer asks each server for.
    std::optional<std::pair<qint64, qint64>> nextSpan(int server) override;
    qint64 spanEnd(int server) const override;
    void interrupted(int server) override;
    void serverFailed(int server, const RuntimeError &failure) override;
    bool isWhole() const override;
    qint64 fileSize() const override { return m_pin.size; }
    bool serves(int server) const override { return m_plan && !m_plan->isDropped(server); }

private:
    // Checks a piece that became whole; a damaged one is fetched again, and a
    // server that alone sent it is left.
    void checkPiece(int piece);
    // From several servers at once to one at a time, each from byte 0, from
    // the server at index first on.
    NextServer oneServerAtATime(qsizetype first, const QString &why);
    qint64 receivedBytes() const;
    // Why a kept .part with record is not this release's; empty when it is.
    QString notCarriedOn(const PartRecord &record, bool keepsOwners) const;
    // What a record written now would say.
    PartRecord record() const;
    // Whether a record could bring a later run anything.
    bool canCarryOn() const;
    // Puts what is written on the disk and records it, when that changed.
    void recordKept();

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
    QStringList m_addresses;
    ServerList m_servers;
    // While the release comes from several servers at once.
    std::unique_ptr<PiecePlan> m_plan;
    // Why each server was left, by its index, while they serve at once.
    QList<std::optional<RuntimeError>> m_serverFailures;
    QString m_damagedBy;
    qint64 m_damagedAt = 0;
    qint64 m_now = 0;
    std::unique_ptr<TargetFile> m_target;
    Run m_run;
    // What vouches for the bytes of an unpinned release: its server's validator.
    QString m_servedBy;
    QByteArray m_validator;
    // Carrying on with an earlier run's .part: what it kept, how far that is
    // checked, and where the transfer starts.
    struct Carry
    {
        PartRecord taken;
        qint64 checked = 0;
        bool checking = false;
        qint64 from = 0;
        QByteArray validator;
        qint64 noticeUntil = -1;
    };
    Carry m_carry;
    PartRecord m_recorded;
    qint64 m_recordedAt = 0;
    std::function<int(int)> m_sync;
};
