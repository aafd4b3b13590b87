#include "manifest.h"
#include "manifest_reader.h"
#include "mirror_list.h"
#include "sha256.h"
#include "text_lines.h"
#include "version_selection.h"

#include <QTest>

#include <algorithm>

using Entry = std::optional<ManifestEntry>;
Q_DECLARE_METATYPE(Entry)

class TestManifest final : public QObject
{
    Q_OBJECT

private slots:
    void parseLine_data();
    void parseLine();
    void pins_data();
    void pins();
    void pieces_data();
    void pieces();
    void pieceSize_data();
    void pieceSize();
    void digestText_data();
    void digestText();
    void decode_data();
    void decode();
    void lines_data();
    void lines();
    void pick_data();
    void pick();
    void mirrors_data();
    void mirrors();
};

void TestManifest::parseLine_data()
{
    // clang-format off
    QTest::addColumn<QString>("line");
    QTest::addColumn<Entry>("entry");

    const auto entry = [](const char *file, const char *name) {
        return Entry(ManifestEntry{QString::fromUtf8(file), QString::fromUtf8(name), {}});
    };
    QTest::newRow("plain") << "W2003\tsetup_2_1.exe\tRelease 2.1"
                           << entry("setup_2_1.exe", "Release 2.1");
    QTest::newRow("lower-case tag") << "w2003\ta.exe\tA" << entry("a.exe", "A");
    QTest::newRow("extra fields") << "W2003\ta.exe\tA\tnotes\t\t" << entry("a.exe", "A");
    QTest::newRow("empty display name") << "W2003\ta.exe\t" << entry("a.exe", "");
    QTest::newRow("blanks kept") << "W2003\tmy setup.exe\t Release 3 " << entry("my setup.exe",
                                                                                " Release 3 ");
    QTest::newRow("shell characters") << "W2003\t-x;$(id)&'\".sh\tOdd"
                                      << entry("-x;$(id)&'\".sh", "Odd");
    QTest::newRow("tag with blank after") << "W2003 \ta.exe\tA" << Entry();
    QTest::newRow("tag with blank before") << " W2003\ta.exe\tA" << Entry();
    QTest::newRow("other platform") << "L2010\ta.exe\tA" << Entry();
    QTest::newRow("one field") << "W2003" << Entry();
    QTest::newRow("two fields") << "W2003\ta.exe" << Entry();
    QTest::newRow("empty line") << "" << Entry();
    QTest::newRow("untagged single field") << "# releases" << Entry();
    QTest::newRow("empty file name") << "W2003\t\tA" << Entry();
    QTest::newRow("dot") << "W2003\t.\tA" << Entry();
    QTest::newRow("dot dot") << "W2003\t..\tA" << Entry();
    QTest::newRow("slash") << "W2003\t../../.bashrc\tA" << Entry();
    QTest::newRow("absolute") << "W2003\t/etc/passwd\tA" << Entry();
    QTest::newRow("backslash") << "W2003\t..\\x.exe\tA" << Entry();
    QTest::newRow("control character") << "W2003\ta\x01.exe\tA" << Entry();
    QTest::newRow("carriage return") << "W2003\ta.exe\r\tA" << Entry();
    QTest::newRow("delete character") << "W2003\ta\x7f.exe\tA" << Entry();
    QTest::newRow("C1 control character") << QString::fromUtf8("W2003\ta\u0085.exe\tA") << Entry();
    QTest::newRow("accented name") << QString::fromUtf8("W2003\tversi\u00f3n.exe\tA")
                                   << entry("versi\u00f3n.exe", "A");
    QTest::newRow("tag too long") << "W20033\ta.exe\tA" << Entry();
    QTest::newRow("leading dots") << "W2003\t..a..exe\tA" << Entry();
    QTest::newRow("dots inside are fine") << "W2003\ta..b.exe\tA" << entry("a..b.exe", "A");
    QTest::newRow("hidden file") << "W2003\t.profile\tA" << Entry();
    QTest::newRow("dot not leading") << "W2003\ta.sh\tA" << entry("a.sh", "A");
    // Shown as "setup-exe.sh" for the file setup-\u202Ehs.exe.
    QTest::newRow("right-to-left override")
        << QString::fromUtf8("W2003\tsetup-\u202Ehs.exe\tA") << Entry();
    QTest::newRow("zero width space") << QString::fromUtf8("W2003\ta\u200B.exe\tA") << Entry();
    QTest::newRow("byte order mark inside") << QString::fromUtf8("W2003\ta\uFEFF.exe\tA") << Entry();
    QTest::newRow("tag character beyond 16 bits")
        << QString::fromUtf8("W2003\ta\U000E0041.exe\tA") << Entry();
    QTest::newRow("letter beyond 16 bits") << QString::fromUtf8("W2003\ta\U00010400.exe\tA")
                                           << entry("a\U00010400.exe", "A");
    // clang-format on
}

