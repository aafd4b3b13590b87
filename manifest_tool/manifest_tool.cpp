#include "manifest_tool.h"

#include "linux_file_system.h"
#include "manifest.h"
#include "minisign.h"
#include "sha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QTextStream>

#include <optional>

namespace ManifestTool {

namespace {

const char Help[] = R"(Usage:
  orbistane-manifest check DIR [--public-key KEY]
  orbistane-manifest add DIR FILE "Display name"
  orbistane-manifest --help

check  Reads DIR/manifest.txt as the program reads it: lists every release the
       program would show, says which lines it would skip and why, and checks
       that each listed file is in DIR with the SHA-256 and size the manifest
       pins. With --public-key, DIR/manifest.txt.minisig must first be a valid
       signature by KEY, and lines that pin no SHA-256 are skipped, as in the
       program built with that key. KEY is the base64 line of a minisign .pub
       file (several separated by commas), or the path of the .pub file.

add    Adds the line for FILE, a file in DIR, to DIR/manifest.txt: platform tag,
       file name, display name, SHA-256 and size. If the manifest has a line for
       FILE already, that line is updated instead. Every other line is kept byte
       for byte. The manifest is created if there is none. Sign it again
       afterwards: minisign -Sm DIR/manifest.txt

Findings go to standard output, errors and warnings to standard error.

Exit status:
  0  everything holds (check), or the manifest was written (add)
  1  the folder does not check out, or the manifest could not be written
  2  the command line is wrong
)";

// What the manifest file holds, or why it could not be read.
struct ManifestFile
{
    QString path;
    QByteArray bytes;
    bool exists = false;
    QString error;
};

ManifestFile readManifest(const QDir &folder)
{
    ManifestFile manifest;
    manifest.path = folder.filePath(QLatin1String(Manifest::FileName));
    QFile file(manifest.path);
    manifest.exists = file.exists();
    if (!manifest.exists) {
        manifest.error = QStringLiteral("%1 does not exist").arg(manifest.path);
        return manifest;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        manifest.error =
            QStringLiteral("cannot read %1: %2").arg(manifest.path, file.errorString());
    } else if (file.size() > Manifest::MaxBytes) {
        manifest.error = QStringLiteral("%1 is larger than %2 bytes, which the program refuses")
                             .arg(manifest.path)
                             .arg(Manifest::MaxBytes);
    } else {
        manifest.bytes = file.readAll();
    }
    return manifest;
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

    int run(const QString &dir, const QList<Minisign::PublicKey> &keys)
    {
        const QDir folder(dir);
        const ManifestFile manifest = readManifest(folder);
        if (!manifest.error.isEmpty()) {
            problem(manifest.error);
            return finish();
        }
        if (!keys.isEmpty() && !verifySignature(manifest, keys)) {
            return finish();
        }
        const bool utf8 = QByteArrayView(manifest.bytes).isValidUtf8();
        m_out << "manifest: " << manifest.path << " ("
              << (utf8 ? "UTF-8" : "not UTF-8, read as Windows-1252") << ")\n";
        if (looksLikeUtf16(manifest.bytes)) {
            warning(QStringLiteral("%1 looks like UTF-16, which the program cannot read: it "
                                   "lists nothing from it. Save it as UTF-8.")
                        .arg(manifest.path));
        }
        readLines(folder, manifest.bytes, keys.isEmpty() ? Pinning::Optional : Pinning::Required);
        if (m_listed == 0) {
            warning(QStringLiteral("the manifest lists no release: the program would show an "
                                   "empty list"));
        }
        return finish();
    }

private:
    bool verifySignature(const ManifestFile &manifest, const QList<Minisign::PublicKey> &keys)
    {
        const QString path = manifest.path + QLatin1String(Manifest::SignatureSuffix);
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            problem(QStringLiteral("cannot read the signature %1: %2; the program would list "
                                   "nothing")
                        .arg(path, file.errorString()));
            return false;
        }
        const Minisign::Verification verification =
            Minisign::verify(manifest.bytes, file.read(Manifest::MaxSignatureBytes + 1), keys);
        if (verification.verdict != Minisign::Verdict::Valid) {
            problem(QStringLiteral("%1 cannot be trusted: %2; the program would list nothing")
                        .arg(manifest.path, verification.description));
            return false;
        }
        m_out << "signature: valid (trusted comment: "
              << QString::fromUtf8(verification.trustedComment) << ")\n";
        return true;
    }

