#include "linux_launch.h"
#include "linux_shell.h"
#include "release_file.h"
#include "runtime_error.h"
#include "sha256.h"
#include "test_files.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Each writes what ran, the name it ran as and its working folder to "marker"
// in its working folder, as the marker program does.
// A script adds the descriptors of what waits for it to end.
const QByteArray Script =
    "#!/bin/sh\nprintf 'original\\n%s\\n%s\\n%s\\n' \"$0\" \"$(pwd -P)\" "
    "\"$(ls /proc/$PPID/fd | sort -n | awk '$1 > 2' | tr '\\n' ' ')\" > marker.tmp\n"
    "mv marker.tmp marker\n";
const QByteArray Rival = "#!/bin/sh\necho rival > marker\n";
const QByteArray Opener =
    "#!/bin/sh\nprintf 'opened\\n%s\\n%s\\n' \"$1\" \"$(pwd -P)\" > marker.tmp\n"
    "mv marker.tmp marker\n";

// A shell whose private copies go to a folder of the test's, and whose PATH
// finds the test's xdg-open first.
struct TestShell
{
    TestShell()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CACHE_HOME"), cache.path());
        environment.insert(QStringLiteral("PATH"), bin.path() + QLatin1Char(':') +
                                                       environment.value(QStringLiteral("PATH")));
        const QString opener = bin.filePath(QStringLiteral("xdg-open"));
        writeFile(opener, Opener);
        QFile::setPermissions(opener, QFile::ReadOwner | QFile::ExeOwner);
        shell.emplace(environment);
    }
    // The launch folders under the cache, copies included.
    QStringList launchFolders() const
    {
        return QDir(cache.filePath(QStringLiteral("orbistane-download")))
            .entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    }

    QTemporaryDir cache;
    QTemporaryDir bin;
    std::optional<LinuxShell> shell;
};

} // namespace

class TestLinuxShell final : public QObject
{
    Q_OBJECT

private slots:
    void launchWay_data();
    void launchWay();
    void runStartsExactlyThatFile_data();
    void runStartsExactlyThatFile();
    void runFailureNamesTheFile_data();
    void runFailureNamesTheFile();
};

void TestLinuxShell::launchWay_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<bool>("keepsOwners");
    QTest::addColumn<LaunchWay>("way");
    QTest::newRow("script") << QByteArray("#!/b") << true << LaunchWay::FromPrivateCopy;
    QTest::newRow("elf") << QByteArray("\177ELF") << true << LaunchWay::FromDescriptor;
    QTest::newRow("elf on FAT") << QByteArray("\177ELF") << false << LaunchWay::FromPrivateCopy;
    QTest::newRow("pdf") << QByteArray("%PDF") << true << LaunchWay::CopyToDesktop;
    QTest::newRow("comment") << QByteArray("# no") << true << LaunchWay::CopyToDesktop;
    QTest::newRow("cut elf") << QByteArray("\177EL") << true << LaunchWay::CopyToDesktop;
    QTest::newRow("empty") << QByteArray() << true << LaunchWay::CopyToDesktop;
}

void TestLinuxShell::launchWay()
{
    QFETCH(QByteArray, head);
    QFETCH(bool, keepsOwners);
    QTEST(launchWayOf(head, keepsOwners), "way");
}

void TestLinuxShell::runStartsExactlyThatFile_data()
{
    // What the release is, its name, and what a rival who can write to the
    // folder does at the very moment of the start.
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("rival");
    QTest::newRow("script") << "script"
                            << "setup.sh"
                            << "";
    QTest::newRow("shell characters") << "script"
                                      << "-rf; echo \"x\" & $(touch pwned) `id` 'q'.sh"
                                      << "";
    QTest::newRow("script, a file renamed over it") << "script"
                                                    << "setup.sh"
                                                    << "file";
    QTest::newRow("script, its folder replaced") << "script"
                                                 << "setup.sh"
                                                 << "folder";
    QTest::newRow("program") << "elf"
                             << "setup.bin"
                             << "";
    QTest::newRow("program, a file renamed over it") << "elf"
                                                     << "setup.bin"
                                                     << "file";
    QTest::newRow("program, its folder replaced") << "elf"
                                                  << "setup.bin"
                                                  << "folder";
    QTest::newRow("program without its execute bit") << "elf, not executable"
                                                     << "setup.bin"
                                                     << "";
    QTest::newRow("document") << "document"
                              << "notes.pdf"
                              << "file";
}