void TestManifest::parseLine()
{
    QFETCH(QString, line);
    QFETCH(Entry, entry);
    QCOMPARE(parseManifestLine(line), entry);
    // What is listed writes back as it was read.
    if (entry) {
        const std::optional<QByteArray> written = writeManifestLine(*entry, TextEncoding::Utf8);
        QVERIFY(written);
        QCOMPARE(parseManifestLine(QString::fromUtf8(*written)), entry);
    }
}

Q_DECLARE_METATYPE(Pinning)
Q_DECLARE_METATYPE(SkipReason)
Q_DECLARE_METATYPE(ReleasePin)

namespace {
const QString Digest =
    QStringLiteral("9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08");
const QByteArray DigestBytes = QByteArray::fromHex(Digest.toLatin1());
} // namespace

void TestManifest::pins_data()
{
    // clang-format off
    QTest::addColumn<QString>("line");
    QTest::addColumn<Pinning>("pinning");
    QTest::addColumn<SkipReason>("skipped");
    QTest::addColumn<ReleasePin>("pin");
    QTest::addColumn<bool>("ignored"); // a malformed pin was ignored

    const Pinning optional = Pinning::Optional;
    const Pinning required = Pinning::Required;
    const QString line = QStringLiteral("W2003\ta.exe\tA\t");
    const ReleasePin none;
    const ReleasePin digest{DigestBytes, -1};
    const ReleasePin both{DigestBytes, 1234};
    const SkipReason listed = SkipReason::None;

    QTest::newRow("no pins") << "W2003\ta.exe\tA" << optional << listed << none << false;
    QTest::newRow("digest") << line + Digest << optional << listed << digest << false;
    QTest::newRow("digest in lower case")
        << line + Digest.toLower() << optional << listed << digest << false;
    QTest::newRow("digest and size")
        << line + Digest + "\t1234" << optional << listed << both << false;
    QTest::newRow("size of zero") << line + Digest + "\t0" << required << listed
                                  << ReleasePin{DigestBytes, 0} << false;
    QTest::newRow("size without digest")
        << line + "\t1234" << optional << listed << ReleasePin{{}, 1234} << false;
    QTest::newRow("fields after the size ignored")
        << line + Digest + "\t1234\tnotes" << required << listed << both << false;
    QTest::newRow("unsigned: short digest ignored")
        << line + Digest.chopped(1) << optional << listed << none << true;
    QTest::newRow("unsigned: digest with a blank ignored")
        << line + Digest + " " << optional << listed << none << true;
    QTest::newRow("unsigned: non-hex digest ignored")
        << line + Digest.chopped(1) + "g" << optional << listed << none << true;
    QTest::newRow("unsigned: junk size ignored")
        << line + Digest + "\t12 MB" << optional << listed << digest << true;
    QTest::newRow("unsigned: negative size ignored")
        << line + Digest + "\t-5" << optional << listed << digest << true;
    QTest::newRow("unsigned: size beyond 64 bits ignored")
        << line + Digest + "\t99999999999999999999" << optional << listed << digest << true;
    QTest::newRow("signed: no digest") << "W2003\ta.exe\tA" << required << SkipReason::NoDigest
                                       << none << false;
    QTest::newRow("signed: empty digest")
        << line + "\t1234" << required << SkipReason::NoDigest << none << false;
    QTest::newRow("signed: malformed digest")
        << line + Digest.chopped(2) << required << SkipReason::NoDigest << none << false;
    QTest::newRow("signed: digest without size")
        << line + Digest << required << SkipReason::BadSize << none << false;
    QTest::newRow("signed: junk size")
        << line + Digest + "\t1e6" << required << SkipReason::BadSize << none << false;
    QTest::newRow("signed: untagged") << "# " + Digest << required << SkipReason::NotTagged
                                      << none << false;
    QTest::newRow("signed: two fields")
        << "W2003\ta.exe" << required << SkipReason::TooFewFields << none << false;
    QTest::newRow("signed: escaping name")
        << "W2003\t../a.exe\tA\t" + Digest << required << SkipReason::NotPlainName << none
        << false;
    QTest::newRow("lines before it counted, mirror lines too")
        << "# a\nMIRROR\thttps://m.example/\n" + line + Digest + "\t1234" << required << listed
        << both << false;
    QTest::newRow("past the most releases")
        << QString("W2003\tb.exe\tB\n").repeated(Manifest::MaxEntries) + line + Digest << optional
        << SkipReason::PastMaxEntries << none << false;
    // clang-format on
}

