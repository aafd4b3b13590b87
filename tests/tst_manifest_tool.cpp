#include "file_size_limit.h"
#include "manifest.h"
#include "manifest_tool.h"
#include "minisign_tool.h"
#include "random_bytes.h"
#include "sha256.h"
#include "test_files.h"
#include "tool_folder.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

#include <optional>

#include <sys/stat.h>

namespace {

// One run of the tool, with what it said.
struct Said
{
    int status = -1;
    QString out;
    QString err;
};

Said runTool(const QStringList &arguments)
{
    Said said;
    QTextStream out(&said.out);
    QTextStream err(&said.err);
    said.status = ManifestTool::run(arguments, out, err);
    out.flush();
    err.flush();
    return said;
}

// What a check row does to the folder.
using Change = std::function<void(ToolFolder &)>;

} // namespace

class TestManifestTool final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void check_data();
    void check();
    void add_data();
    void add();
    void usage_data();
    void usage();

private:
    QTemporaryDir m_keys;
    MinisignTool m_tool{m_keys.path()};
    QString m_vendorKey;
};

void TestManifestTool::initTestCase()
{
    if (MinisignTool::available()) {
        m_vendorKey = m_tool.makeKey(QStringLiteral("vendor"));
        QVERIFY(!m_vendorKey.isEmpty());
        QVERIFY(!m_tool.makeKey(QStringLiteral("stranger")).isEmpty());
    }
}

