#include "manifest_tool.h"

#include "byte_count.h"
#include "file_descriptor.h"
#include "manifest.h"
#include "manifest_reader.h"
#include "manifest_signature_policy.h"
#include "minisign.h"
#include "mirror_list.h"
#include "printable_text.h"
#include "release_pin.h"
#include "sha256.h"
#include "text_lines.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>
#include <QTextStream>

#include <optional>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ManifestTool {

namespace {

const char Help[] = R"(Usage:
  orbistane-manifest check DIR [--public-key KEY] [--max-age-days N]
  orbistane-manifest add DIR FILE "Display name"
  orbistane-manifest --help

check  Reads DIR/manifest.txt as the program reads it: lists every release the
       program would show, says which lines it would skip and why, and checks
       that each listed file is in DIR with the SHA-256 and size the manifest
       pins. With --public-key, DIR/manifest.txt.minisig must first be a valid
       signature by KEY whose trusted comment names manifest.txt (it shows the
       signing date), and lines that do not pin both SHA-256 and size are
       skipped, as in the program built with that key. KEY is the base64 line
       of a minisign .pub file (several separated by commas), or the path of
       the .pub file. --max-age-days N (with --public-key) also refuses a
       signature made more than N days ago, more than a day ahead or at no
       stated time, as the program built with MANIFEST_MAX_AGE_DAYS=N does.
       Lines tagged MIRROR give in field 1 the address of a folder that holds
       the same releases: check prints the mirrors the program would try after
       the download server, in order, and which mirror lines it would skip and
       why. A mirror line it cannot read is an error; a duplicate, or an http://
       mirror in a manifest that pins no SHA-256, a warning. The manifest is
       taken to be served over https, beside which an http:// mirror serves only
       pinned releases. Lines tagged PIECES give the SHA-256 of each piece of
       the releases of a file listed before them: each piece is checked too,
       and a PIECES line the program would ignore is an error (a second one for
       the same releases, a warning).

add    Adds the line for FILE, a file in DIR, to DIR/manifest.txt: platform tag,
       file name, display name, SHA-256 and size, followed by the PIECES line
       with the SHA-256 of each 4 MiB of it (more when that makes over 4096
       pieces). If the manifest has a line for FILE already, that line is
       updated instead, and the PIECES line follows the last line for FILE;
       FILE's old PIECES lines are dropped. Every other line, MIRROR lines
       included, is kept byte for byte. The manifest is created if there
       is none; else it is replaced whole, keeping its permissions. Sign it
       again afterwards: minisign -Sm DIR/manifest.txt

A release must be a regular file, or a symbolic link to one inside DIR; its
size, SHA-256 and piece digests are taken from one opening of it.
DIR/manifest.txt and its signature must be regular files, not links. Control
characters from the manifest, the signature, the key or the command line are
printed escaped (\x1B).

Findings go to standard output, errors and warnings to standard error.

Exit status:
  0  everything holds (check), or the manifest was written (add)
  1  the folder does not check out, or the manifest could not be written
  2  the command line is wrong
)";

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// DIR, held open: the manifest and its signature are opened relative to it, so
// that a folder swapped for another between two steps changes nothing.
struct Folder
{
    QString path; // as given, for messages
    FileDescriptor descriptor;
    QString error;

    QString filePath(const QString &name) const { return QDir(path).filePath(name); }
};

Folder openFolder(const QString &path)
{
    Folder folder;
    folder.path = path;
    folder.descriptor.reset(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.descriptor.isValid()) {
        folder.error = QStringLiteral("%1 is not a folder: %2").arg(path, errorText(errno));
    }
    return folder;
}

// What a file of the folder holds, or why it could not be read.
struct FolderFile
{
    QString path;
    QByteArray bytes;
    bool exists = false;
    mode_t mode = 0; // its permissions
    QString error;
};

