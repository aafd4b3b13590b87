#include "linux_file_system.h"
#include "manifest.h"
#include "version_selection.h"

#include <QTest>

using Entry = std::optional<ManifestEntry>;
Q_DECLARE_METATYPE(Entry)

class TestManifest final : public QObject
{
    Q_OBJECT

private slots:
    void parseLine_data();
    void parseLine();
    void decode_data();
    void decode();
    void lines_data();
    void lines();
    void pick_data();
    void pick();
};

void TestManifest::parseLine_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<Entry>("entry");

    const auto entry = [](const char *file, const char *name) {
        return Entry(ManifestEntry{QString::fromUtf8(file), QString::fromUtf8(name)});
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
    QTest::newRow("dots inside are fine") << "W2003\t..a..exe\tA" << entry("..a..exe", "A");
}

void TestManifest::parseLine()
{
    QFETCH(QString, line);
    QFETCH(Entry, entry);
    QCOMPARE(parseManifestLine(line), entry);
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
}

void TestManifest::lines()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, lines);
    QCOMPARE(splitLines(bytes), lines);
}

void TestManifest::pick_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("picked");
    QTest::addColumn<QString>("selectedFile");
    QTest::addColumn<QString>("caption");

    const QStringList names{"", "Release 2.1", "Release 3.0"};
    const QStringList files{"", "setup_2_1.exe", "setup_3_0.exe"};
    QTest::newRow("display name to file name")
        << names << files << "Release 2.1" << "setup_2_1.exe" << "< setup_2_1.exe >";
    QTest::newRow("case ignored")
        << names << files << "RELEASE 3.0" << "setup_3_0.exe" << "< setup_3_0.exe >";
    QTest::newRow("no match keeps the text, caption unchanged")
        << names << files << "Release 9" << "Release 9" << QString();
    QTest::newRow("duplicate names: the first wins")
        << QStringList{"", "Beta", "Beta"} << QStringList{"", "b1.exe", "b2.exe"} << "Beta"
        << "b1.exe" << "< b1.exe >";
    QTest::newRow("a file name that is a later display name chains on")
        << QStringList{"", "Beta", "B1.EXE"} << QStringList{"", "b1.exe", "final.exe"}
        << "Beta" << "final.exe" << "< final.exe >";
    QTest::newRow("empty pick matches the empty index 0")
        << names << files << "" << "" << "<  >";
}

void TestManifest::pick()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, files);
    QFETCH(QString, picked);
    QFETCH(QString, selectedFile);
    QFETCH(QString, caption);

    const VersionPick pick = pickVersion(picked, names, files);
    QCOMPARE(pick.selectedFile, selectedFile);
    QCOMPARE(pick.caption.value_or(QString()), caption);
}

QTEST_GUILESS_MAIN(TestManifest)
#include "tst_manifest.moc"