void TestManifestTool::check_data()
{
    // clang-format off
    // change: what is done to a good folder of two pinned releases; key: checked
    // with the vendor's key; said: phrases that must be in what the tool says.
    QTest::addColumn<Change>("change");
    QTest::addColumn<bool>("key");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("said");

    using F = ToolFolder;
    const auto appended =
        [](const QByteArray &lines) { return Change([lines](F &f) { f.manifest += lines; }); };
    const auto manifestIs =
        [](const QByteArray &text) { return Change([text](F &f) { f.manifest = text; }); };
    const auto replaced = [](const QByteArray &from, const QByteArray &to) {
        return Change([from, to](F &f) { f.manifest.replace(from, to); });
    };
    const Change none = [](F &) {};
    const Change stranger = [](F &f) { f.signer = "stranger"; };
    const Change noSignature = [](F &f) { f.signer.clear(); };
    const Change noManifest = [](F &f) { f.manifest = QByteArray(); };
    const Change edited = afterwards([](F &f) {
        return writeFile(f.path("manifest.txt"), f.manifest + "W2003\tb.bin\tEvil\n");
    });
    const Change releaseMissing = afterwards([](F &f) { return QFile::remove(f.path("a.bin")); });
    const Change releaseChanged =
        afterwards([](F &f) { return writeFile(f.path("a.bin"), randomBytes(1999) + 'x'); });
    const Change releaseGrew =
        afterwards([](F &f) { return writeFile(f.path("a.bin"), f.a + 'x'); });
    const Change escaping =
        [](F &f) { f.manifest += "W2003\t../b.bin\tOutside\t" + Sha256::hash(f.b).toHex() + '\n'; };
    const Change duplicate =
        [](F &f) { f.manifest += pinnedLine("a.bin", "Release A again", f.a); };
    const Change utf16 = [](F &f) {
        const QString text = QString::fromUtf8(f.manifest);
        f.manifest = "\xFF\xFE" + QByteArray(reinterpret_cast<const char *>(text.utf16()),
                                             text.size() * 2);
    };
    // Before --public-key: either order goes.
    const Change limit = [](F &f) { f.arguments = {"--max-age-days", "30"}; };
    const Change otherFile = [](F &f) { f.signing.fileName = "manifest-beta.txt"; };
    const Change old = [](F &f) {
        const qint64 then = QDateTime::currentSecsSinceEpoch() - 31 * 86400;
        f.signing.trustedComment = "timestamp:" + QByteArray::number(then) + "\tfile:manifest.txt";
        f.arguments = {"--max-age-days", "30"};
    };
    const Change linkOut = afterwards([](F &f) { return linkReleaseFrom(f, f.elsewhere.path()); });
    const Change linkSibling =
        afterwards([](F &f) { return linkReleaseFrom(f, f.sibling.path()); });
    const Change linkIn = afterwards([](F &f) { return linkReleaseFrom(f, f.path("store")); });
    const Change manifestLink =
        afterwards([](F &f) { return linkInside(f, "manifest.txt", "listed.txt"); });
    const Change signatureLink =
        afterwards([](F &f) { return linkInside(f, "manifest.txt.minisig", "signed.txt"); });
    const Change releaseFifo = afterwards([](F &f) { return fifoAt(f, "b.bin"); });
    const Change fifo = [](F &f) {
        f.manifest = QByteArray();
        f.then = [](F &written) { return fifoAt(written, "manifest.txt"); };
    };
    // a.bin in seven pieces, the last one short, listed with its pieces line.
    // Pieces of 300000 bytes start and end inside the blocks the file is read in.
    const auto inPieces = [](const std::function<void(QByteArray &)> &spoil) {
        return Change([spoil](F &f) {
            f.a = randomBytes(2000000);
            QByteArray pieces = piecesLine("a.bin", f.a, 300000);
            spoil(pieces);
            f.manifest = "# releases\n" + pinnedLine("a.bin", "Release A", f.a) + pieces +
                         pinnedLine("b.bin", "Release B", f.b);
        });
    };
    // Piece 1's digest wrong, while the whole holds.
    const Change wrongPiece = inPieces(
        [](QByteArray &line) { line.replace(line.lastIndexOf('\t') + 65, 64, QByteArray(64, '0')); });

    const int ok = ManifestTool::Exit::Ok;
    const int problems = ManifestTool::Exit::Problems;
    QTest::newRow("good") << none << false << ok << QStringList{"2 releases listed, 0 problems"};
    QTest::newRow("good, signed") << none << true << ok << QStringList{"signature: valid"};
    QTest::newRow("signed by another key")
        << stranger << true << problems << QStringList{"not a trusted key", "list nothing"};
    QTest::newRow("changed after signing")
        << edited << true << problems << QStringList{"changed after it was signed"};
    QTest::newRow("signature missing")
        << noSignature << true << problems << QStringList{"manifest.txt.minisig"};
    QTest::newRow("release missing")
        << releaseMissing << false << problems << QStringList{"a.bin is not in the folder"};
    QTest::newRow("release changed")
        << releaseChanged << false << problems << QStringList{"the SHA-256 of"};
    QTest::newRow("release grew")
        << releaseGrew << false << problems
        << QStringList{"has 2001 bytes, the manifest pins 2000", "the SHA-256 of"};
    QTest::newRow("unpinned line, unsigned") << appended("W2003\tb.bin\tRelease B again\n")
        << false << problems << QStringList{"line 4: no SHA-256 is pinned"};
    QTest::newRow("unpinned line, signed") << appended("W2003\tb.bin\tRelease B again\n")
        << true << problems << QStringList{"line 4: skipped, field 3"};
    QTest::newRow("file name leaving the folder")
        << escaping << false << problems << QStringList{"line 4: skipped, the file name"};
    QTest::newRow("duplicate file names")
        << duplicate << false << ok << QStringList{"a.bin is listed again (first on line 2)"};
    QTest::newRow("malformed size, unsigned")
        << replaced("\t2000\n", "\t2 kB\n") << false << ok << QStringList{"field 4 is not a size"};
    QTest::newRow("lists nothing") << manifestIs("# nothing yet\n") << false << ok
                                   << QStringList{"no release"};
    QTest::newRow("UTF-16") << utf16 << false << ok << QStringList{"UTF-16", "no release"};
    QTest::newRow("no manifest") << noManifest << false << problems
                                 << QStringList{"manifest.txt does not exist"};
    QTest::newRow("signed, within the age limit")
        << limit << true << ok << QStringList{"signed: 20", " UTC, for manifest.txt"};
    QTest::newRow("signed for another file")
        << otherFile << true << problems << QStringList{"signed as \"manifest-beta.txt\""};
    QTest::newRow("signed too long ago")
        << old << true << problems << QStringList{"more than 30 days ago", "list nothing"};
    QTest::newRow("release linked from outside")
        << linkOut << false << problems << QStringList{"b.bin is a symbolic link to"};
    QTest::newRow("release linked from a folder whose name starts with the folder's")
        << linkSibling << false << problems << QStringList{"b.bin is a symbolic link to"};
    QTest::newRow("release linked within the folder") << linkIn << false << ok
                                                      << QStringList{"(b.bin): ok"};
    QTest::newRow("manifest is a link within the folder")
        << manifestLink << false << problems
        << QStringList{"manifest.txt is a symbolic link, which the tool does not follow"};
    QTest::newRow("signature is a link within the folder")
        << signatureLink << true << problems
        << QStringList{"manifest.txt.minisig is a symbolic link", "list nothing"};
    QTest::newRow("release is a FIFO") << releaseFifo << false << problems
                                       << QStringList{"b.bin is not a regular file"};
    QTest::newRow("manifest is a FIFO") << fifo << false << problems
                                        << QStringList{"manifest.txt is not a regular file"};
    QTest::newRow("escape sequences in names")
        << replaced("Release B", "\x1b]0;owned\x07 \u202EB") << false << ok
        << QStringList{"\"\\x1B]0;owned\\x07 \\u{202E}B\""};
    QTest::newRow("display name that is a file name")
        << replaced("Release B", "A.BIN") << false << ok
        << QStringList{"line 3: the display name \"A.BIN\" is the file name of line 2",
                       "picking line 2's release downloads b.bin instead"};
    QTest::newRow("mirrors used in order")
        << appended("MIRROR\thttps://m1.example/r/\nmirror\thttp://m2.example/r/\n"
           "MiRrOr\tHTTPS://M1.example:443/r/\n") << false << ok
        << QStringList{"line 4: mirror https://m1.example/r/\n",
                       "line 5: mirror http://m2.example/r/, for pinned releases only",
                       "line 6: mirror skipped, the same folder is listed before",
                       "after the download server: https://m1.example/r/, http://m2.example/r/\n",
                       "taken to be served over https"};
    QTest::newRow("mirror lines the program cannot read")
        << appended("MIRROR\tm.example/r/\nMIRROR\tftp://m.example/r/\n"
                    "MIRROR\thttps://m.example/r\n")
        << false << problems
        << QStringList{"line 4: mirror skipped, field 1 is not the address",
                       "line 5: mirror skipped, the address is neither", "line 6: mirror skipped, "
                       "the address does not end in \"/\"", "mirrors: none used"};
    QTest::newRow("http mirror, nothing pinned")
        << manifestIs("# mirrors first\nMIRROR\thttp://m.example/r/\n") << false << ok
        << QStringList{"line 2: mirror skipped, an http:// mirror serves only releases the "
                       "manifest pins, and this manifest pins none"};
    QTest::newRow("http mirror, releases pinned by size alone")
        << manifestIs("W2003\ta.bin\tRelease A\t\t2000\nMIRROR\thttp://m.example/r/\n") << false
        << problems << QStringList{"line 2: mirror skipped, an http:// mirror serves only"};
    QTest::newRow("pieces checked") << inPieces([](QByteArray &) {}) << false << ok
                                    << QStringList{"(a.bin): ok, 7 pieces of 300000 bytes"};
    QTest::newRow("a piece's digest wrong")
        << wrongPiece << false << problems
        << QStringList{"line 2: 1 of the 7 pieces of", "the first from byte 300000"};
    QTest::newRow("a pieces line the program would ignore")
        << appended("PIECES\tb.bin\t65536\t" + QByteArray(128, 'a') + '\n') << false << problems
        << QStringList{"line 4: PIECES line ignored, the number of pieces does not fit",
                       "(b.bin): ok\n"};
    QTest::newRow("a second pieces line for the same release")
        << inPieces([](QByteArray &line) { line += line; }) << false << ok
        << QStringList{"warning: line 4: PIECES line ignored, the releases of that file listed "
                       "before it took an earlier"};
    QTest::newRow("more notes than the program logs")
        << appended(QByteArray("#\n").repeated(Manifest::MaxNotes)) << false << problems
        << QStringList{"notes on the manifest's lines; 1 more are not shown"};
    // clang-format on
}