void TestManifest::pins()
{
    QFETCH(QString, line);
    QFETCH(Pinning, pinning);
    QFETCH(SkipReason, skipped);
    QFETCH(ReleasePin, pin);
    QFETCH(bool, ignored);

    // The row's last line, read through the whole text.
    const ManifestContents read = readManifest(line.toUtf8(), pinning, QString());
    const int last = int(line.count(u'\n')) + 1;
    const bool listed = skipped == SkipReason::None;
    QCOMPARE(!read.releases.isEmpty() && read.releases.constLast().line == last, listed);
    if (listed) {
        const ManifestEntry &entry = read.releases.constLast().entry;
        QCOMPARE(entry.file, QStringLiteral("a.exe"));
        QCOMPARE(entry.name, QStringLiteral("A"));
        QVERIFY(entry.pin == pin);
    } else {
        QVERIFY(!read.notes.isEmpty());
        const ManifestNote &note = read.notes.constLast();
        QCOMPARE(note.line, last);
        QCOMPARE(note.skip, skipped);
        QVERIFY(!note.reason().isEmpty());
    }
    QCOMPARE(std::any_of(read.notes.cbegin(), read.notes.cend(),
                         [last](const ManifestNote &note) {
                             return note.line == last &&
                                    (note.kind == ManifestNote::Kind::DigestIgnored ||
                                     note.kind == ManifestNote::Kind::SizeIgnored);
                         }),
             ignored);
}

Q_DECLARE_METATYPE(PieceDigests)
Q_DECLARE_METATYPE(PiecesSkip)