    void readLines(const QDir &folder, const QByteArray &bytes, Pinning pinning)
    {
        QHash<QString, int> firstLineOf;
        int number = 0;
        for (TextLines lines(bytes); !lines.atEnd();) {
            ++number;
            const ManifestLine line = readManifestLine(lines.next(), pinning);
            const QString where = QStringLiteral("line %1").arg(number);
            if (!line.entry) {
                const QString why = describeSkip(line.skipped);
                // Comments and other platforms' lines are meant to be skipped.
                if (line.skipped == SkipReason::NotTagged) {
                    m_out << where << ": skipped, " << why << '\n';
                } else {
                    problem(QStringLiteral("%1: skipped, %2").arg(where, why));
                }
                continue;
            }
            if (m_listed == Manifest::MaxEntries) {
                warning(QStringLiteral("%1 and the releases after it are not listed: the "
                                       "program lists at most %2")
                            .arg(where)
                            .arg(Manifest::MaxEntries));
            }
            if (m_listed++ >= Manifest::MaxEntries) {
                continue;
            }
            const ManifestEntry &entry = *line.entry;
            if (line.digestIgnored) {
                warning(where + QStringLiteral(": field 3 is not a SHA-256; it is ignored"));
            }
            if (line.sizeIgnored) {
                warning(where + QStringLiteral(": field 4 is not a size in bytes; it is ignored"));
            }
            const auto first = firstLineOf.constFind(entry.file);
            if (first != firstLineOf.cend()) {
                warning(QStringLiteral("%1: %2 is listed again (first on line %3)")
                            .arg(where, entry.file)
                            .arg(*first));
            } else {
                firstLineOf.insert(entry.file, number);
            }
            m_out << where << ": \"" << entry.name << "\" (" << entry.file << "): "
                  << (checkRelease(where, folder.filePath(entry.file), entry.pin) ? "ok"
                                                                                  : "PROBLEM")
                  << '\n';
        }
    }

    bool checkRelease(const QString &where, const QString &path, const ReleasePin &pin)
    {
        const int before = m_problems;
        const QFileInfo info(path);
        if (!info.isFile()) {
            problem(QStringLiteral("%1: %2 is not in the folder").arg(where, path));
            return false;
        }
        if (pin.pinsSize() && info.size() != pin.size) {
            problem(QStringLiteral("%1: %2 has %3 bytes, the manifest pins %4")
                        .arg(where, path)
                        .arg(info.size())
                        .arg(pin.size));
        }
        if (!pin.pinsDigest()) {
            problem(QStringLiteral("%1: no SHA-256 is pinned for %2").arg(where, path));
            return false;
        }
        const FileDigest file = sha256OfFile(path);
        if (!file.error.isEmpty()) {
            problem(where + QStringLiteral(": ") + file.error);
        } else if (file.digest != pin.sha256) {
            problem(QStringLiteral("%1: the SHA-256 of %2 is %3, the manifest pins %4")
                        .arg(where, path, QString::fromLatin1(file.digest.toHex()),
                             QString::fromLatin1(pin.sha256.toHex())));
        }
        return m_problems == before;
    }

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
        m_err << text << '\n';
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
    int m_listed = 0;
    int m_problems = 0;
    int m_warnings = 0;
};

// The text in the manifest's own encoding, or nothing when it cannot hold it.
std::optional<QByteArray> encodeFor(bool utf8, const QString &text)
{
    return utf8 ? std::optional<QByteArray>(text.toUtf8()) : encodeWindows1252(text);
}

bool hasControlCharacter(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(),
                       [](QChar c) { return c.category() == QChar::Other_Control; });
}