void TestManifestTool::check()
{
    QFETCH(Change, change);
    QFETCH(bool, key);
    QFETCH(int, status);
    QFETCH(QStringList, said);
    if (key && !MinisignTool::available()) {
        QSKIP("minisign is not installed (Debian package minisign); signed rows skipped");
    }

    ToolFolder folder;
    change(folder);
    QVERIFY(folder.write(key ? &m_tool : nullptr));

    QStringList arguments = QStringList{"check", folder.dir.path()} + folder.arguments;
    if (key) {
        // The .pub file itself, as a vendor would pass it.
        arguments << "--public-key" << m_keys.filePath("vendor.pub");
    }
    const Said result = runTool(arguments);
    const QString all = result.out + result.err;
    QVERIFY2(result.status == status, qPrintable(all));
    for (const QString &phrase : std::as_const(said)) {
        QVERIFY2(all.contains(phrase), qPrintable(all));
    }
    QVERIFY2(!all.contains(QChar(0x1b)) && !all.contains(QChar(0x202e)), qPrintable(all));
    // Problems and warnings go to standard error, each on a line of its own.
    QVERIFY(!result.out.contains(QLatin1String("error:")));
    QCOMPARE(result.err.count(QLatin1String("error:")) > 0, status == ManifestTool::Exit::Problems);
}