void TestManifest::pieces_data()
{
    // clang-format off
    // text: a manifest; pieces: what the last release of a.exe is given;
    // skipped: why each pieces line is ignored, None for a line taken.
    QTest::addColumn<QString>("text");
    QTest::addColumn<PieceDigests>("pieces");
    QTest::addColumn<QList<PiecesSkip>>("skipped");

    // 200000 bytes: three pieces of 64 KiB and one of 3392 bytes.
    const QString release = "W2003\ta.exe\tA\t" + Digest + "\t200000";
    const QByteArray four = Sha256::hash("1") + Sha256::hash("2") + Sha256::hash("3") +
                            Sha256::hash("4");
    const QString hex = QString::fromLatin1(four.toHex());
    const auto piecesOf = [](const QString &size, const QString &digests) {
        return "PIECES\ta.exe\t" + size + '\t' + digests;
    };
    const QString line = piecesOf("65536", hex);
    const auto text = [](const QStringList &lines) { return lines.join(u'\n'); };
    const PieceDigests given{65536, four};
    const PieceDigests none;
    const PiecesSkip taken = PiecesSkip::None;
    using Skips = QList<PiecesSkip>;

    QTest::newRow("tag and digits in any letter case, fields after ignored")
        << text({release, "pIeCeS\ta.exe\t65536\t" + hex.left(100).toUpper() + hex.mid(100) +
                 "\tnotes"}) << given << Skips{taken};
    QTest::newRow("before its release, or another file's")
        << text({line, release, "PIECES\tA.exe\t65536\t" + hex}) << none
        << Skips{PiecesSkip::NoRelease, PiecesSkip::NoRelease};
    QTest::newRow("piece size out of range, beyond 64 bits or missing")
        << text({release, piecesOf("65535", hex), piecesOf("1073741825", hex),
                 piecesOf("18446744073709617152", hex), "PIECES\ta.exe"}) << none
        << Skips(4, PiecesSkip::BadPieceSize);
    QTest::newRow("digits odd, half a digest over, not hexadecimal or none")
        << text({release, piecesOf("65536", hex.chopped(1)), piecesOf("65536", hex + "0a"),
                 piecesOf("65536", hex.chopped(1) + 'g'), piecesOf("65536", "")}) << none
        << Skips(4, PiecesSkip::NotDigests);
    QTest::newRow("a piece too few, a piece too many, a size near 2^63")
        << text({release, piecesOf("65536", hex.chopped(64)), release,
                 piecesOf("65536", hex + hex.left(64)),
                 "W2003\ta.exe\tA\t" + Digest + "\t9223372036854775807", line}) << none
        << Skips(3, PiecesSkip::DoesNotFit);
    QTest::newRow("a release pinned by size alone noted, the pinned one given")
        << text({"W2003\ta.exe\tA\t\t200000", release, line}) << given
        << Skips{PiecesSkip::NotPinned};
    QTest::newRow("a line ignored leaves the release to the next")
        << text({release, piecesOf("65536", hex.chopped(1)), line}) << given
        << Skips{PiecesSkip::NotDigests, taken};
    QTest::newRow("a second line for the same release")
        << text({release, line, piecesOf("65536", hex.mid(64) + hex.left(64))}) << given
        << Skips{taken, PiecesSkip::Again};
    QTest::newRow("the release listed again takes the next line, in pieces of 128 KiB")
        << text({release, line, release, piecesOf("131072", hex.left(128))})
        << PieceDigests{131072, four.left(64)} << Skips{taken, taken};
    // clang-format on
}

void TestManifest::pieces()
{
    QFETCH(QString, text);
    QFETCH(PieceDigests, pieces);
    QFETCH(QList<PiecesSkip>, skipped);

    const ManifestContents read = readManifest(text.toUtf8(), Pinning::Optional, QString());
    const auto release = std::find_if(
        read.releases.crbegin(), read.releases.crend(),
        [](const ListedRelease &listed) { return listed.entry.file == QLatin1String("a.exe"); });
    QVERIFY(release != read.releases.crend());
    QVERIFY(release->entry.pin.pieces == pieces);
    QCOMPARE(release->entry.pin.pinsPieces(), pieces.count() > 0);

    QList<PiecesSkip> noted;
    const QStringList lines = text.split(u'\n');
    for (int number = 1; number <= lines.size(); ++number) {
        if (!lines.at(number - 1).startsWith(u"pieces", Qt::CaseInsensitive)) {
            continue;
        }
        const auto note =
            std::find_if(read.notes.cbegin(), read.notes.cend(),
                         [number](const ManifestNote &note) { return note.line == number; });
        const bool ignored = note != read.notes.cend();
        QVERIFY(!ignored || !note->reason().isEmpty());
        noted.append(ignored ? note->piecesSkip : PiecesSkip::None);
    }
    QCOMPARE(noted, skipped);
}

