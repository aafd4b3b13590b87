#include "target_file.h"

#include "diagnostics.h"
#include "file_ownership.h"
#include "runtime_error.h"
#include "sha256.h"
#include "shell.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QScopeGuard>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <exception>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utility>

namespace {

int errorNumberOf(int error)
{
    switch (error) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return ErrorNumber::DiskFull;
    case EACCES:
    case EPERM:
    case EROFS:
    case ENOENT:
    case ENOTDIR:
    case EEXIST:
    case EISDIR:
        return ErrorNumber::PathAccess;
    default:
        return ErrorNumber::DeviceIo;
    }
}

QString kindOf(mode_t mode)
{
    if (S_ISDIR(mode)) {
        return QStringLiteral("a folder");
    }
    if (S_ISFIFO(mode)) {
        return QStringLiteral("a FIFO");
    }
    if (S_ISSOCK(mode)) {
        return QStringLiteral("a socket");
    }
    return QStringLiteral("a device");
}

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The mode a new file of the user's gets: 0666 less the umask, which cannot be
// read without setting it, except here.
mode_t newFileMode()
{
    QFile status(QStringLiteral("/proc/self/status"));
    mode_t umask = 022;
    if (status.open(QIODevice::ReadOnly)) {
        for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
            if (line.startsWith("Umask:")) {
                bool ok = false;
                const uint value = line.mid(6).trimmed().toUInt(&ok, 8);
                umask = ok ? mode_t(value & 0777) : umask;
                break;
            }
        }
    }
    return 0666 & ~umask;
}

bool isAfter(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
}

// A write stamps a file with the clock of the last tick. So that one made just
// after others may write to the file cannot carry the stamp of the last write
// here, waits for the next tick: a few milliseconds at most, a second on a
// volume that keeps whole seconds.
void waitPast(const struct timespec &stamp)
{
    const struct timespec oneMs = {0, 1000 * 1000};
    for (int i = 0; i < 1100; ++i) {
        struct timespec now = {};
        ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
        if (stamp.tv_nsec == 0 ? now.tv_sec > stamp.tv_sec : isAfter(now, stamp)) {
            return;
        }
        ::nanosleep(&oneMs, nullptr);
    }
}

// Opens name in folder to look at it: never through a link, and never held
// up by a FIFO.
FileDescriptor openToLook(int folder, const char *name)
{
    return FileDescriptor(::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
}

// A file only this program can have made and written: the user's, private,
// with one name.
bool isPrivatePart(const struct stat &status)
{
    return status.st_uid == ::geteuid() && (status.st_mode & 07777) == 0600 && status.st_nlink == 1;
}

} // namespace

TargetFile::TargetFile(const QString &path, const ReleasePin &pin)
    : TargetFile(path, pin, Opening::Create)
{
}

std::unique_ptr<TargetFile> TargetFile::takeOver(const QString &path, const ReleasePin &pin)
{
    std::unique_ptr<TargetFile> target(new TargetFile(path, pin, Opening::TakeOver));
    if (!target->m_writer.isValid()) {
        target->m_finished = true;
        return nullptr;
    }
    return target;
}

TargetFile::TargetFile(const QString &path, const ReleasePin &pin, Opening opening)
    : m_path(path), m_partPath(partPath(path)),
      m_name(QFile::encodeName(QFileInfo(path).fileName())),
      m_partName(m_name + PartSuffix.latin1()), m_pin(pin), m_sync(::fsync), m_dataSync(::fdatasync)
{
    // Everything from here on goes through this descriptor: a folder renamed
    // and put back by someone else is not this one.
    m_folder.reset(::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!m_folder.isValid()) {
        fail(QStringLiteral("Cannot create \"%1\""), errno);
    }
    m_keepsOwners = keepsOwnersAndModes(m_folder.get());
    struct stat older = {};
    m_replacesOlder = ::fstatat(m_folder.get(), m_name.constData(), &older, AT_SYMLINK_NOFOLLOW) ==
                      0;
    if (m_pin.pinsDigest() || !m_keepsOwners) {
        m_sha256 = std::make_unique<BackgroundSha256>();
    }
    if (opening == Opening::TakeOver) {
        if (!takeOverPart()) {
            return;
        }
    } else {
        createPart();
        // A record left beside an earlier .part is not this one's.
        removeSideRecord();
    }
    m_pending.reserve(BlockBytes);
}

