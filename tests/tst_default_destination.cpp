#include "default_destination.h"
#include "runtime_error.h"
#include "test_files.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

class TestDefaultDestination final : public QObject
{
    Q_OBJECT

private slots:
    void destination_data();
    void destination();
    void folderIsMadeWithItsParents();
    void folderThatCannotBeMadeIsReported();
};

void TestDefaultDestination::destination_data()
{
    // clang-format off
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("installBindir");
    QTest::addColumn<QString>("home");
    QTest::addColumn<bool>("writable");
    QTest::addColumn<bool>("downloads");

    const QString home = QStringLiteral("/home/ann");
    const QString bindir = QStringLiteral("/usr/local/bin");
    QTest::newRow("build tree") << "/home/ann/src/orbistane/build" << bindir << home << true
                                << false;
    QTest::newRow("copied program") << "/home/ann/Tools" << bindir << home << true << false;
    QTest::newRow("Debian package") << "/usr/bin" << "/usr/bin" << home << false << true;
    QTest::newRow("Debian package, run by root") << "/usr/bin" << "/usr/bin" << "/root" << true
                                                 << true;
    QTest::newRow("default prefix") << "/usr/local/bin" << bindir << home << true << true;
    QTest::newRow("own prefix's bindir") << "/srv/apps/bin" << "/srv/apps/bin" << home << true
                                         << true;
    QTest::newRow("bindir with a trailing slash") << "/srv/apps/bin" << "/srv/apps/bin/" << home
                                                  << true << true;
    QTest::newRow("beside the bindir") << "/srv/apps/binaries" << "/srv/apps/bin" << home << true
                                       << false;
    QTest::newRow("no bindir compiled in") << "/home/ann/build" << "" << home << true << false;
    QTest::newRow("/bin") << "/bin" << bindir << home << true << true;
    QTest::newRow("/sbin") << "/sbin" << bindir << home << true << true;
    QTest::newRow("vendor folder in /opt") << "/opt/orbistane/bin" << bindir << home << true
                                           << true;
    QTest::newRow("snap") << "/snap/orbistane/12/usr/bin" << bindir << home << true << true;
    QTest::newRow("the root folder") << "/" << bindir << home << true << true;
    QTest::newRow("~/.local/bin") << "/home/ann/.local/bin" << bindir << home << true << true;
    QTest::newRow("another user's .local/bin") << "/home/bob/.local/bin" << bindir << home << true
                                               << false;
    QTest::newRow("no home") << "/srv/.local/bin" << bindir << "" << true << false;
    QTest::newRow("system names inside a build tree") << "/home/ann/usr/bin" << bindir << home
                                                      << true << false;
    QTest::newRow("a system name's prefix") << "/usrdata/build" << bindir << home << true << false;
    QTest::newRow("/optional") << "/optional/build" << bindir << home << true << false;
    QTest::newRow("dots leading out of /usr") << "/usr/../home/ann/build" << bindir << home << true
                                              << false;
    QTest::newRow("dots leading into /usr") << "/home/../usr/bin" << bindir << home << true
                                            << true;
    QTest::newRow("read-only folder of its own") << "/media/ann/disc" << bindir << home << false
                                                 << true;
    QTest::newRow("folder not known") << "" << bindir << home << true << true;
    // clang-format on
}

void TestDefaultDestination::destination()
{
    QFETCH(QString, folder);
    QFETCH(QString, installBindir);
    QFETCH(QString, home);
    QFETCH(bool, writable);
    QFETCH(bool, downloads);

    const ProgramPlace place{folder, installBindir, home, writable};
    const QString downloadFolder = QStringLiteral("/home/ann/Downloads");
    QCOMPARE(runsFromSharedFolder(place), downloads);
    QCOMPARE(defaultDestination(place, downloadFolder), downloads ? downloadFolder : folder);
}

void TestDefaultDestination::folderIsMadeWithItsParents()
{
    QTemporaryDir home;
    const QString folder = home.filePath(QStringLiteral("Mis descargas/2026"));
    makeDestinationFolder(folder);
    QVERIFY(QFileInfo(folder).isDir());
    // Already there: nothing to do, nothing to report.
    makeDestinationFolder(folder);
    QVERIFY(QFileInfo(folder).isDir());
}

void TestDefaultDestination::folderThatCannotBeMadeIsReported()
{
    QTemporaryDir home;
    const QString file = home.filePath(QStringLiteral("Downloads"));
    QVERIFY(writeFile(file, "a file where the folder should be"));
    try {
        makeDestinationFolder(file + QStringLiteral("/releases"));
        QFAIL("no error for a folder under a file");
    } catch (const RuntimeError &error) {
        QCOMPARE(error.number(), ErrorNumber::PathAccess);
        QVERIFY2(error.description().startsWith(
                     QStringLiteral("Cannot create the folder \"%1/releases\": ").arg(file)),
                 qPrintable(error.description()));
    }
    QCOMPARE(readAll(file), QByteArray("a file where the folder should be"));
}

QTEST_GUILESS_MAIN(TestDefaultDestination)
#include "tst_default_destination.moc"