void TestManifestTool::add_data()
{
    // clang-format off
    // change: what is done to the folder first; before: the manifest as it was
    // (absent when null); name: the display name; refused: what add says when
    // it must leave the manifest as it was.
    QTest::addColumn<QString>("change");
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("name");
    // With {pins} for the release's fields 3 and 4, {pieces} for its pieces line.
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<QString>("refused");

    const QByteArray header = "# releases\r\nL2010\tother.deb\tOther\r\n";
    const QByteArray oldPieces = "\t65536\t" + QByteArray(64, '0');
    QTest::newRow("no manifest yet") << "" << QByteArray() << "Release 1"
                                     << QByteArray("W2003\tr1.bin\tRelease 1\t{pins}\n{pieces}\n")
                                     << "";
    QTest::newRow("appended, CRLF kept")
        << "" << header << "Release 1"
        << header + "W2003\tr1.bin\tRelease 1\t{pins}\r\n{pieces}\r\n" << "";
    QTest::newRow("no line end at the end")
        << "" << QByteArray("# releases") << "Release 1"
        << QByteArray("# releases\nW2003\tr1.bin\tRelease 1\t{pins}\n{pieces}\n") << "";
    QTest::newRow("updated in place, extra fields kept")
        << "" << QByteArray("# a\nw2003\tr1.bin\tOld name\t00\t1\tnotes\n# b\n") << "Release 1"
        << QByteArray("# a\nw2003\tr1.bin\tRelease 1\t{pins}\tnotes\n{pieces}\n# b\n") << "";
    QTest::newRow("every line for the file updated, the pieces after the last")
        << "" << QByteArray("W2003\tr1.bin\tOne\nW2003\tr2.bin\tTwo\nW2003\tr1.bin\tOne again\n")
        << "Release 1"
        << QByteArray("W2003\tr1.bin\tRelease 1\t{pins}\nW2003\tr2.bin\tTwo\n"
                      "W2003\tr1.bin\tRelease 1\t{pins}\n{pieces}\n") << "";
    QTest::newRow("old pieces lines of the file dropped, others kept")
        << "" << "PIECES\tr1.bin" + oldPieces + "\nW2003\tr1.bin\tOld\npieces\tr1.bin" +
                 oldPieces + "\nPIECES\tr2.bin" + oldPieces + '\n'
        << "Release 1"
        << "W2003\tr1.bin\tRelease 1\t{pins}\n{pieces}\nPIECES\tr2.bin" + oldPieces + '\n' << "";
    QTest::newRow("appended in place of a last pieces line without a line end")
        << "" << "# a\nPIECES\tr1.bin" + oldPieces << "Release 1"
        << QByteArray("# a\nW2003\tr1.bin\tRelease 1\t{pins}\n{pieces}\n") << "";
    QTest::newRow("9 MiB and a byte: three pieces")
        << "large release" << header << "Release 1"
        << header + "W2003\tr1.bin\tRelease 1\t{pins}\r\n{pieces}\r\n" << "";
    QTest::newRow("Windows-1252 stays Windows-1252")
        << "" << QByteArray("# versi\xF3n\n") << QStringLiteral("Versión 1 – €")
        << QByteArray("# versi\xF3n\nW2003\tr1.bin\tVersi\xF3n 1 \x96 \x80\t{pins}\n{pieces}\n")
        << "";
    QTest::newRow("mirror line kept") << "" << QByteArray("mIrRoR\thttp://m.example/r/\r\n") << "R 1"
        << QByteArray("mIrRoR\thttp://m.example/r/\r\nW2003\tr1.bin\tR 1\t{pins}\r\n{pieces}\r\n")
        << "";
    QTest::newRow("Windows-1252 cannot hold the name")
        << "" << QByteArray("# versi\xF3n\n") << QStringLiteral("版本 1") << QByteArray()
        << "save it as UTF-8";
    QTest::newRow("release linked within the folder")
        << "release link" << header << "Release 1"
        << header + "W2003\tr1.bin\tRelease 1\t{pins}\r\n{pieces}\r\n" << "";
    QTest::newRow("manifest is a link within the folder")
        << "manifest link" << header << "Release 1" << QByteArray()
        << "manifest.txt is a symbolic link, which the tool does not follow";
    QTest::newRow("disk full: old manifest kept, nothing left behind")
        << "disk full" << header << "Release 1" << QByteArray() << "cannot write";
    // clang-format on
}