void TestLinuxShell::runStartsExactlyThatFile()
{
    QFETCH(QString, kind);
    QFETCH(QString, name);
    QFETCH(QString, rival);
    TestShell shell;
    QTemporaryDir parent;
    QString folder = parent.filePath(QStringLiteral("downloads"));
    QVERIFY(QDir().mkdir(folder));
    const QString path = folder + QLatin1Char('/') + name;
    if (kind.startsWith(QLatin1String("elf"))) {
        QVERIFY(QFile::copy(QStringLiteral(MARKER_PROGRAM), path));
        QVERIFY(QFile::setPermissions(path, kind == QLatin1String("elf")
                                                ? QFile::ReadOwner | QFile::ExeOwner
                                                : QFile::ReadOwner));
    } else {
        QVERIFY(writeFile(path, kind == QLatin1String("script") ? Script : "%PDF-1.4\n"));
    }
    const QByteArray bytes = readAll(path);

    const ReleaseFile release = ReleaseFile::open(path);
    shell.shell->setBeforeStart([&] {
        const QString swapped = parent.filePath(QStringLiteral("swapped"));
        QVERIFY(writeFile(swapped, Rival));
        QVERIFY(QFile::setPermissions(swapped, QFile::ReadOwner | QFile::ExeOwner));
        if (rival == QLatin1String("file")) {
            QVERIFY(::rename(QFile::encodeName(swapped), QFile::encodeName(path)) == 0);
        } else if (rival == QLatin1String("folder")) {
            QVERIFY(QDir().rename(folder, folder + QLatin1String(".moved")));
            QVERIFY(QDir().mkdir(folder));
            QVERIFY(QFile::rename(swapped, path));
            folder += QLatin1String(".moved");
        }
    });
    shell.shell->Run(release.checked(Sha256::hash(bytes)));

    // The file checked ran, where it was checked, and nothing else ran.
    const QString marker = folder + QLatin1String("/marker");
    QTRY_VERIFY(QFile::exists(marker));
    const QStringList said = QString::fromUtf8(readAll(marker)).split(QLatin1Char('\n'));
    QCOMPARE(said.value(0), kind == QLatin1String("document") ? "opened" : "original");
    QCOMPARE(said.value(2), QDir(folder).canonicalPath());
    if (kind == QLatin1String("elf")) {
        QCOMPARE(said.value(1), path);
        QVERIFY(shell.launchFolders().isEmpty());
        return;
    }
    // Anything else ran from a private copy of the checked bytes, by its name.
    QVERIFY2(said.value(1).startsWith(shell.cache.path() + QLatin1String("/orbistane-download/")),
             qPrintable(said.value(1)));
    QVERIFY(said.value(1).endsWith(QLatin1Char('/') + name));
    if (kind == QLatin1String("document")) {
        // Left for the desktop's reader.
        QCOMPARE(readAll(said.value(1)), bytes);
        QCOMPARE(shell.launchFolders().size(), 1);
    } else {
        // Deleted once the program is done with it, by what holds nothing of
        // the program's open (its display's connection among them) but the
        // standard streams and the folders it needs.
        QCOMPARE(said.value(3), kind == QLatin1String("script") ? "5 6 7 " : "");
        QTRY_VERIFY(shell.launchFolders().isEmpty());
    }
}

void TestLinuxShell::runFailureNamesTheFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("pinned"); // else pinned to another file's digest
    QTest::addColumn<int>("number");
    QTest::newRow("missing") << QByteArray() << true << int(ErrorNumber::PathAccess);
    QTest::newRow("no interpreter")
        << QByteArray("#!/nonexistent/interpreter\n") << true << int(ErrorNumber::FileNotFound);
    QTest::newRow("changed since its check") << Rival << false << int(ErrorNumber::ReleaseMismatch);
}

void TestLinuxShell::runFailureNamesTheFile()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, pinned);
    TestShell shell;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("set up.sh"));
    if (!content.isEmpty()) {
        QVERIFY(writeFile(path, content));
    }
    try {
        const ReleaseFile release = ReleaseFile::open(path);
        shell.shell->Run(release.checked(Sha256::hash(pinned ? content : Script)));
        QFAIL("started");
    } catch (const RuntimeError &error) {
        QVERIFY2(error.description().contains(path), qPrintable(error.description()));
        QTEST(error.number(), "number");
    }
    // Nothing ran, and no copy is left behind.
    QTest::qWait(100);
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("marker"))));
    QVERIFY(shell.launchFolders().isEmpty());
}

QTEST_GUILESS_MAIN(TestLinuxShell)
#include "tst_linux_shell.moc"
