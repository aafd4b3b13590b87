#pragma once

#include "background_sha256.h"
#include "file_descriptor.h"
#include "part_record.h"
#include "release_file.h"
#include "release_pin.h"
#include "runtime_error.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

// The file a download is written to. The bytes go to "<path>.part", which
// takes the final name in one rename only once the download is whole (and
// matches its pin) and is on the disk, so the final name never holds a partial
// release: not after a failure, a cancel, a killed process nor a power cut. An
// older file at the final name stays untouched until that rename replaces it.
//
// The .part is this program's own: made afresh, exclusively and private (0600)
// in the folder held open from the start, never opened through whatever stood
// at its name before (a link, a FIFO, another name of someone's file), and
// deleted only while it is still the file made here. What is checked at the
// end is what is on the disk: a file nobody else could have written (private
// all along, one name, the user's), or, where the volume keeps no owners (FAT,
// exFAT, NTFS), the bytes read back and hashed. Only then does it get the mode
// a new file of the user's has, and its name.
//
// Chunks are gathered and written in large blocks: a system call per 1 KiB
// chunk would cost more than the network. Every failure is a RuntimeError that
// names the file and gives the reason. An unfinished .part is deleted when this
// goes away, unless it is kept for a later run to carry on with: it then keeps
// a record of which release it holds and which of its bytes are on the disk,
// written only once those bytes are.
//
// What the manifest pins is checked on the way: a body that grows past the
// pinned size fails at once, and the SHA-256 of what was written is compared
// after the last byte.
class TargetFile final
{
public:
    static constexpr qsizetype BlockBytes = 256 * 1024;
    // Written out to the disk as it comes, this much at a time.
    static constexpr qint64 WritebackBytes = 8 * 1024 * 1024;
    static constexpr QLatin1String PartSuffix{".part"};
    // A kept piece up to this size is held while it is checked, so that it is
    // read once for its own check and the whole file's hash.
    static constexpr qint64 MaxHeldBytes = 64 * 1024 * 1024;
    // A .part of another release left this long is deleted by the next
    // download into its folder that succeeds.
    static constexpr qint64 StalePartSeconds = 7 * 24 * 3600;

    // Makes "<path>.part" for writing; a plain file or link left there by an
    // earlier run is removed first, anything else there is an error. Nothing at
    // path itself changes yet. The folder is the one path is in now, whatever
    // is done to its name later.
    explicit TargetFile(const QString &path, const ReleasePin &pin = {});
    ~TargetFile();
    // Takes over the .part an earlier run left at path's, when it is this
    // program's own: a plain file, not a link, with one name, the user's and
    // private (where the volume keeps owners), with its record. Nothing when
    // there is none such: the constructor then replaces it.
    static std::unique_ptr<TargetFile> takeOver(const QString &path, const ReleasePin &pin);
    TargetFile(const TargetFile &) = delete;
    TargetFile &operator=(const TargetFile &) = delete;

    static QString partPath(const QString &path) { return path + PartSuffix; }
    // The room a .part left at path's by an earlier run gives back when it is
    // replaced: the blocks it takes when it is a plain file with no other name
    // (a sparse file's holes take none), else 0.
    static qint64 reclaimableBytes(const QString &path);

    void write(const QByteArray &bytes);
    // Bytes taken so far.
    qint64 size() const { return m_received; }

    // For a file whose pieces come in any order, from several servers: takes
    // its whole size on the disk now, so that a full disk shows before the
    // transfer rather than half way through a file of holes. writeAt, sha256Of
    // and wholeUpTo replace write from here on.
    void allocate(qint64 size);
    // Writes bytes at offset. Runs of chunks that follow each other are
    // gathered and written in blocks, a few runs at a time.
    void writeAt(qint64 offset, const QByteArray &bytes);
    // The SHA-256 of length bytes at offset, as they are on the disk.
    QByteArray sha256Of(qint64 offset, qint64 length);
    // The file's first end bytes are whole: what of them is not hashed yet is
    // read back and hashed, in order, so that little is left to do at the end.
    void wholeUpTo(qint64 end);
    // Empties the file, for a download that starts again from its first byte.
    void restart();