void TestManifest::pieceSize_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("pieceBytes");

    const qint64 MiB = 1024 * 1024;
    QTest::newRow("4096 pieces of 4 MiB") << 16384 * MiB << 4 * MiB;
    QTest::newRow("a byte more: 8 MiB") << 16384 * MiB + 1 << 8 * MiB;
    QTest::newRow("2^62 bytes: at most 1 GiB") << (qint64(1) << 62) << 1024 * MiB;
}

void TestManifest::pieceSize()
{
    QFETCH(qint64, size);
    QFETCH(qint64, pieceBytes);
    QCOMPARE(pieceBytesFor(size), pieceBytes);
}

void TestManifest::digestText_data()
{
    // clang-format off
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("hex");
    // Known answers: the empty input, and one longer than a block.
    QTest::newRow("empty") << QByteArray()
                           << "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    QTest::newRow("two blocks")
        << QByteArray(100, 'a') << "2816597888e4a0d3a36b82b83316ab32680eb8f00f8cd3b904d681246d285a0e";
    // clang-format on
}

void TestManifest::digestText()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, hex);
    QCOMPARE(Sha256::hash(content).toHex(), hex.toLatin1());
    QCOMPARE(parseSha256Hex(hex), std::optional<QByteArray>(QByteArray::fromHex(hex.toLatin1())));
    QCOMPARE(parseSha256Hex(hex.toUpper()), parseSha256Hex(hex));
    // Fed in pieces, the same digest.
    Sha256 pieces;
    for (qsizetype i = 0; i < content.size(); i += 7) {
        pieces.addData(content.mid(i, 7));
    }
    QCOMPARE(pieces.result().toHex(), hex.toLatin1());
}

void TestManifest::decode_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");

    QTest::newRow("ascii") << QByteArray("W2003\ta\tb") << QStringLiteral("W2003\ta\tb");
    QTest::newRow("utf-8") << QByteArray("Versi\xc3\xb3n") << QStringLiteral("Versión");
    QTest::newRow("utf-8 with byte order mark")
        << QByteArray("\xef\xbb\xbfVersi\xc3\xb3n") << QStringLiteral("Versión");
    QTest::newRow("windows-1252") << QByteArray("Versi\xf3n") << QStringLiteral("Versión");
    QTest::newRow("windows-1252 high range")
        << QByteArray("\x80 \x93quoted\x94 \x85") << QStringLiteral("€ “quoted” …");
    QTest::newRow("truncated utf-8 falls back")
        << QByteArray("caf\xc3") << QStringLiteral("caf\u00c3");
    QTest::newRow("empty") << QByteArray() << QString();
}

void TestManifest::decode()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(splitLines(bytes).join(QLatin1Char('\n')), text);
}

void TestManifest::lines_data()
{
    // clang-format off
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("LF") << QByteArray("a\nb\n") << QStringList{"a", "b"};
    QTest::newRow("CRLF") << QByteArray("a\r\nb\r\n") << QStringList{"a", "b"};
    QTest::newRow("no final line end") << QByteArray("a\r\nb") << QStringList{"a", "b"};
    QTest::newRow("empty lines kept") << QByteArray("a\n\n\nb\n") << QStringList{"a", "", "", "b"};
    QTest::newRow("only CR at the end is dropped") << QByteArray("a\rb\r\n")
                                                   << QStringList{"a\rb"};
    QTest::newRow("empty text") << QByteArray() << QStringList{};
    QTest::newRow("one empty CRLF line") << QByteArray("\r\n") << QStringList{""};
    QTest::newRow("CR closing the text") << QByteArray("a\nb\r") << QStringList{"a", "b"};
    // As in manifests pasted together: a tag after the mark still counts.
    QTest::newRow("byte order mark starting any line")
        << QByteArray("\xef\xbb\xbf" "a\n\xef\xbb\xbf" "W2003") << QStringList{"a", "W2003"};
    QTest::newRow("utf-8 lines") << QByteArray("Versi\xc3\xb3n\r\nb")
                                 << QStringList{QStringLiteral("Versión"), "b"};
    QTest::newRow("windows-1252 lines") << QByteArray("Versi\xf3n\r\nb")
                                        << QStringList{QStringLiteral("Versión"), "b"};
    // One byte that is not UTF-8 makes the whole text Windows-1252.
    QTest::newRow("invalid byte on a later line")
        << QByteArray("caf\xc3\xa9\nx\xff")
        << QStringList{QStringLiteral("caf\u00c3\u00a9"), QStringLiteral("x\u00ff")};
    // clang-format on
}