void TestManifestTool::add()
{
    QFETCH(QString, change);
    QFETCH(QByteArray, before);
    QFETCH(QString, name);
    QFETCH(QByteArray, after);
    QFETCH(QString, refused);

    QTemporaryDir dir;
    const qsizetype MiB = 1024 * 1024;
    const QByteArray release = randomBytes(change == QLatin1String("large release") ? 9 * MiB + 1
                                                                                    : 5000);
    QVERIFY(writeFile(dir.filePath("r1.bin"), release));
    const QString manifest = dir.filePath("manifest.txt");
    // A mode the umask would narrow, which the rewritten manifest must keep.
    const mode_t mode = 0664;
    const mode_t mask = 027;
    if (change == QLatin1String("release link")) {
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("store")));
        QVERIFY(QFile::rename(dir.filePath("r1.bin"), dir.filePath("store/r1.bin")));
        QVERIFY(QFile::link(QStringLiteral("store/r1.bin"), dir.filePath("r1.bin")));
    }
    if (change == QLatin1String("manifest link")) {
        QVERIFY(writeFile(dir.filePath("listed.txt"), before));
        QVERIFY(QFile::link(QStringLiteral("listed.txt"), manifest));
    } else if (!before.isNull()) {
        QVERIFY(writeFile(manifest, before));
        QCOMPARE(chmod(QFile::encodeName(manifest).constData(), mode), 0);
    }
    const QDir folder(dir.path());
    const auto entries = [&folder] {
        return folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                QDir::NoDotAndDotDot);
    };
    const QStringList there = entries();

    std::optional<FileSizeLimit> full;
    if (change == QLatin1String("disk full")) {
        full.emplace(50); // shorter than the line added
    }
    const mode_t maskBefore = umask(mask);
    const Said result = runTool({"add", dir.path(), "r1.bin", name});
    umask(maskBefore);
    full.reset();
    if (!refused.isEmpty()) {
        QCOMPARE(result.status, ManifestTool::Exit::Problems);
        QVERIFY2(result.err.contains(refused), qPrintable(result.err));
        QCOMPARE(readAll(manifest), before);
        // The link stays a link, and no half-written file stays beside it.
        QCOMPARE(QFileInfo(manifest).isSymLink(), change == QLatin1String("manifest link"));
        QCOMPARE(entries(), there);
        return;
    }
    QVERIFY2(result.status == ManifestTool::Exit::Ok, qPrintable(result.err));
    QVERIFY(result.out.contains(QLatin1String("minisign -Sm")));
    after.replace("{pins}",
                  Sha256::hash(release).toHex() + '\t' + QByteArray::number(release.size()));
    after.replace("{pieces}", piecesLine("r1.bin", release, 4 * MiB).chopped(1));
    QCOMPARE(readAll(manifest), after);
    QCOMPARE(entries().size(), there.size() + (before.isNull() ? 1 : 0)); // nothing else left
    struct stat status = {};
    QCOMPARE(stat(QFile::encodeName(manifest).constData(), &status), 0);
    QCOMPARE(status.st_mode & 0777, before.isNull() ? 0644 & ~mask : mode);
    // What was added is what check, and so the program, reads as pinned.
    const Said checked = runTool({"check", dir.path()});
    QVERIFY2(checked.out.contains(QLatin1String("(r1.bin): ok")), qPrintable(checked.out));
}