    // The record the .part was taken over with.
    const PartRecord &takenOver() const { return m_takenOver; }
    // Whether who may have written the file can be told from its owner and mode.
    bool keepsOwners() const { return m_keepsOwners; }
    // Reads back length kept bytes at offset: whether they hash to sha256
    // (when it is not empty). Those that pass and follow the bytes hashed
    // before also go into the whole file's hash.
    bool checkKept(qint64 offset, qint64 length, QByteArrayView sha256);
    // The file goes on, written in order, after its first end bytes, which it
    // keeps: anything after them goes.
    void carryOnAt(qint64 end);
    // Puts everything written so far on the disk, then records that record's
    // bytes are there, for a run that carries on after this one ends.
    void recordKept(const PartRecord &record);
    // Closes the file and leaves it, with its last record, for a later run.
    void keep();
    // Writes out what is gathered, checks it against the pin, puts it on the
    // disk, checks what is there, and gives it its mode and the final name: the
    // release, held open as it was checked.
    ReleaseFile finish();
    // Closes and deletes the partial file.
    void discard();

    // Runs right before the check that the .part is still the file made here,
    // which the rename follows: where a test stands in for someone who swaps it then.
    void setBeforeRename(std::function<void()> beforeRename)
    {
        m_beforeRename = std::move(beforeRename);
    }
    // Runs right after the rename, before its check: where a test stands in
    // for someone who changes the folder then.
    void setAfterRename(std::function<void()> afterRename)
    {
        m_afterRename = std::move(afterRename);
    }
    // Puts a descriptor's file or folder on the disk, as fsync does (and
    // fdatasync, before a record): where a test sees what is synced, and when.
    void setSync(const std::function<int(int)> &sync) { m_sync = m_dataSync = sync; }

private:
    enum class Opening { Create, TakeOver };
    TargetFile(const QString &path, const ReleasePin &pin, Opening opening);
    void createPart();
    // Opens the .part there is, if it is ours, and reads its record.
    bool takeOverPart();
    std::optional<PartRecord> readRecord(int part, quint64 inode);
    void writeRecord(const QByteArray &bytes);
    // Removes the record beside the .part, if there is one.
    void removeSideRecord();
    // Deletes the plain file at name in the folder, if there is one, as removeOurs does.
    void removeFileAt(const QByteArray &name) const;
    // Removes the .part's record, wherever it is kept.
    void forgetRecord();
    // Deletes the .parts of other downloads into the folder that this program
    // left more than StalePartSeconds ago: nothing offers them any more.
    void removeStaleParts() const;
    QByteArray sideName() const { return m_partName + PartRecord::SideSuffix.latin1(); }
    void writePending();
    // Writes the gathered runs at their offsets.
    void writeRuns();
    void writeAtOffset(qint64 offset, const char *data, qint64 size);
    // Reads size bytes at offset into buffer, which it sizes.
    void readAt(qint64 offset, qint64 size, QByteArray &buffer);
    // The digest of what was written, when it was hashed.
    QByteArray checkPin();
    void checkOnDisk(const QByteArray &digest);
    void giveFinalMode();
    // Whether name, in the folder, leads to the file open as made.
    bool isOurs(const QByteArray &name, int made) const;
    // Deletes the file open as made, found at name, and nothing else.
    void removeOurs(const QByteArray &name, int made) const;
    [[noreturn]] void fail(const QString &what, int error) const;
    // Another file took the .part's name.
    RuntimeError replaced() const;
    [[noreturn]] void refuse(const QString &why) const;

    QString m_path;
    QString m_partPath;
    QByteArray m_name;
    QByteArray m_partName;
    FileDescriptor m_folder;
    // Whether the volume keeps owners and modes, so that they tell who can
    // have written the .part.
    bool m_keepsOwners = true;
    // Whether something stood at the final name when this began.
    bool m_replacesOlder = false;
    FileDescriptor m_writer;
    // The same file, read-only: what finish hands on to be started.
    FileDescriptor m_reader;
    QByteArray m_pending;
    ReleasePin m_pin;
    // On a thread of its own: the digest must not slow the transfer down. Also
    // without a pinned digest where the bytes on the disk are read back.
    std::unique_ptr<BackgroundSha256> m_sha256;
    qint64 m_received = 0;
    // For pieces in any order: the size taken, the runs not yet written (each
    // at its offset) and how far the whole file's hash has come.
    struct Run
    {
        qint64 offset = 0;
        QByteArray bytes;
    };
    static constexpr int MaxRuns = 4;
    qint64 m_allocated = -1;
    QList<Run> m_runs;
    qint64 m_hashedUpTo = 0;
    QByteArray m_readBuffer;
    // Written to the file, and of that, handed to the disk.
    qint64 m_written = 0;
    qint64 m_writtenBack = 0;
    bool m_finished = false;
    PartRecord m_takenOver;
    // Where the volume has no extended attributes, the record is a file beside
    // the .part.
    bool m_recordBeside = false;
    std::function<void()> m_beforeRename;
    std::function<void()> m_afterRename;
    std::function<int(int)> m_sync;
    std::function<int(int)> m_dataSync;
};
