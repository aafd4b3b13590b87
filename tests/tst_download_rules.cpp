#include "progress.h"
#include "remote_size.h"
#include "runtime_error.h"
#include "target_file.h"

#include <QTemporaryDir>
#include <QTest>

class TestDownloadRules final : public QObject
{
    Q_OBJECT

private slots:
    void remoteSize_data();
    void remoteSize();
    void percentage_data();
    void percentage();
    void receivedCountStopsAt32Bits();
    void targetReplacesOlderContent();
    void targetFailuresNameFileAndReason_data();
    void targetFailuresNameFileAndReason();
    void discardRemovesPartialFile();
};

void TestDownloadRules::remoteSize_data()
{
    QTest::addColumn<QString>("header");
    QTest::addColumn<qint32>("size");
    QTest::newRow("digits") << "123456" << 123456;
    QTest::newRow("largest") << "2147483647" << 2147483647;
    QTest::newRow("leading zeros") << "0000000000000000000000042" << 42;
    QTest::newRow("blanks around") << " 77 " << 77;
    QTest::newRow("plus") << "+5" << 5;
    QTest::newRow("zero") << "0" << -1;
    QTest::newRow("negative") << "-20" << -1;
    QTest::newRow("beyond 32 bits") << "2147483648" << -1;
    QTest::newRow("beyond 64 bits") << "99999999999999999999999" << -1;
    QTest::newRow("half to even, down") << "12.5" << 12;
    QTest::newRow("half to even, up") << "13.5" << 14;
    QTest::newRow("just over half") << "12.5000001" << 13;
    QTest::newRow("below half") << "12.49999" << 12;
    QTest::newRow("fraction rounds past 32 bits") << "2147483647.5" << -1;
    QTest::newRow("fraction to zero") << "0.4" << -1;
    QTest::newRow("junk") << "12abc" << -1;
    QTest::newRow("exponent") << "1e3" << -1;
    QTest::newRow("separator") << "1,024" << -1;
    QTest::newRow("lone point") << "." << -1;
    QTest::newRow("empty") << "" << -1;
}

void TestDownloadRules::remoteSize()
{
    QFETCH(QString, header);
    QFETCH(qint32, size);
    QCOMPARE(parseRemoteSize(header), size);
}

void TestDownloadRules::percentage_data()
{
    QTest::addColumn<qint16>("previous");
    QTest::addColumn<qint32>("received");
    QTest::addColumn<qint32>("remoteSize");
    QTest::addColumn<qint16>("percentage");
    QTest::newRow("29 of 100 falls below 29") << qint16(0) << 29 << 100 << qint16(28);
    QTest::newRow("complete") << qint16(99) << 4096 << 4096 << qint16(100);
    QTest::newRow("longer than announced") << qint16(100) << 5000 << 4096 << qint16(100);
    QTest::newRow("out of 16 bits keeps the old") << qint16(57) << 2000000 << 10 << qint16(57);
    QTest::newRow("unknown size, nothing yet") << qint16(0) << 0 << -1 << qint16(0);
    QTest::newRow("unknown size, small") << qint16(0) << 300 << -1 << qint16(0);
    QTest::newRow("unknown size, large") << qint16(0) << 1000000 << -1 << qint16(0);
}

void TestDownloadRules::percentage()
{
    QFETCH(qint16, previous);
    QFETCH(qint32, received);
    QFETCH(qint32, remoteSize);
    QFETCH(qint16, percentage);
    QCOMPARE(nextPercentage(previous, received, remoteSize), percentage);
}

void TestDownloadRules::receivedCountStopsAt32Bits()
{
    QCOMPARE(addReceived(2147483000, 1024), 2147483000);
    QCOMPARE(addReceived(2147482623, 1024), 2147483647);
}

void TestDownloadRules::targetReplacesOlderContent()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("release.bin"));
    QFile older(path);
    QVERIFY(older.open(QIODevice::WriteOnly));
    older.write(QByteArray(5000, 'x'));
    older.close();

    std::unique_ptr<QFile> target = openTarget(path);
    writeTarget(*target, "new");
    closeTarget(*target);
    QVERIFY(older.open(QIODevice::ReadOnly));
    QCOMPARE(older.readAll(), QByteArray("new"));
}

void TestDownloadRules::targetFailuresNameFileAndReason_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("opens");
    QTest::addColumn<QString>("reason");
    QTest::newRow("folder missing") << "/nonexistent-folder/release.bin" << false
                                    << "No such file or directory";
    QTest::newRow("disk full") << "/dev/full" << true << "No space left on device";
}

void TestDownloadRules::targetFailuresNameFileAndReason()
{
    QFETCH(QString, path);
    QFETCH(bool, opens);
    QFETCH(QString, reason);
    try {
        std::unique_ptr<QFile> target = openTarget(path);
        QVERIFY(opens);
        writeTarget(*target, QByteArray(1024, 'x'));
        closeTarget(*target);
        QFAIL("no error");
    } catch (const RuntimeError &error) {
        QVERIFY2(error.description().contains(path), qPrintable(error.description()));
        QVERIFY2(error.description().contains(reason), qPrintable(error.description()));
    }
}

void TestDownloadRules::discardRemovesPartialFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("release.bin"));
    std::unique_ptr<QFile> target = openTarget(path);
    writeTarget(*target, "part");
    discardTarget(target);
    QVERIFY(!target);
    QVERIFY(!QFile::exists(path));
}

QTEST_GUILESS_MAIN(TestDownloadRules)
#include "tst_download_rules.moc"