void TestManifest::lines()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, lines);
    QCOMPARE(splitLines(bytes), lines);
}

void TestManifest::pick_data()
{
    // clang-format off
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("picked");
    QTest::addColumn<QString>("selectedFile");
    QTest::addColumn<QString>("caption");
    // The entry whose file name was taken, which decides what is pinned.
    QTest::addColumn<qsizetype>("index");

    const QStringList names{"", "Release 2.1", "Release 3.0"};
    const QStringList files{"", "setup_2_1.exe", "setup_3_0.exe"};
    QTest::newRow("display name to file name")
        << names << files << "Release 2.1" << "setup_2_1.exe" << "< setup_2_1.exe >"
        << qsizetype(1);
    QTest::newRow("case ignored")
        << names << files << "RELEASE 3.0" << "setup_3_0.exe" << "< setup_3_0.exe >"
        << qsizetype(2);
    QTest::newRow("no match keeps the text, caption unchanged")
        << names << files << "Release 9" << "Release 9" << QString() << qsizetype(-1);
    QTest::newRow("duplicate names: the first wins")
        << QStringList{"", "Beta", "Beta"} << QStringList{"", "b1.exe", "b2.exe"} << "Beta"
        << "b1.exe" << "< b1.exe >" << qsizetype(1);
    QTest::newRow("a file name that is a later display name chains on")
        << QStringList{"", "Beta", "B1.EXE"} << QStringList{"", "b1.exe", "final.exe"}
        << "Beta" << "final.exe" << "< final.exe >" << qsizetype(2);
    QTest::newRow("empty pick matches the empty index 0")
        << names << files << "" << "" << "<  >" << qsizetype(0);
    // clang-format on
}

void TestManifest::pick()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, files);
    QFETCH(QString, picked);
    QFETCH(QString, selectedFile);
    QFETCH(QString, caption);
    QFETCH(qsizetype, index);

    const VersionPick pick = pickVersion(picked, names, files);
    QCOMPARE(pick.selectedFile, selectedFile);
    QCOMPARE(pick.caption.value_or(QString()), caption);
    QCOMPARE(pick.index, index);
}

Q_DECLARE_METATYPE(MirrorSkip)