// Reads a regular file of at most maxBytes. Opened without blocking and checked
// before a byte is read: a FIFO at its name would otherwise hold the tool up for
// ever, and a device would pour out bytes. A symbolic link is refused, even one
// that leads inside the folder: add would write through it, and the server may
// well not follow it.
FolderFile readFolderFile(const Folder &folder, const QString &name, qint64 maxBytes)
{
    FolderFile read;
    read.path = folder.filePath(name);
    const FileDescriptor descriptor(
        ::openat(folder.descriptor.get(), QFile::encodeName(name).constData(),
                 O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW));
    if (!descriptor.isValid()) {
        const int error = errno;
        // A link, even to nothing, is there all the same: writing to it would go elsewhere.
        read.exists = error != ENOENT;
        if (error == ELOOP) {
            read.error = QStringLiteral("%1 is a symbolic link, which the tool does not follow: "
                                        "put the file itself there")
                             .arg(read.path);
        } else {
            read.error = read.exists
                             ? QStringLiteral("cannot read %1: %2").arg(read.path, errorText(error))
                             : QStringLiteral("%1 does not exist").arg(read.path);
        }
        return read;
    }
    read.exists = true;
    struct stat status = {};
    if (::fstat(descriptor.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        read.error = QStringLiteral("%1 is not a regular file").arg(read.path);
        return read;
    }
    read.mode = status.st_mode & (S_IRWXU | S_IRWXG | S_IRWXO);
    if (status.st_size > maxBytes) {
        read.error = QStringLiteral("%1 is larger than %2 bytes, which the program refuses")
                         .arg(read.path)
                         .arg(maxBytes);
        return read;
    }
    QFile file;
    if (!file.open(descriptor.get(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle)) {
        read.error = QStringLiteral("cannot read %1: %2").arg(read.path, file.errorString());
        return read;
    }
    read.bytes = file.read(maxBytes + 1);
    if (read.bytes.size() > maxBytes) {
        read.error = QStringLiteral("%1 is larger than %2 bytes, which the program refuses")
                         .arg(read.path)
                         .arg(maxBytes);
    } else if (file.error() != QFileDevice::NoError) {
        read.error = QStringLiteral("cannot read %1: %2").arg(read.path, file.errorString());
    }
    return read;
}

FolderFile readManifestFile(const Folder &folder)
{
    return readFolderFile(folder, QLatin1String(Manifest::FileName), Manifest::MaxBytes);
}

// Puts bytes in place of the folder's file name: written to a new file beside
// it and synced, then renamed over the name, so that a reader finds the old
// file or the new one whole, and a link planted at the name is replaced, never
// followed. Returns why it failed, having left nothing behind.
QString replaceFolderFile(const Folder &folder, const QString &name, const QByteArray &bytes,
                          std::optional<mode_t> mode)
{
    const int dir = folder.descriptor.get();
    const QString path = folder.filePath(name);
    QByteArray temporary;
    FileDescriptor file;
    int error = EEXIST;
    // A name taken by someone else is tried again with another.
    for (int attempt = 0; attempt < 8 && error == EEXIST; ++attempt) {
        // Starts with a dot, a file name the program never lists, should it stay behind.
        temporary = QFile::encodeName(QStringLiteral(".%1.%2").arg(name).arg(
            QRandomGenerator::system()->generate64(), 16, 16, QLatin1Char('0')));
        file.reset(::openat(dir, temporary.constData(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                            mode.value_or(0644)));
        error = file.isValid() ? 0 : errno;
    }
    if (!file.isValid()) {
        return QStringLiteral("cannot write %1: %2").arg(path, errorText(error));
    }
    const auto fail = [&](int code) {
        file.reset();
        ::unlinkat(dir, temporary.constData(), 0);
        return QStringLiteral("cannot write %1: %2").arg(path, errorText(code));
    };
    // The old manifest's permissions as they were, whatever the umask.
    if (mode && ::fchmod(file.get(), *mode) != 0) {
        return fail(errno);
    }
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t written = ::write(file.get(), bytes.constData() + done,
                                        size_t(bytes.size() - done));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return fail(written < 0 ? errno : EIO);
        }
        done += written;
    }
    if (::fsync(file.get()) != 0) {
        return fail(errno);
    }
    if (::renameat(dir, temporary.constData(), dir, QFile::encodeName(name).constData()) != 0) {
        return fail(errno);
    }
    return {};
}

// Why a release could not be opened.
enum class ReleaseFault { None, Missing, NotRegular, LinkOutside, Unreadable };

// A release open as the server would hand it out. Its size and its digest both
// come through this one descriptor, so that they describe the same file even
// while someone replaces the one at its name.
struct OpenRelease
{
    QString path;
    FileDescriptor descriptor;
    qint64 size = 0;
    timespec modified = {};
    ReleaseFault fault = ReleaseFault::None;
    QString error;
};

// Opens the folder's file name. A symbolic link is followed when it leads to a
// file inside the folder, as "latest.sh" to a versioned file; one that leads
// out would have the server hand out a file the folder does not hold.
OpenRelease openRelease(const Folder &folder, const QString &file)
{
    OpenRelease release;
    release.path = folder.filePath(file);
    const QString &path = release.path;
    const auto fault = [&release](ReleaseFault why, const QString &text) {
        release.fault = why;
        release.error = text;
        release.descriptor.reset();
    };
    const int dir = folder.descriptor.get();
    const QByteArray name = QFile::encodeName(file);
    // Not blocking: a FIFO at the name would hold the tool up for ever.
    release.descriptor.reset(
        ::openat(dir, name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat opened = {};
    struct stat named = {};
    if (!release.descriptor.isValid()) {
        const int error = errno;
        if (error == ENOENT) {
            fault(ReleaseFault::Missing, QStringLiteral("%1 is not in the folder").arg(path));
        } else {
            fault(ReleaseFault::Unreadable,
                  QStringLiteral("cannot read %1: %2").arg(path, errorText(error)));
        }
    } else if (::fstat(release.descriptor.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) {
        fault(ReleaseFault::NotRegular, QStringLiteral("%1 is not a regular file").arg(path));
    } else if (::fstatat(dir, name.constData(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
        fault(ReleaseFault::Unreadable,
              QStringLiteral("cannot read %1: %2").arg(path, errorText(errno)));
    } else if (S_ISLNK(named.st_mode)) {
        const QFileInfo link(path);
        const QString target = link.canonicalFilePath();
        QString root = QDir(folder.path).canonicalPath();
        if (!root.endsWith(QLatin1Char('/'))) {
            root += QLatin1Char('/');
        }
        if (target.isEmpty() || !target.startsWith(root)) {
            fault(ReleaseFault::LinkOutside,
                  QStringLiteral("%1 is a symbolic link to %2, outside the folder")
                      .arg(path, target.isEmpty() ? link.symLinkTarget() : target));
        } else if (::stat(QFile::encodeName(target).constData(), &named) != 0) {
            fault(ReleaseFault::Unreadable,
                  QStringLiteral("cannot read %1: %2").arg(path, errorText(errno)));
        }
    }
    // What was checked by name must be the file open: the name may have been
    // turned into a link, or the link to another file, in between.
    if (release.fault == ReleaseFault::None &&
        (named.st_dev != opened.st_dev || named.st_ino != opened.st_ino)) {
        fault(ReleaseFault::Unreadable,
              QStringLiteral("%1 changed while it was being checked; try again").arg(path));
    }
    release.size = opened.st_size;
    release.modified = opened.st_mtim;
    return release;
}

// The open release's SHA-256, and its pieces' with pieceBytes above 0. Bytes
// written while it is read would make a digest of no version of the file,
// which the size would not match.
FileDigest digestOf(const OpenRelease &release, qint64 pieceBytes)
{
    FileDigest digest = sha256OfDescriptor(release.descriptor.get(), release.path, pieceBytes);
    struct stat after = {};
    if (digest.error.isEmpty() &&
        (::fstat(release.descriptor.get(), &after) != 0 || after.st_size != release.size ||
         after.st_mtim.tv_sec != release.modified.tv_sec ||
         after.st_mtim.tv_nsec != release.modified.tv_nsec)) {
        digest = {{}, QStringLiteral("%1 changed while it was read; try again").arg(release.path)};
    }
    return digest;
}

// Byte order marks, or the zero bytes that ASCII text in UTF-16 is full of.
bool looksLikeUtf16(const QByteArray &bytes)
{
    return bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF") ||
           (bytes.size() >= 2 && bytes.count('\0') * 4 > bytes.size());
}

// KEY: a .pub file, or the key lines themselves.
Minisign::KeyList readKeys(const QString &key)
{
    if (QFileInfo(key).isFile()) {
        QFile file(key);
        if (!file.open(QIODevice::ReadOnly)) {
            return {{}, QStringLiteral("cannot read %1: %2").arg(key, file.errorString())};
        }
        // A .pub file: a comment line, then the key.
        const QString line = QString::fromLatin1(file.readAll().split('\n').value(1)).trimmed();
        return Minisign::parsePublicKeys(line);
    }
    return Minisign::parsePublicKeys(key);
}

class Checker
{
public:
    Checker(QTextStream &out, QTextStream &err) : m_out(out), m_err(err) {}

    int run(const QString &dir, const ManifestTrust &trust)
    {
        const Folder folder = openFolder(dir);
        if (!folder.error.isEmpty()) {
            problem(folder.error);
            return finish();
        }
        const FolderFile manifest = readManifestFile(folder);
        if (!manifest.error.isEmpty()) {
            problem(manifest.error);
            return finish();
        }
        if (trust.requiresSignature() && !verifySignature(folder, manifest, trust)) {
            return finish();
        }
        const bool utf8 = QByteArrayView(manifest.bytes).isValidUtf8();
        found(QStringLiteral("manifest: %1 (%2)")
                  .arg(manifest.path, utf8 ? QStringLiteral("UTF-8")
                                           : QStringLiteral("not UTF-8, read as Windows-1252")));
        if (looksLikeUtf16(manifest.bytes)) {
            warning(QStringLiteral("%1 looks like UTF-16, which the program cannot read: it "
                                   "lists nothing from it. Save it as UTF-8.")
                        .arg(manifest.path));
        }
        // The scheme the manifest is served over cannot be known here: it is
        // taken to be https, the one to use.
        const ManifestContents contents = readManifest(
            manifest.bytes, trust.requiresSignature() ? Pinning::Required : Pinning::Optional,
            QStringLiteral("https://download-server.invalid/"));
        reportLines(folder, contents);
        reportMirrors(contents);
        warnAboutNamesThatAreFiles(contents.releases);
        if (m_listed == 0) {
            warning(QStringLiteral("the manifest lists no release: the program would show an "
                                   "empty list"));
        }
        return finish();
    }

private:
    bool verifySignature(const Folder &folder, const FolderFile &manifest,
                         const ManifestTrust &trust)
    {
        const FolderFile signature = readFolderFile(
            folder, QLatin1String(Manifest::FileName) + QLatin1String(Manifest::SignatureSuffix),
            Manifest::MaxSignatureBytes);
        if (!signature.error.isEmpty()) {
            problem(QStringLiteral("the signature: %1; the program would list nothing")
                        .arg(signature.error));
            return false;
        }
        if (const std::optional<QString> refusal = manifestSignatureRefusal(
                manifest.bytes, signature.bytes, QString::fromLatin1(Manifest::FileName), trust,
                QDateTime::currentSecsSinceEpoch())) {
            problem(QStringLiteral("%1 cannot be trusted: %2; the program would list nothing")
                        .arg(manifest.path, *refusal));
            return false;
        }
        // Verified, so the comment read from the file is the one signed.
        const QByteArray comment = Minisign::parseSignatureFile(signature.bytes)
                                       .signature.value_or(Minisign::SignatureFile())
                                       .trustedComment;
        found(QStringLiteral("signature: valid (trusted comment: %1)")
                  .arg(QString::fromUtf8(comment)));
        const Minisign::TrustedCommentFields fields = Minisign::readTrustedComment(comment);
        found(QStringLiteral("signed: %1, for %2")
                  .arg(fields.timestamp ? signingTimeText(*fields.timestamp)
                                        : QStringLiteral("at no stated time"),
                       fields.file ? *fields.file : QStringLiteral("no named file")));
        return true;
    }

    // Line by line, each release line's notes before its release; mirror lines
    // are reported together once every line is read.
    void reportLines(const Folder &folder, const ManifestContents &contents)
    {
        const QList<ManifestNote> &notes = contents.notes;
        qsizetype next = 0;
        for (const ListedRelease &release : contents.releases) {
            for (; next < notes.size() && notes.at(next).line <= release.line; ++next) {
                reportNote(notes.at(next));
            }
            reportRelease(folder, release);
        }
        for (; next < notes.size(); ++next) {
            reportNote(notes.at(next));
        }
        // What is not said might be a problem.
        if (contents.notesLeftOut > 0) {
            problem(QStringLiteral("the program logs at most %1 notes on the manifest's lines; "
                                   "%2 more are not shown")
                        .arg(Manifest::MaxNotes)
                        .arg(contents.notesLeftOut));
        }
    }

    void reportNote(const ManifestNote &note)
    {
        using Kind = ManifestNote::Kind;
        const QString where = QStringLiteral("line %1").arg(note.line);
        if (note.kind == Kind::PiecesIgnored) {
            const QString text = QStringLiteral("%1: %2 line ignored, %3")
                                     .arg(where, QLatin1String(Manifest::PiecesTag), note.reason());
            // A second line for the same releases takes nothing away; any other
            // leaves the line's releases without the checks it was written for.
            if (note.piecesSkip == PiecesSkip::Again) {
                warning(text);
            } else {
                problem(text);
            }
        } else if (note.kind == Kind::DigestIgnored || note.kind == Kind::SizeIgnored) {
            warning(QStringLiteral("%1: %2; it is ignored").arg(where, note.reason()));
        } else if (note.skip == SkipReason::PastMaxEntries) {
            warning(QStringLiteral("%1 and the lines after it are not read: the program lists at "
                                   "most %2 releases")
                        .arg(where)
                        .arg(Manifest::MaxEntries));
        } else if (note.kind == Kind::NoRelease) {
            const QString text = QStringLiteral("%1: skipped, %2").arg(where, note.reason());
            // Comments and other platforms' lines are meant to be skipped.
            if (note.skip == SkipReason::NotTagged) {
                found(text);
            } else {
                problem(text);
            }
        }
    }

    void reportRelease(const Folder &folder, const ListedRelease &release)
    {
        ++m_listed;
        const ManifestEntry &entry = release.entry;
        const QString where = QStringLiteral("line %1").arg(release.line);
        const auto first = m_firstLineOf.constFind(entry.file);
        if (first != m_firstLineOf.cend()) {
            warning(QStringLiteral("%1: %2 is listed again (first on line %3)")
                        .arg(where, entry.file, QString::number(*first)));
        } else {
            m_firstLineOf.insert(entry.file, release.line);
        }
        const bool ok = checkRelease(where, folder, entry);
        const PieceDigests &pieces = entry.pin.pieces;
        const QString inPieces = entry.pin.pinsPieces()
                                     ? QStringLiteral(", %1 %2 of %3 bytes")
                                           .arg(QString::number(pieces.count()),
                                                pieces.count() == 1 ? QStringLiteral("piece")
                                                                    : QStringLiteral("pieces"),
                                                QString::number(pieces.pieceBytes))
                                     : QString();
        found(QStringLiteral("%1: \"%2\" (%3): %4")
                  .arg(where, entry.name, entry.file,
                       ok ? QStringLiteral("ok") + inPieces : QStringLiteral("PROBLEM")));
    }

    // Whether an http mirror serves anything depends on the pins of every
    // release, so mirrors are reported once every line is read.
    void reportMirrors(const ManifestContents &contents)
    {
        using Kind = ManifestNote::Kind;
        const ReleaseServers &servers = contents.servers;
        const QString &server = servers.all().constFirst();
        QStringList used;
        bool anyMirror = false;
        bool http = false;
        for (const ManifestNote &note : contents.notes) {
            if (note.kind != Kind::Mirror && note.kind != Kind::NoMirror) {
                continue;
            }
            anyMirror = true;
            const QString where = QStringLiteral("line %1").arg(note.line);
            const QString &address = note.subject;
            const bool weaker = note.kind == Kind::Mirror &&
                                ReleaseServers::isWeaker(address, server);
            http = http || weaker;
            const bool servesAny =
                std::any_of(contents.releases.cbegin(), contents.releases.cend(),
                            [&](const ListedRelease &release) {
                                return servers.forRelease(release.entry.pin).contains(address);
                            });
            // A line the program cannot read fails, as a release line does; one
            // that is read but serves nothing more only warns.
            if (note.kind == Kind::NoMirror) {
                const QString text =
                    QStringLiteral("%1: mirror skipped, %2").arg(where, note.reason());
                const MirrorSkip why = note.mirrorSkip;
                if (why == MirrorSkip::Duplicate || why == MirrorSkip::TooMany) {
                    warning(text);
                } else {
                    problem(text);
                }
            } else if (weaker && !servesAny) {
                warning(QStringLiteral("%1: mirror skipped, %2")
                            .arg(where, describeMirrorSkip(MirrorSkip::HttpWithoutPins)));
            } else {
                used.append(address);
                found(QStringLiteral("%1: mirror %2%3")
                          .arg(where, address,
                               weaker ? QStringLiteral(", for pinned releases only") : QString()));
            }
        }
        if (!anyMirror) {
            return;
        }
        found(used.isEmpty() ? QStringLiteral("mirrors: none used; releases come from the download "
                                              "server alone")
                             : QStringLiteral("mirrors, tried in this order after the download "
                                              "server: ") +
                                   used.join(QLatin1String(", ")));
        if (http) {
            found(QStringLiteral("http:// mirrors: the manifest is taken to be served over "
                                 "https, as it should be; beside it, an http:// mirror serves "
                                 "only the releases the manifest pins"));
        }
    }

    // The program turns a picked display name into a file name, then carries on
    // through the later lines with that file name as if it had been picked: a
    // display name equal to another line's file name (letter case aside) takes
    // the pick to another release. The program keeps that rule; the vendor is told.
    void warnAboutNamesThatAreFiles(const QList<ListedRelease> &releases)
    {
        QHash<QString, const ListedRelease *> byFile;
        for (const ListedRelease &release : releases) {
            byFile.insert(release.entry.file.toUpper(), &release);
        }
        for (const ListedRelease &release : releases) {
            const QString name = release.entry.name.toUpper();
            const ListedRelease *other = byFile.value(name);
            if (!other || name == release.entry.file.toUpper()) {
                continue;
            }
            // One arg() for all: a name holding "%3" must not take the next number.
            const QString otherLine = QString::number(other->line);
            const QString effect =
                other->line < release.line
                    ? QStringLiteral("picking line %1's release downloads %2 instead")
                          .arg(otherLine, release.entry.file)
                    : QStringLiteral("the program may take one for the other");
            warning(QStringLiteral("line %1: the display name \"%2\" is the file name of line %3 "
                                   "(letter case aside): %4")
                        .arg(QString::number(release.line), release.entry.name, otherLine, effect));
        }
    }

    bool checkRelease(const QString &where, const Folder &folder, const ManifestEntry &entry)
    {
        const int before = m_problems;
        const OpenRelease release = openRelease(folder, entry.file);
        const QString &path = release.path;
        if (release.fault != ReleaseFault::None) {
            problem(where + QStringLiteral(": ") + release.error);
            return false;
        }
        const ReleasePin &pin = entry.pin;
        if (pin.pinsSize() && release.size != pin.size) {
            problem(
                QStringLiteral("%1: %2 has %3 bytes, the manifest pins %4")
                    .arg(where, path, QString::number(release.size), QString::number(pin.size)));
        }
        if (!pin.pinsDigest()) {
            problem(QStringLiteral("%1: no SHA-256 is pinned for %2").arg(where, path));
            return false;
        }
        const FileDigest file = digestOf(release, pin.pinsPieces() ? pin.pieces.pieceBytes : 0);
        if (!file.error.isEmpty()) {
            problem(where + QStringLiteral(": ") + file.error);
            return false;
        }
        if (file.digest != pin.sha256) {
            problem(QStringLiteral("%1: the SHA-256 of %2 is %3, the manifest pins %4")
                        .arg(where, path, QString::fromLatin1(file.digest.toHex()),
                             QString::fromLatin1(pin.sha256.toHex())));
        }
        if (pin.pinsPieces() && release.size == pin.size) {
            checkPieces(where, path, file.pieces, pin.pieces);
        }
        return m_problems == before;
    }

    // The pieces of a file of the pinned size, against their pins: the program
    // would fetch a piece that differs again and again, and fail.
    void checkPieces(const QString &where, const QString &path, const PieceDigests &file,
                     const PieceDigests &pinned)
    {
        qsizetype first = -1;
        qsizetype differing = 0;
        for (qsizetype piece = 0; piece < pinned.count(); ++piece) {
            if (file.of(piece) != pinned.of(piece)) {
                first = first < 0 ? piece : first;
                ++differing;
            }
        }
        if (differing > 0) {
            problem(QStringLiteral("%1: %2 of the %3 pieces of %4 differ from the SHA-256s the "
                                   "%5 line pins, the first from byte %6")
                        .arg(where, QString::number(differing), QString::number(pinned.count()),
                             path, QLatin1String(Manifest::PiecesTag),
                             QString::number(first * pinned.pieceBytes)));
        }
    }

    // Everything printed goes through printableText: names and comments come
    // from files that anyone who could write to the folder may have crafted.
    void found(const QString &text) { m_out << printableText(text) << '\n'; }

    void problem(const QString &text)
    {
        ++m_problems;
        say(QStringLiteral("error: ") + text);
    }

    void warning(const QString &text)
    {
        ++m_warnings;
        say(QStringLiteral("warning: ") + text);
    }

    // Between the lines written so far, as on a terminal showing both streams.
    void say(const QString &text)
    {
        m_out.flush();
        m_err << printableText(text) << '\n';
        m_err.flush();
    }

    int finish()
    {
        m_out << m_listed << (m_listed == 1 ? " release" : " releases") << " listed, " << m_problems
              << (m_problems == 1 ? " problem" : " problems") << ", " << m_warnings
              << (m_warnings == 1 ? " warning" : " warnings") << '\n';
        return m_problems == 0 ? Exit::Ok : Exit::Problems;
    }

    QTextStream &m_out;
    QTextStream &m_err;
    QHash<QString, int> m_firstLineOf; // a file's first line
    int m_listed = 0;
    int m_problems = 0;
    int m_warnings = 0;
};

bool hasControlCharacter(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(),
                       [](QChar c) { return c.category() == QChar::Other_Control; });
}

int add(const QString &dir, const QString &fileArgument, const QString &name, QTextStream &out,
        QTextStream &err)
{
    const auto fail = [&err](int status, const QString &text) {
        err << "error: " << printableText(text) << '\n';
        return status;
    };
    const Folder opened = openFolder(dir);
    if (!opened.error.isEmpty()) {
        return fail(Exit::Usage, opened.error);
    }
    const QDir folder(dir);
    // A bare name is a file in DIR; a path must lead into DIR.
    const QFileInfo argument(
        fileArgument.contains(QLatin1Char('/')) ? fileArgument : folder.filePath(fileArgument));
    if (QFileInfo(argument.absolutePath()).canonicalFilePath() != folder.canonicalPath()) {
        return fail(Exit::Usage, QStringLiteral("%1 is not in %2: the program fetches releases "
                                                "from beside the manifest")
                                     .arg(argument.filePath(), dir));
    }
    const QString file = argument.fileName();
    if (!isPlainFileName(file) || file.contains(QLatin1Char('\t'))) {
        return fail(Exit::Usage, QStringLiteral("\"%1\" cannot be listed: the program skips "
                                                "such file names")
                                     .arg(file));
    }
    if (name.isEmpty() || hasControlCharacter(name)) {
        return fail(Exit::Usage, QStringLiteral("the display name must be one line of text, "
                                                "without tabs"));
    }
    const OpenRelease release = openRelease(opened, file);
    switch (release.fault) {
    case ReleaseFault::None:
        break;
    case ReleaseFault::Missing:
        return fail(Exit::Usage, QStringLiteral("%1 is not a file").arg(release.path));
    case ReleaseFault::NotRegular:
        return fail(Exit::Usage, release.error);
    case ReleaseFault::LinkOutside:
        return fail(Exit::Usage,
                    release.error + QStringLiteral(": list the file itself, in %1").arg(dir));
    case ReleaseFault::Unreadable:
        return fail(Exit::Problems, release.error);
    }

    const FolderFile manifest = readManifestFile(opened);
    if (manifest.exists && !manifest.error.isEmpty()) {
        return fail(Exit::Problems, manifest.error);
    }
    const QByteArray &bytes = manifest.bytes;
    if (looksLikeUtf16(bytes)) {
        return fail(Exit::Problems, QStringLiteral("%1 looks like UTF-16, which the program "
                                                   "cannot read; save it as UTF-8 first")
                                        .arg(manifest.path));
    }
    const FileDigest digest = digestOf(release, pieceBytesFor(release.size));
    if (!digest.error.isEmpty()) {
        return fail(Exit::Problems, digest.error);
    }
    // The names were checked above: only the encoding can refuse them.
    const TextEncoding encoding = textEncodingOf(bytes);
    const std::optional<QByteArray> listing =
        writeManifestLine({file, name, {digest.digest, release.size, {}}}, encoding);
    if (!listing) {
        return fail(Exit::Problems, QStringLiteral("%1 is in Windows-1252, which cannot hold "
                                                   "this name; save it as UTF-8 first")
                                        .arg(manifest.path));
    }
    // None for an empty release: it has no pieces.
    const std::optional<QByteArray> piecesLine =
        digest.pieces.fits(release.size) ? writePiecesLine(file, digest.pieces, encoding)
                                         : std::nullopt;
    // From the display name on: an updated line keeps its tag and file name as
    // they were spelled, and its fields after the size.
    qsizetype nameAt = 0;
    nextTabField(QByteArrayView(*listing), nameAt);
    nextTabField(QByteArrayView(*listing), nameAt);
    const QByteArrayView fromName = QByteArrayView(*listing).sliced(nameAt);

    // Lines as bytes, each with its own CR if it had one, so that untouched lines
    // stay exactly as they were; and as the program reads them, to find FILE.
    QList<QByteArray> lines = bytes.split('\n');
    const bool endsWithLineEnd = bytes.isEmpty() || bytes.endsWith('\n');
    if (endsWithLineEnd) {
        lines.removeLast();
    }
    const ManifestContents contents = readManifest(bytes, Pinning::Optional, {});
    if (contents.lines != lines.size()) {
        return fail(Exit::Problems,
                    QStringLiteral("cannot split %1 into lines").arg(manifest.path));
    }
    const QByteArray cr = bytes.contains("\r\n") ? QByteArray("\r") : QByteArray();
    QList<int> updated; // line numbers, from 1, as they were
    for (const ListedRelease &listed : contents.releases) {
        if (listed.entry.file != file) {
            continue;
        }
        QByteArray &line = lines[listed.line - 1];
        const bool hadCr = line.endsWith('\r');
        const QByteArrayView old = QByteArrayView(line).chopped(hadCr ? 1 : 0);
        qsizetype next = 0;
        qsizetype oldNameAt = 0;
        for (int field = 0; field < 5; ++field) {
            nextTabField(old, next);
            if (field == 1) {
                oldNameAt = next;
            }
        }
        QByteArray changed = old.first(oldNameAt).toByteArray();
        changed += fromName;
        if (next >= 0) {
            changed += '\t';
            changed += old.sliced(next);
        }
        line = changed + (hadCr ? "\r" : "");
        updated.append(listed.line);
    }
    // The new lines go after the last line for FILE, or at the end; FILE's old
    // PIECES lines go, wherever they were.
    QList<QByteArray> added;
    if (updated.isEmpty()) {
        added.append(*listing + cr);
    }
    if (piecesLine) {
        added.append(*piecesLine + cr);
    }
    const qsizetype addAfter = updated.isEmpty() ? lines.size() - 1 : updated.last() - 1;
    const bool addedAtEnd = !added.isEmpty() && addAfter == lines.size() - 1;
    if (addedAtEnd && !endsWithLineEnd) {
        lines.last() += cr;
    }
    const QStringList decoded = splitLines(bytes);
    QList<QByteArray> kept = addAfter < 0 ? added : QList<QByteArray>();
    qsizetype lastAdded = kept.size(); // the number of the last line added
    QList<qsizetype> updatedNow;       // line numbers, as they are now
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const PiecesLine old = readPiecesLine(decoded.at(i));
        if (!old.tagged || old.file != file) {
            kept.append(lines.at(i));
            if (updatedNow.size() < updated.size() && updated.at(updatedNow.size()) == i + 1) {
                updatedNow.append(kept.size());
            }
        }
        if (i == addAfter) {
            kept += added;
            lastAdded = kept.size();
        }
    }
    QByteArray written = kept.join('\n');
    if (endsWithLineEnd || addedAtEnd) {
        written += '\n';
    }

    const QString writeError =
        replaceFolderFile(opened, QLatin1String(Manifest::FileName), written,
                          manifest.exists ? std::optional<mode_t>(manifest.mode) : std::nullopt);
    if (!writeError.isEmpty()) {
        return fail(Exit::Problems, writeError);
    }
    if (updated.isEmpty()) {
        out << "added line " << lastAdded - (piecesLine ? 1 : 0) << ": ";
    } else {
        for (const qsizetype number : std::as_const(updatedNow)) {
            out << "updated line " << number << ": ";
        }
    }
    out << printableText(file) << ", \"" << printableText(name) << "\", SHA-256 "
        << digest.digest.toHex() << ", " << release.size << " bytes\n";
    if (piecesLine) {
        out << "line " << lastAdded << ": the SHA-256 of each of its " << digest.pieces.count()
            << " pieces of " << digest.pieces.pieceBytes << " bytes\n";
    }
    out << "The manifest changed: sign it again with minisign -Sm " << printableText(manifest.path)
        << '\n';
    return Exit::Ok;
}

// check DIR [--public-key KEY] [--max-age-days N], the options in any order.
// Nothing when the command line cannot be read, for the caller to say so.
std::optional<int> check(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    QString dir;
    std::optional<QString> key;
    std::optional<QString> maxAge;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        std::optional<QString> *option = nullptr;
        if (argument == QLatin1String("--public-key")) {
            option = &key;
        } else if (argument == QLatin1String("--max-age-days")) {
            option = &maxAge;
        }
        if (option) {
            if (*option || i + 1 == arguments.size()) {
                return std::nullopt;
            }
            *option = arguments.at(++i);
        } else if (dir.isEmpty() && !argument.isEmpty() && !argument.startsWith(u'-')) {
            dir = argument;
        } else {
            return std::nullopt;
        }
    }
    if (dir.isEmpty()) {
        return std::nullopt;
    }
    // The key, and a key file's text, are whatever was handed over, as the
    // manifest is: quoted back escaped.
    const auto usage = [&err](const QString &text) {
        err << "error: " << printableText(text) << '\n';
        return Exit::Usage;
    };
    ManifestTrust trust;
    if (key) {
        Minisign::KeyList keys = readKeys(*key);
        if (!keys.error.isEmpty() || keys.keys.isEmpty()) {
            return usage(QStringLiteral("--public-key: ") +
                         (keys.error.isEmpty() ? QStringLiteral("no key given") : keys.error));
        }
        trust.keys = std::move(keys.keys);
    }
    if (maxAge) {
        // The same bounds as MANIFEST_MAX_AGE_DAYS.
        const std::optional<qint64> days = parseByteCount(*maxAge);
        if (!days || *days > 999999) {
            return usage(QStringLiteral("--max-age-days: \"%1\" is not a number of days from 0 "
                                        "to 999999")
                             .arg(*maxAge));
        }
        if (!key) {
            return usage(QStringLiteral("--max-age-days needs --public-key: only a signature "
                                        "has an age"));
        }
        trust.maxAgeDays = int(*days);
    }
    return Checker(out, err).run(dir, trust);
}

} // namespace

int run(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    const QString command = arguments.value(0);
    if (command == QLatin1String("--help") || command == QLatin1String("-h") ||
        command == QLatin1String("help")) {
        out << Help;
        return Exit::Ok;
    }
    if (command == QLatin1String("check")) {
        if (const std::optional<int> status = check(arguments.mid(1), out, err)) {
            return *status;
        }
    }
    if (command == QLatin1String("add") && arguments.size() == 4) {
        return add(arguments.at(1), arguments.at(2), arguments.at(3), out, err);
    }
    err << "error: "
        << (command.isEmpty() ? QStringLiteral("no command given")
                              : QStringLiteral("cannot read the command line: ") +
                                    printableText(arguments.join(QLatin1Char(' '))))
        << "\n\n"
        << Help;
    return Exit::Usage;
}

} // namespace ManifestTool