TargetFile::~TargetFile()
{
    if (!m_finished) {
        discard();
    }
}

qint64 TargetFile::reclaimableBytes(const QString &path)
{
    struct stat status = {};
    if (::lstat(QFile::encodeName(partPath(path)).constData(), &status) != 0 ||
        !S_ISREG(status.st_mode) || status.st_nlink != 1) {
        return 0;
    }
    // What it takes on the disk, not its length: a planted sparse file of a
    // terabyte gives back nothing.
    return qint64(status.st_blocks) * 512;
}

void TargetFile::createPart()
{
    const int folder = m_folder.get();
    const char *part = m_partName.constData();
    // Exclusive and never through a link: whatever stood at the name, the bytes
    // go only into a file made here. Something put back between the removal and
    // the creation is removed again, a few times at most. Private, so that
    // nobody else can write to it, whatever the umask or the folder's default
    // ACL would give.
    for (int round = 0; round < 3; ++round) {
        m_writer.reset(
            ::openat(folder, part, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (m_writer.isValid()) {
            break;
        }
        if (errno != EEXIST) {
            fail(QStringLiteral("Cannot create \"%1\""), errno);
        }
        struct stat stale = {};
        if (::fstatat(folder, part, &stale, AT_SYMLINK_NOFOLLOW) != 0) {
            continue; // gone meanwhile
        }
        // A plain file or a link is what an earlier run, or a copy, leaves:
        // removing the name touches neither what a link leads to nor another
        // name of the same file.
        if (!S_ISREG(stale.st_mode) && !S_ISLNK(stale.st_mode)) {
            throw RuntimeError(ErrorNumber::PathAccess,
                               QStringLiteral("Cannot create \"%1\": %2 is in the way there. "
                                              "Nothing was changed; move it away and try again.")
                                   .arg(m_partPath, kindOf(stale.st_mode)));
        }
        if (::unlinkat(folder, part, 0) != 0 && errno != ENOENT) {
            fail(QStringLiteral("Cannot replace \"%1\""), errno);
        }
    }
    if (!m_writer.isValid()) {
        fail(QStringLiteral("Cannot create \"%1\""), EEXIST);
    }
    // Read back later by what starts the release, which a writer held open
    // would keep from running. Opened now, while the name is surely ours.
    m_reader = openToLook(folder, part);
    if (!m_reader.isValid() || !isOurs(m_partName, m_reader.get())) {
        const int error = m_reader.isValid() ? EEXIST : errno;
        m_reader.reset();
        m_writer.reset();
        fail(QStringLiteral("Cannot open \"%1\" again after creating it"), error);
    }
}

bool TargetFile::takeOverPart()
{
    const int folder = m_folder.get();
    const char *part = m_partName.constData();
    // Only a plain file is looked at, through the descriptor that is then
    // written to.
    FileDescriptor reader = openToLook(folder, part);
    struct stat status = {};
    if (!reader.isValid() || ::fstat(reader.get(), &status) != 0) {
        return false;
    }
    const auto notOurs = [this](const char *why) {
        qCInfo(lcDownload).noquote()
            << QStringLiteral("%1 is not carried on (%2): it is replaced").arg(m_partPath, why);
        return false;
    };
    if (!S_ISREG(status.st_mode)) {
        return notOurs("not a plain file");
    }
    // What only this program makes: others cannot have written to it.
    if (m_keepsOwners && !isPrivatePart(status)) {
        return notOurs("not private to the user, or with another name");
    }
    const std::optional<PartRecord> record = readRecord(reader.get(), quint64(status.st_ino));
    if (!record) {
        return notOurs("no record of what it holds");
    }
    FileDescriptor writer(::openat(folder, part, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat written = {};
    if (!writer.isValid() || ::fstat(writer.get(), &written) != 0 || !sameFile(status, written)) {
        return notOurs("changed while it was opened");
    }
    m_reader = std::move(reader);
    m_writer = std::move(writer);
    m_takenOver = *record;
    // A file cut shorter than its record (a volume that lost its end) keeps
    // only what it has.
    QList<ByteSpan> &kept = m_takenOver.kept;
    kept.removeIf([&status](const ByteSpan &span) { return span.begin >= status.st_size; });
    if (!kept.isEmpty()) {
        kept.last().end = std::min<qint64>(kept.last().end, status.st_size);
    }
    return true;
}

std::optional<PartRecord> TargetFile::readRecord(int part, quint64 inode)
{
    QByteArray bytes(PartRecord::MaxBytes + 1, Qt::Uninitialized);
    const ssize_t size = ::fgetxattr(part, PartRecord::Attribute, bytes.data(), bytes.size());
    if (size >= 0) {
        bytes.resize(size);
        return PartRecord::fromBytes(bytes);
    }
    if (errno != EOPNOTSUPP && errno != ENODATA) {
        return std::nullopt;
    }
    m_recordBeside = errno == EOPNOTSUPP;
    // Beside the .part, the same rules as for the .part itself, and it must
    // name this very .part where the volume keeps owners.
    FileDescriptor beside = openToLook(m_folder.get(), sideName().constData());
    struct stat status = {};
    if (!beside.isValid() || ::fstat(beside.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_size > PartRecord::MaxBytes ||
        (m_keepsOwners &&
         (status.st_uid != ::geteuid() || (status.st_mode & 077) != 0 || status.st_nlink != 1))) {
        return std::nullopt;
    }
    const ssize_t read = ::pread(beside.get(), bytes.data(), bytes.size(), 0);
    if (read < 0) {
        return std::nullopt;
    }
    bytes.resize(read);
    std::optional<PartRecord> record = PartRecord::fromBytes(bytes);
    if (!record || (m_keepsOwners && record->part != inode)) {
        return std::nullopt;
    }
    m_recordBeside = true;
    return record;
}

void TargetFile::recordKept(const PartRecord &record)
{
    writeRuns();
    if (m_allocated < 0) {
        writePending();
    }
    // The record must never claim bytes a power cut could still take back.
    if (m_dataSync(m_writer.get()) != 0) {
        fail(QStringLiteral("Cannot write \"%1\" to the disk"), errno);
    }
    PartRecord stored = record;
    struct stat status = {};
    if (::fstat(m_reader.get(), &status) == 0) {
        stored.part = quint64(status.st_ino);
    }
    writeRecord(stored.toBytes());
}

void TargetFile::writeRecord(const QByteArray &bytes)
{
    if (bytes.isEmpty()) {
        return;
    }
    if (!m_recordBeside) {
        if (::fsetxattr(m_writer.get(), PartRecord::Attribute, bytes.constData(),
                        size_t(bytes.size()), 0) == 0) {
            return;
        }
        if (errno != EOPNOTSUPP) {
            // Without a record a later run starts again, as it always did.
            qCInfo(lcDownload).noquote() << QStringLiteral("Cannot record what %1 holds: %2")
                                                .arg(m_partPath, qt_error_string(errno));
            return;
        }
        m_recordBeside = true;
    }
    // Written whole under a name nobody else knows, then renamed over the
    // last: a cut leaves the old record or the new, never half of one.
    const int folder = m_folder.get();
    const QByteArray aside = '.' + sideName() + '-' +
                             QByteArray::number(QRandomGenerator::system()->generate64(), 36);
    FileDescriptor file(::openat(folder, aside.constData(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    const bool written = file.isValid() &&
                         ::write(file.get(), bytes.constData(), size_t(bytes.size())) ==
                             bytes.size() &&
                         ::renameat(folder, aside.constData(), folder, sideName().constData()) == 0;
    if (!written) {
        qCInfo(lcDownload).noquote() << QStringLiteral("Cannot record what %1 holds: %2")
                                            .arg(m_partPath, qt_error_string(errno));
        if (file.isValid()) {
            ::unlinkat(folder, aside.constData(), 0);
        }
    }
}

void TargetFile::forgetRecord()
{
    if (m_recordBeside) {
        removeSideRecord();
    } else if (m_writer.isValid()) {
        ::fremovexattr(m_writer.get(), PartRecord::Attribute);
    }
}

void TargetFile::removeSideRecord()
{
    removeFileAt(sideName());
}

void TargetFile::removeFileAt(const QByteArray &name) const
{
    const FileDescriptor file = openToLook(m_folder.get(), name.constData());
    if (file.isValid()) {
        removeOurs(name, file.get());
    }
}

bool TargetFile::checkKept(qint64 offset, qint64 length, QByteArrayView sha256)
{
    // Held until they are checked when they continue the whole file's hash:
    // only bytes that passed may go into it.
    const bool continues = m_sha256 && offset == m_hashedUpTo && length <= MaxHeldBytes;
    QList<QByteArray> held;
    Sha256 piece;
    for (qint64 done = 0; done < length;) {
        const qint64 size = std::min<qint64>(BlockBytes * 4, length - done);
        QByteArray block = continues ? m_sha256->spareBlock() : std::move(m_readBuffer);
        readAt(offset + done, size, block);
        piece.addData(block);
        if (continues) {
            held.append(std::move(block));
        } else {
            m_readBuffer = std::move(block);
        }
        done += size;
    }
    if (!sha256.isEmpty() && piece.result() != sha256) {
        return false;
    }
    for (QByteArray &block : held) {
        m_hashedUpTo += block.size();
        m_sha256->addData(std::move(block));
    }
    return true;
}

void TargetFile::carryOnAt(qint64 end)
{
    while (m_sha256 && m_hashedUpTo < end) {
        checkKept(m_hashedUpTo, std::min<qint64>(WritebackBytes, end - m_hashedUpTo), {});
    }
    if (::ftruncate(m_writer.get(), end) != 0) {
        fail(QStringLiteral("Cannot carry on with \"%1\""), errno);
    }
    m_allocated = -1;
    m_received = end;
    m_written = end;
    m_writtenBack = end;
}

void TargetFile::keep()
{
    m_pending.clear();
    m_runs.clear();
    m_writer.reset();
    m_reader.reset();
    m_finished = true;
}

bool TargetFile::isOurs(const QByteArray &name, int made) const
{
    struct stat atName = {};
    struct stat held = {};
    return ::fstatat(m_folder.get(), name.constData(), &atName, AT_SYMLINK_NOFOLLOW) == 0 &&
           ::fstat(made, &held) == 0 && S_ISREG(atName.st_mode) && sameFile(atName, held);
}

void TargetFile::removeOurs(const QByteArray &name, int made) const
{
    const int folder = m_folder.get();
    // Checked, then deleted, by a name nobody else knows beforehand: between
    // a check and a deletion by the usual name, another's file could take it.
    const QByteArray aside = '.' + name + ".deleted-" +
                             QByteArray::number(QRandomGenerator::system()->generate64(), 36);
    if (::renameat2(folder, name.constData(), folder, aside.constData(), RENAME_NOREPLACE) != 0) {
        // A volume that cannot rename without replacing: the narrowest it can do.
        if (errno == EINVAL && isOurs(name, made)) {
            ::unlinkat(folder, name.constData(), 0);
        }
        return;
    }
    if (isOurs(aside, made)) {
        ::unlinkat(folder, aside.constData(), 0);
    } else {
        // Another's file had taken the name: it goes back, untouched.
        ::renameat2(folder, aside.constData(), folder, name.constData(), RENAME_NOREPLACE);
    }
}

void TargetFile::write(const QByteArray &bytes)
{
    m_received += bytes.size();
    // At once, not at the end: a body that never ends must not fill the disk.
    if (m_pin.pinsSize() && m_received > m_pin.size) {
        refuse(QStringLiteral("it is larger than the %1 bytes the manifest lists; the transfer "
                              "was stopped")
                   .arg(m_pin.size));
    }
    m_pending.append(bytes);
    if (m_pending.size() >= BlockBytes) {
        writePending();
    }
}

void TargetFile::allocate(qint64 size)
{
    m_allocated = size;
    m_runs.clear();
    m_hashedUpTo = 0;
    if (size <= 0) {
        return;
    }
    int error = ::fallocate(m_writer.get(), 0, 0, size) == 0 ? 0 : errno;
    if (error == EOPNOTSUPP) {
        // A volume that cannot reserve room still takes the length; a full
        // disk then shows when a piece is written, as it would anyway.
        error = ::ftruncate(m_writer.get(), size) == 0 ? 0 : errno;
    }
    if (error != 0) {
        fail(QStringLiteral("Cannot make room for \"%1\""), error);
    }
}

void TargetFile::writeAt(qint64 offset, const QByteArray &bytes)
{
    if (offset < 0 || offset + bytes.size() > m_allocated) {
        refuse(QStringLiteral("a piece of it lies past the %1 bytes the manifest lists")
                   .arg(m_allocated));
    }
    for (Run &run : m_runs) {
        if (run.offset + run.bytes.size() == offset) {
            run.bytes.append(bytes);
            if (run.bytes.size() >= BlockBytes) {
                writeAtOffset(run.offset, run.bytes.constData(), run.bytes.size());
                run.offset += run.bytes.size();
                run.bytes.resize(0);
            }
            return;
        }
    }
    if (m_runs.size() == MaxRuns) {
        // The run that waited longest goes out; its buffer starts the new one.
        Run oldest = m_runs.takeFirst();
        writeAtOffset(oldest.offset, oldest.bytes.constData(), oldest.bytes.size());
        oldest.bytes.resize(0);
        m_runs.append(Run{offset, std::move(oldest.bytes)});
    } else {
        m_runs.append(Run{offset, QByteArray()});
        m_runs.last().bytes.reserve(BlockBytes);
    }
    m_runs.last().bytes.append(bytes);
}

QByteArray TargetFile::sha256Of(qint64 offset, qint64 length)
{
    writeRuns();
    Sha256 sha256;
    for (qint64 done = 0; done < length;) {
        const qint64 size = std::min<qint64>(BlockBytes * 4, length - done);
        readAt(offset + done, size, m_readBuffer);
        sha256.addData(m_readBuffer);
        done += size;
    }
    return sha256.result();
}

void TargetFile::wholeUpTo(qint64 end)
{
    end = std::min(end, m_allocated);
    // In blocks, and not for every chunk: each read back first writes what is
    // gathered.
    if (end - m_hashedUpTo < WritebackBytes && end != m_allocated) {
        return;
    }
    writeRuns();
    while (m_hashedUpTo < end) {
        const qint64 size = std::min<qint64>(BlockBytes * 4, end - m_hashedUpTo);
        QByteArray block = m_sha256 ? m_sha256->spareBlock() : QByteArray();
        readAt(m_hashedUpTo, size, block);
        if (m_sha256) {
            m_sha256->addData(std::move(block));
        }
        m_hashedUpTo += size;
    }
    m_received = m_hashedUpTo;
}

void TargetFile::writeRuns()
{
    for (Run &run : m_runs) {
        writeAtOffset(run.offset, run.bytes.constData(), run.bytes.size());
        run.offset += run.bytes.size();
        run.bytes.resize(0);
    }
}

void TargetFile::writeAtOffset(qint64 offset, const char *data, qint64 size)
{
    while (size > 0) {
        // A write cut short (a disk filling up) is tried again for the rest,
        // which then fails with the reason.
        const ssize_t written = ::pwrite(m_writer.get(), data, size_t(size), offset);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            fail(QStringLiteral("Cannot write to \"%1\""), written < 0 ? errno : ENOSPC);
        }
        data += written;
        size -= written;
        offset += written;
        m_written += written;
    }
    // Started now, not waited for: the sync before the rename then finds little
    // left to write, where it would otherwise write the whole file at the end.
    if (m_written - m_writtenBack >= WritebackBytes) {
        ::sync_file_range(m_writer.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
        m_writtenBack = m_written;
    }
}

void TargetFile::readAt(qint64 offset, qint64 size, QByteArray &buffer)
{
    buffer.resize(size);
    for (qint64 done = 0; done < size;) {
        const ssize_t read = ::pread(m_reader.get(), buffer.data() + done, size_t(size - done),
                                     offset + done);
        if (read < 0 && errno == EINTR) {
            continue;
        }
        if (read <= 0) {
            fail(QStringLiteral("Cannot read \"%1\" back"), read < 0 ? errno : EIO);
        }
        done += read;
    }
}

void TargetFile::restart()
{
    m_allocated = -1;
    m_runs.clear();
    m_hashedUpTo = 0;
    m_pending.resize(0);
    m_received = 0;
    m_written = 0;
    m_writtenBack = 0;
    if (m_sha256) {
        m_sha256 = std::make_unique<BackgroundSha256>();
    }
    // What was kept is gone: a record of it would be a lie.
    forgetRecord();
    if (::ftruncate(m_writer.get(), 0) != 0) {
        fail(QStringLiteral("Cannot empty \"%1\""), errno);
    }
}

ReleaseFile TargetFile::finish()
{
    if (m_allocated >= 0) {
        wholeUpTo(m_allocated);
    }
    writePending();
    const QByteArray digest = checkPin();
    // The release under its name carries nothing of the download.
    forgetRecord();
    // On the disk before it takes the name: after a power cut the name must
    // not hold an empty or partial file.
    if (m_sync(m_writer.get()) != 0) {
        fail(QStringLiteral("Cannot write \"%1\" to the disk"), errno);
    }
    m_writer.reset();
    checkOnDisk(digest);
    struct stat written = {};
    if (::fstat(m_reader.get(), &written) != 0) {
        fail(QStringLiteral("Cannot read \"%1\" back"), errno);
    }
    if (m_keepsOwners) {
        waitPast(written.st_mtim);
    }
    giveFinalMode();
    if (m_beforeRename) {
        m_beforeRename();
    }
    // Whatever has taken the .part's name since is not to be given the
    // release's. A stranger slipped in between this check and the rename is
    // caught by the one after it.
    if (!isOurs(m_partName, m_reader.get())) {
        throw replaced();
    }
    // One step that replaces an older file, or a link, where QFile::rename
    // would refuse to, or remove it first and leave a moment with neither.
    const int folder = m_folder.get();
    if (::renameat(folder, m_partName.constData(), folder, m_name.constData()) != 0) {
        const int error = errno;
        throw RuntimeError(ErrorNumber::PathAccess,
                           QStringLiteral("Cannot rename \"%1\" to \"%2\": %3")
                               .arg(m_partPath, m_path, qt_error_string(error)));
    }
    m_finished = true;
    if (m_afterRename) {
        m_afterRename();
    }
    FileDescriptor folderCopy(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
    ReleaseFile release(m_path, std::move(folderCopy), std::move(m_reader),
                        m_pin.pinsDigest() ? m_pin.sha256 : digest);
    if (!release.isUnchangedAtPath()) {
        throw RuntimeError(ErrorNumber::PathAccess,
                           QStringLiteral("\"%1\" now holds another's file, not this download: it "
                                          "was put there as the download took the name%2. "
                                          "Nothing was started.")
                               .arg(m_path, m_replacesOlder
                                                ? QStringLiteral(", and the older file that "
                                                                 "had the name is gone")
                                                : QString()));
    }
    // Written to since the check, as others could once it had its mode.
    if (release.modifiedNs() !=
        qint64(written.st_mtim.tv_sec) * 1000 * 1000 * 1000 + written.st_mtim.tv_nsec) {
        removeOurs(m_name, release.descriptor());
        throw RuntimeError(ErrorNumber::PathAccess,
                           QStringLiteral("\"%1\" was written to by someone else as it took its "
                                          "name; it was deleted and nothing was started")
                               .arg(m_path));
    }
    removeStaleParts();
    // The rename itself on the disk too.
    if (m_sync(folder) != 0) {
        // Some file systems cannot sync a folder; the file itself is on the disk.
        qCInfo(lcDownload).noquote()
            << QStringLiteral("Cannot write the folder of %1 to the disk: %2")
                   .arg(m_path, qt_error_string(errno));
    }
    return release;
}

void TargetFile::removeStaleParts() const
{
    const int folder = m_folder.get();
    const int listed = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *entries = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (!entries) {
        if (listed >= 0) {
            ::close(listed);
        }
        return;
    }
    const auto closeEntries = qScopeGuard([entries] { ::closedir(entries); });
    struct timespec now = {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const QByteArray suffix = PartSuffix.latin1();
    while (const struct dirent *entry = ::readdir(entries)) {
        const QByteArray name(entry->d_name);
        if (!name.endsWith(suffix) || name.size() == suffix.size()) {
            continue;
        }
        const FileDescriptor part = openToLook(folder, name.constData());
        struct stat status = {};
        // Only what this program made and recorded: a browser's .part, or one
        // of someone else's, is not ours to delete.
        if (!part.isValid() || ::fstat(part.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
            status.st_mtim.tv_sec > now.tv_sec - StalePartSeconds ||
            (m_keepsOwners && !isPrivatePart(status))) {
            continue;
        }
        const QByteArray beside = name + PartRecord::SideSuffix.latin1();
        const bool recorded = ::fgetxattr(part.get(), PartRecord::Attribute, nullptr, 0) >= 0 ||
                              ::faccessat(folder, beside.constData(), F_OK, AT_SYMLINK_NOFOLLOW) ==
                                  0;
        if (!recorded) {
            continue;
        }
        qCInfo(lcDownload).noquote()
            << QStringLiteral("Deleting %1, left by a download more than a week ago")
                   .arg(QFile::decodeName(name));
        removeOurs(name, part.get());
        removeFileAt(beside);
    }
}

QByteArray TargetFile::checkPin()
{
    if (m_pin.pinsSize() && m_received != m_pin.size) {
        refuse(QStringLiteral("it has %1 bytes, the manifest lists %2")
                   .arg(m_received)
                   .arg(m_pin.size));
    }
    if (!m_sha256) {
        return {};
    }
    QByteArray digest;
    try {
        digest = m_sha256->result();
    } catch (const std::exception &error) {
        throw RuntimeError(ErrorNumber::DeviceIo,
                           QStringLiteral("Cannot work out the SHA-256 of \"%1\": %2")
                               .arg(m_partPath, QString::fromLocal8Bit(error.what())));
    }
    if (m_pin.pinsDigest()) {
        if (digest != m_pin.sha256) {
            refuse(QStringLiteral("its SHA-256 is %1, the manifest lists %2")
                       .arg(QString::fromLatin1(digest.toHex()),
                            QString::fromLatin1(m_pin.sha256.toHex())));
        }
        qCInfo(lcDownload).noquote()
            << "SHA-256 as the manifest lists:" << QString::fromLatin1(digest.toHex());
    }
    return digest;
}

void TargetFile::checkOnDisk(const QByteArray &digest)
{
    const auto changed = [this](const QString &how) {
        throw RuntimeError(ErrorNumber::PathAccess,
                           QStringLiteral("\"%1\" was changed by someone else while it was "
                                          "downloaded (%2); it was deleted and nothing was "
                                          "started")
                               .arg(m_partPath, how));
    };
    if (m_keepsOwners) {
        // Private from its creation on, with this one name: nobody else can
        // have opened it for writing.
        struct stat status = {};
        if (::fstat(m_reader.get(), &status) != 0) {
            fail(QStringLiteral("Cannot read \"%1\" back"), errno);
        }
        if ((status.st_mode & 07777) != 0600 || status.st_uid != ::geteuid()) {
            changed(QStringLiteral("its mode or owner is not the one it was made with"));
        }
        if (status.st_nlink == 0) {
            throw replaced();
        }
        if (status.st_nlink != 1) {
            changed(QStringLiteral("it was given another name"));
        }
        if (status.st_size != m_received) {
            changed(QStringLiteral("it has %1 bytes, %2 were written")
                        .arg(status.st_size)
                        .arg(m_received));
        }
        return;
    }
    // Owner and mode come from the mount here: only the bytes themselves tell.
    const FileDigest onDisk = sha256OfDescriptor(m_reader.get(), m_partPath);
    if (!onDisk.error.isEmpty()) {
        throw RuntimeError(ErrorNumber::DeviceIo, onDisk.error);
    }
    if (onDisk.digest != digest) {
        changed(QStringLiteral("what it holds is not what was written"));
    }
}

void TargetFile::giveFinalMode()
{
    char head[4] = {};
    const ssize_t read = ::pread(m_reader.get(), head, sizeof head, 0);
    const bool program = read > 0 &&
                         launchKindOf(QByteArray(head, int(read))) == LaunchKind::Execute;
    // What a new file of the user's gets, and a program its owner may run.
    const mode_t mode = newFileMode() | (program ? S_IXUSR : 0);
    // Where the mount decides modes, it may refuse; that changes nothing.
    if (::fchmod(m_reader.get(), mode) != 0 && m_keepsOwners) {
        fail(QStringLiteral("Cannot set the mode of \"%1\""), errno);
    }
}

void TargetFile::discard()
{
    m_pending.clear();
    m_writer.reset();
    // Only the file made here: what has taken its name since is not ours to delete.
    if (m_reader.isValid()) {
        removeOurs(m_partName, m_reader.get());
        if (m_recordBeside) {
            removeSideRecord();
        }
    }
    m_reader.reset();
    m_finished = true;
}

void TargetFile::writePending()
{
    writeAtOffset(m_written, m_pending.constData(), m_pending.size());
    if (m_sha256 && !m_pending.isEmpty()) {
        // Handed over whole; the next block goes into one already hashed.
        m_sha256->addData(std::exchange(m_pending, m_sha256->spareBlock()));
        m_pending.reserve(BlockBytes);
    } else {
        m_pending.resize(0);
    }
}

RuntimeError TargetFile::replaced() const
{
    return {ErrorNumber::PathAccess,
            QStringLiteral("\"%1\" was replaced while the download was written to it; nothing "
                           "was started")
                .arg(m_partPath)};
}

void TargetFile::refuse(const QString &why) const
{
    // The file goes when this does, before anyone reads the message.
    throw RuntimeError(ErrorNumber::ReleaseMismatch,
                       QStringLiteral("The download of \"%1\" is not the listed release: %2. "
                                      "It was deleted and nothing was started.")
                           .arg(m_path, why));
}

void TargetFile::fail(const QString &what, int error) const
{
    throw RuntimeError(errorNumberOf(error),
                       what.arg(m_partPath) + QLatin1String(": ") + qt_error_string(error));
}