void TestManifest::mirrors_data()
{
    // clang-format off
    // line: read after a mirror at https://m1.example/r/, beside the manifest's
    // folder; unpinned, pinned: the folder it adds for such releases, if any.
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<MirrorSkip>("skipped");
    QTest::addColumn<QString>("unpinned");
    QTest::addColumn<QString>("pinned");
    QTest::addColumn<int>("others"); // mirrors listed between the first and the line

    const QString https = QStringLiteral("https://dl.example/online_installer/");
    const QString m2 = QStringLiteral("https://m2.example/r/");
    const QString http2 = QStringLiteral("http://m2.example/r/");
    const QString none;
    const MirrorSkip used = MirrorSkip::None;
    QTest::newRow("tag in any letter case, fields after ignored")
        << "mIrRoR\t" + m2 + "\tnotes" << https << used << m2 << m2 << 0;
    QTest::newRow("untagged") << "MIRRORS\t" + m2 << https << used << none << none << 0;
    QTest::newRow("no trailing slash") << "MIRROR\thttps://m2.example/r" << https
                                       << MirrorSkip::NoTrailingSlash << none << none << 0;
    QTest::newRow("ftp") << "MIRROR\tftp://m2.example/r/" << https << MirrorSkip::NotHttp << none
                         << none << 0;
    QTest::newRow("credentials") << "MIRROR\thttps://u:p@m2.example/r/" << https
                                 << MirrorSkip::NotAnAddress << none << none << 0;
    QTest::newRow("upper-case host, default port: a duplicate")
        << "MIRROR\tHTTPS://M1.EXAMPLE:443/r/" << https << MirrorSkip::Duplicate << none << none << 0;
    QTest::newRow("port 0") << "MIRROR\thttps://m2.example:0/r/" << https
                            << MirrorSkip::NotAnAddress << none << none << 0;
    QTest::newRow("host with a trailing dot: a duplicate")
        << "MIRROR\thttps://m1.example./r/" << https << MirrorSkip::Duplicate << none << none << 0;
    QTest::newRow("the manifest's own folder")
        << "MIRROR\t" + https << https << MirrorSkip::Duplicate << none << none << 0;
    QTest::newRow("path in another letter case: another folder")
        << "MIRROR\thttps://m1.example/R/" << https << used << "https://m1.example/R/"
        << "https://m1.example/R/" << 0;
    QTest::newRow("http beside https: pinned releases only")
        << "MIRROR\t" + http2 << https << used << none << http2 << 0;
    QTest::newRow("http beside http: every release")
        << "MIRROR\t" + http2 << "http://dl.example/online_installer/" << used << http2 << http2 << 0;
    QTest::newRow("query") << "MIRROR\thttps://m2.example/r/?x=1" << https
                           << MirrorSkip::NotAnAddress << none << none << 0;
    QTest::newRow("user name without password") << "MIRROR\thttps://u@m2.example/r/" << https
                                                << MirrorSkip::NotAnAddress << none << none << 0;
    QTest::newRow("dot-dot segment: a duplicate")
        << "MIRROR\thttps://m1.example/x/../r/" << https << MirrorSkip::Duplicate << none << none << 0;
    QTest::newRow("past the most mirrors")
        << "MIRROR\t" + m2 << https << MirrorSkip::TooMany << none << none
        << Manifest::MaxMirrors - 1;
    // clang-format on
}

void TestManifest::mirrors()
{
    QFETCH(QString, line);
    QFETCH(QString, folder);
    QFETCH(MirrorSkip, skipped);
    QFETCH(QString, unpinned);
    QFETCH(QString, pinned);
    QFETCH(int, others);

    QStringList before{folder, QStringLiteral("https://m1.example/r/")};
    for (int i = 0; i < others; ++i) {
        before.append(QStringLiteral("https://o%1.example/").arg(i));
    }
    QString text;
    for (const QString &mirror : before.mid(1)) {
        text += QStringLiteral("MIRROR\t%1\n").arg(mirror);
    }
    const ManifestContents read = readManifest((text + line).toUtf8(), Pinning::Optional, folder);
    const ReleaseServers &servers = read.servers;
    const ManifestNote &note = read.notes.constLast();
    QCOMPARE(note.line, others + 2);
    QCOMPARE(note.kind == ManifestNote::Kind::NoMirror ? note.mirrorSkip : MirrorSkip::None,
             skipped);
    QCOMPARE(describeMirrorSkip(skipped).isEmpty(), skipped == MirrorSkip::None);
    const auto folders = [&](const QString &added) {
        return before + (added.isEmpty() ? QStringList() : QStringList{added});
    };
    QCOMPARE(servers.forRelease({}), folders(unpinned));
    QCOMPARE(servers.forRelease(ReleasePin{{}, 1234}), folders(unpinned)); // a size pins nothing
    QCOMPARE(servers.forRelease(ReleasePin{DigestBytes, 1234}), folders(pinned));
}

QTEST_GUILESS_MAIN(TestManifest)
#include "tst_manifest.moc"