int add(const QString &dir, const QString &fileArgument, const QString &name, QTextStream &out,
        QTextStream &err)
{
    const auto fail = [&err](int status, const QString &text) {
        err << "error: " << text << '\n';
        return status;
    };
    const QDir folder(dir);
    if (!folder.exists()) {
        return fail(Exit::Usage, QStringLiteral("%1 is not a folder").arg(dir));
    }
    // A bare name is a file in DIR; a path must lead into DIR.
    const QFileInfo release(
        fileArgument.contains(QLatin1Char('/')) ? fileArgument : folder.filePath(fileArgument));
    if (!release.isFile()) {
        return fail(Exit::Usage, QStringLiteral("%1 is not a file").arg(release.filePath()));
    }
    if (QFileInfo(release.absolutePath()).canonicalFilePath() != folder.canonicalPath()) {
        return fail(Exit::Usage, QStringLiteral("%1 is not in %2: the program fetches releases "
                                                "from beside the manifest")
                                     .arg(release.filePath(), dir));
    }
    const QString file = release.fileName();
    if (!isPlainFileName(file) || file.contains(QLatin1Char('\t'))) {
        return fail(Exit::Usage, QStringLiteral("\"%1\" cannot be listed: the program skips "
                                                "such file names")
                                     .arg(file));
    }
    if (name.isEmpty() || hasControlCharacter(name)) {
        return fail(Exit::Usage, QStringLiteral("the display name must be one line of text, "
                                                "without tabs"));
    }

    const ManifestFile manifest = readManifest(folder);
    if (manifest.exists && !manifest.error.isEmpty()) {
        return fail(Exit::Problems, manifest.error);
    }
    const QByteArray &bytes = manifest.bytes;
    if (looksLikeUtf16(bytes)) {
        return fail(Exit::Problems, QStringLiteral("%1 looks like UTF-16, which the program "
                                                   "cannot read; save it as UTF-8 first")
                                        .arg(manifest.path));
    }
    const bool utf8 = QByteArrayView(bytes).isValidUtf8();
    const std::optional<QByteArray> encodedFile = encodeFor(utf8, file);
    const std::optional<QByteArray> encodedName = encodeFor(utf8, name);
    if (!encodedFile || !encodedName) {
        return fail(Exit::Problems, QStringLiteral("%1 is in Windows-1252, which cannot hold "
                                                   "this name; save it as UTF-8 first")
                                        .arg(manifest.path));
    }
    const FileDigest digest = sha256OfFile(release.filePath());
    if (!digest.error.isEmpty()) {
        return fail(Exit::Problems, digest.error);
    }
    const QByteArray pins = digest.digest.toHex() + '\t' + QByteArray::number(release.size());

    // Lines as bytes, each with its own CR if it had one, so that untouched lines
    // stay exactly as they were; and as the program decodes them, to find FILE.
    QList<QByteArray> lines = bytes.split('\n');
    const bool endsWithLineEnd = bytes.isEmpty() || bytes.endsWith('\n');
    if (endsWithLineEnd) {
        lines.removeLast();
    }
    const QStringList decoded = splitLines(bytes);
    if (decoded.size() != lines.size()) {
        return fail(Exit::Problems,
                    QStringLiteral("cannot split %1 into lines").arg(manifest.path));
    }
    const QByteArray cr = bytes.contains("\r\n") ? QByteArray("\r") : QByteArray();
    QList<int> updated;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const std::optional<ManifestEntry> entry = parseManifestLine(decoded.at(i));
        if (!entry || entry->file != file) {
            continue;
        }
        QByteArray &line = lines[i];
        const bool hadCr = line.endsWith('\r');
        QList<QByteArray> fields = (hadCr ? line.chopped(1) : line).split('\t');
        fields.resize(std::max<qsizetype>(fields.size(), 5));
        fields[2] = *encodedName;
        fields[3] = digest.digest.toHex();
        fields[4] = QByteArray::number(release.size());
        line = fields.join('\t') + (hadCr ? "\r" : "");
        updated.append(int(i + 1));
    }
    if (updated.isEmpty()) {
        if (!endsWithLineEnd) {
            lines.last() += cr;
        }
        lines.append("W2003\t" + *encodedFile + '\t' + *encodedName + '\t' + pins + cr);
    }
    QByteArray written = lines.join('\n');
    if (endsWithLineEnd || updated.isEmpty()) {
        written += '\n';
    }

    QSaveFile save(manifest.path);
    if (!save.open(QIODevice::WriteOnly) || save.write(written) != written.size() ||
        !save.commit()) {
        return fail(Exit::Problems,
                    QStringLiteral("cannot write %1: %2").arg(manifest.path, save.errorString()));
    }
    if (updated.isEmpty()) {
        out << "added line " << lines.size() << ": ";
    } else {
        for (const int number : std::as_const(updated)) {
            out << "updated line " << number << ": ";
        }
    }
    out << file << ", \"" << name << "\", SHA-256 " << digest.digest.toHex() << ", "
        << release.size() << " bytes\n";
    out << "The manifest changed: sign it again with minisign -Sm " << manifest.path << '\n';
    return Exit::Ok;
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
    if (command == QLatin1String("check") &&
        (arguments.size() == 2 ||
         (arguments.size() == 4 && arguments.at(2) == QLatin1String("--public-key")))) {
        Minisign::KeyList keys;
        if (arguments.size() == 4) {
            keys = readKeys(arguments.at(3));
            if (!keys.error.isEmpty() || keys.keys.isEmpty()) {
                err << "error: --public-key: "
                    << (keys.error.isEmpty() ? QStringLiteral("no key given") : keys.error) << '\n';
                return Exit::Usage;
            }
        }
        return Checker(out, err).run(arguments.at(1), keys.keys);
    }
    if (command == QLatin1String("add") && arguments.size() == 4) {
        return add(arguments.at(1), arguments.at(2), arguments.at(3), out, err);
    }
    err << "error: "
        << (command.isEmpty() ? QStringLiteral("no command given")
                              : QStringLiteral("cannot read the command line: ") +
                                    arguments.join(QLatin1Char(' ')))
        << "\n\n"
        << Help;
    return Exit::Usage;
}

} // namespace ManifestTool