void TestManifestTool::usage_data()
{
    // clang-format off
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("said");
    QTest::newRow("nothing") << QStringList() << "no command given";
    QTest::newRow("unknown command") << QStringList{"sign", "."} << "cannot read";
    QTest::newRow("check without a folder") << QStringList{"check"} << "cannot read";
    QTest::newRow("bad key") << QStringList{"check", ".", "--public-key", "RWnot-a-key"}
                             << "not a minisign public key";
    QTest::newRow("add: file outside the folder") << QStringList{"add", "{dir}", "/etc/hostname",
                                                                 "Name"} << "is not in";
    QTest::newRow("add: hidden file") << QStringList{"add", "{dir}", ".r1.bin", "Name"}
                                      << "cannot be listed";
    QTest::newRow("add: missing file") << QStringList{"add", "{dir}", "nope.bin", "Name"}
                                       << "is not a file";
    QTest::newRow("add: tab in the name")
        << QStringList{"add", "{dir}", "r1.bin", "Release\t1"} << "one line of text";
    QTest::newRow("add: FIFO") << QStringList{"add", "{dir}", "fifo.bin", "Name"}
                               << "fifo.bin is not a regular file";
    QTest::newRow("add: link out of the folder")
        << QStringList{"add", "{dir}", "out.bin", "Name"} << "out.bin is a symbolic link to";
    QTest::newRow("age not a number") << QStringList{"check", "{dir}", "--max-age-days", "30d"}
                                      << "\"30d\" is not a number of days";
    QTest::newRow("escape sequences in the command line")
        << QStringList{"sign\x1b]0;owned\x07", "{dir}"} << "sign\\x1B]0;owned\\x07";
    QTest::newRow("escape sequences in the key file")
        << QStringList{"check", "{dir}", "--public-key", "{dir}/evil.pub"}
        << "\"RW\\x1B]0;owned\\x07\" is not a minisign public key";
    QTest::newRow("age without a key") << QStringList{"check", "{dir}", "--max-age-days", "30"}
                                       << "needs --public-key";
    // clang-format on
}

void TestManifestTool::usage()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, said);
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("r1.bin"), "release"));
    QVERIFY(writeFile(dir.filePath(".r1.bin"), "release"));
    QVERIFY(QFile::link(QStringLiteral("/etc/passwd"), dir.filePath("out.bin")));
    QCOMPARE(mkfifo(QFile::encodeName(dir.filePath("fifo.bin")).constData(), 0600), 0);
    QVERIFY(writeFile(dir.filePath("evil.pub"), "untrusted comment: key\nRW\x1b]0;owned\x07\n"));
    arguments.replaceInStrings(QStringLiteral("{dir}"), dir.path());

    const Said result = runTool(arguments);
    QCOMPARE(result.status, ManifestTool::Exit::Usage);
    QVERIFY2(result.err.contains(said), qPrintable(result.err));
    QVERIFY2(!result.err.contains(QChar(0x1b)), qPrintable(result.err));
    QVERIFY(!QFile::exists(dir.filePath("manifest.txt")));
    QVERIFY(runTool({"--help"}).out.contains(QLatin1String("Exit status")));
}

QTEST_GUILESS_MAIN(TestManifestTool)
#include "tst_manifest_tool.moc"
