#include "linux_shell.h"
#include "release_file.h"
#include "runtime_error.h"
#include "test_files.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestLinuxShell final : public QObject
{
    Q_OBJECT

private slots:
    void launchKind_data();
    void launchKind();
    void runStartsExactlyThatFile_data();
    void runStartsExactlyThatFile();
    void runFailureNamesTheFile_data();
    void runFailureNamesTheFile();
};

void TestLinuxShell::launchKind_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<bool>("executes");
    QTest::newRow("script") << QByteArray("#!/b") << true;
    QTest::newRow("elf") << QByteArray("\177ELF") << true;
    QTest::newRow("pdf") << QByteArray("%PDF") << false;
    QTest::newRow("comment") << QByteArray("# no") << false;
    QTest::newRow("cut elf") << QByteArray("\177EL") << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void TestLinuxShell::launchKind()
{
    QFETCH(QByteArray, head);
    QFETCH(bool, executes);
    QCOMPARE(launchKindOf(head) == LaunchKind::Execute, executes);
}

void TestLinuxShell::runStartsExactlyThatFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("plain") << "setup.sh";
    QTest::newRow("blanks") << "my setup 2.sh";
    QTest::newRow("shell characters") << "-rf; echo \"x\" & $(touch pwned) `id` 'q'.sh";
}

void TestLinuxShell::runStartsExactlyThatFile()
{
    QFETCH(QString, name);
    QTemporaryDir dir;
    const QString path = dir.filePath(name);
    QVERIFY(writeFile(path, "#!/bin/sh\nprintf '%s\\n%s\\n' \"$0\" \"$PWD\" > marker\n"));

    const ReleaseFile release = ReleaseFile::open(path);
    LinuxShell().Run(path, release.descriptor());
    QTRY_VERIFY(QFile::exists(dir.filePath(QStringLiteral("marker"))));
    QFile marker(dir.filePath(QStringLiteral("marker")));
    QTRY_VERIFY(marker.size() > 0);
    QVERIFY(marker.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(marker.readAll()), path + QLatin1Char('\n') + dir.path() + '\n');
    QVERIFY(QFile::permissions(path) & QFileDevice::ExeOwner);
    QStringList files = QDir(dir.path()).entryList(QDir::Files);
    QStringList expected{name, QStringLiteral("marker")};
    files.sort();
    expected.sort();
    QCOMPARE(files, expected);
}

void TestLinuxShell::runFailureNamesTheFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("missing") << QByteArray();
    QTest::newRow("no interpreter") << QByteArray("#!/nonexistent/interpreter\n");
}

void TestLinuxShell::runFailureNamesTheFile()
{
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("set up.sh"));
    if (!content.isEmpty()) {
        QVERIFY(writeFile(path, content));
    }
    try {
        const ReleaseFile release = ReleaseFile::open(path);
        LinuxShell().Run(path, release.descriptor());
        QFAIL("started");
    } catch (const RuntimeError &error) {
        QVERIFY2(error.description().contains(path), qPrintable(error.description()));
    }
}

QTEST_GUILESS_MAIN(TestLinuxShell)
#include "tst_linux_shell.moc"
