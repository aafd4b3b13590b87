#include "english_system_texts.h"
#include "file_size_limit.h"
#include "progress.h"
#include "random_bytes.h"
#include "remote_size.h"
#include "runtime_error.h"
#include "sha256.h"
#include "small_tmpfs.h"
#include "target_file.h"
#include "test_files.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

#include <sys/stat.h>
#include <unistd.h>

class TestDownloadRules final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void remoteSize_data();
    void remoteSize();
    void percentage_data();
    void percentage();
    void olderFileStaysUntilTheNewOneIsWhole_data();
    void olderFileStaysUntilTheNewOneIsWhole();
    void targetFailuresNameFileAndReason_data();
    void targetFailuresNameFileAndReason();
    void unfinishedTargetIsRemoved_data();
    void unfinishedTargetIsRemoved();
    void targetKeepsEveryChunkInOrder();
    void pinnedTarget_data();
    void pinnedTarget();
    void changedOnTheDisk_data();
    void changedOnTheDisk();
    void modes_data();
    void modes();
};

void TestDownloadRules::initTestCase()
{
    // The failure rows compare the system's reasons.
    useEnglishSystemTexts();
}

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
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("remoteSize");
    QTest::addColumn<qint16>("percentage");
    const qint64 gib = 1024LL * 1024 * 1024;
    QTest::newRow("29 of 100 falls below 29") << qint16(0) << 29LL << 100LL << qint16(28);
    QTest::newRow("complete") << qint16(99) << 4096LL << 4096LL << qint16(100);
    QTest::newRow("longer than announced") << qint16(100) << 5000LL << 4096LL << qint16(100);
    QTest::newRow("out of 16 bits keeps the old") << qint16(57) << 2000000LL << 10LL << qint16(57);
    QTest::newRow("5 GiB of 6 GiB") << qint16(0) << 5 * gib << 6 * gib << qint16(83);
    QTest::newRow("a byte short of 4 GiB") << qint16(0) << 4 * gib - 1 << 4 * gib << qint16(99);
    QTest::newRow("unknown size, nothing yet") << qint16(0) << 0LL << -1LL << qint16(0);
    QTest::newRow("unknown size, small") << qint16(0) << 300LL << -1LL << qint16(0);
    QTest::newRow("unknown size, large") << qint16(0) << 1000000LL << -1LL << qint16(0);
}

void TestDownloadRules::percentage()
{
    QFETCH(qint16, previous);
    QFETCH(qint64, received);
    QFETCH(qint64, remoteSize);
    QFETCH(qint16, percentage);
    QCOMPARE(nextPercentage(previous, received, remoteSize), percentage);
}

void TestDownloadRules::olderFileStaysUntilTheNewOneIsWhole_data()
{
    QTest::addColumn<QString>("end");
    QTest::newRow("finished") << "finish";
    QTest::newRow("discarded") << "discard";
    QTest::newRow("dropped without a word") << "drop";
    QTest::newRow("refused by its pin") << "mismatch";
}

void TestDownloadRules::olderFileStaysUntilTheNewOneIsWhole()
{
    QFETCH(QString, end);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("release.bin"));
    const QByteArray olderBytes(5000, 'x');
    QVERIFY(writeFile(path, olderBytes));
    ReleasePin pin;
    if (end == QLatin1String("mismatch")) {
        pin.size = 2;
    }
    try {
        TargetFile target(path, pin);
        target.write(QByteArray(TargetFile::BlockBytes + 1, 'n'));
        target.restart();
        target.write("new");
        QCOMPARE(readAll(path), olderBytes);
        QVERIFY(QFile::exists(TargetFile::partPath(path)));
        if (end == QLatin1String("discard")) {
            target.discard();
        } else if (end != QLatin1String("drop")) {
            target.finish();
        }
    } catch (const RuntimeError &error) {
        QVERIFY2(end == QLatin1String("mismatch"), qPrintable(error.description()));
    }
    QCOMPARE(readAll(path), end == QLatin1String("finish") ? QByteArray("new") : olderBytes);
    QVERIFY(!QFile::exists(TargetFile::partPath(path)));
}

void TestDownloadRules::targetFailuresNameFileAndReason_data()
{
    // clang-format off
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("reason");
    QTest::newRow("folder missing") << "/nonexistent-folder/release.bin"
                                    << "No such file or directory";
    QTest::newRow("no room left") << "limit" << "File too large";
    QTest::newRow("no room for the whole, before a byte") << "allocate" << "File too large";
    QTest::newRow("a folder at the .part's name") << "folder" << "a folder is in the way";
    // clang-format on
}

void TestDownloadRules::targetFailuresNameFileAndReason()
{
    QFETCH(QString, path);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    std::optional<FileSizeLimit> limit;
    const bool allocating = path == QLatin1String("allocate");
    if (!path.startsWith(QLatin1Char('/'))) {
        if (path == QLatin1String("folder")) {
            QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("release.bin.part/kept"))));
        }
        path = dir.filePath(QStringLiteral("release.bin"));
    }
    try {
        TargetFile target(path);
        if (reason == QLatin1String("File too large")) {
            limit.emplace(1000);
        }
        if (allocating) {
            target.allocate(TargetFile::BlockBytes);
            QFAIL("room was taken past the limit");
        }
        target.write(QByteArray(TargetFile::BlockBytes, 'x'));
        target.finish();
        QFAIL("no error");
    } catch (const RuntimeError &error) {
        QVERIFY2(error.description().contains(path), qPrintable(error.description()));
        QVERIFY2(error.description().contains(reason), qPrintable(error.description()));
    }
    limit.reset();
    QVERIFY2(nothingAt(path), qPrintable(path));
    if (reason.contains(QLatin1String("in the way"))) {
        // What stood in the way is left as it was.
        QVERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("release.bin.part/kept"))));
    } else {
        QVERIFY2(nothingAt(TargetFile::partPath(path)), qPrintable(path));
    }
}

void TestDownloadRules::unfinishedTargetIsRemoved_data()
{
    QTest::addColumn<bool>("discarded");
    QTest::addColumn<qsizetype>("written");
    QTest::newRow("discarded, nothing written yet") << true << qsizetype(100);
    QTest::newRow("discarded after whole blocks") << true << 3 * TargetFile::BlockBytes + 7;
    QTest::newRow("dropped without a word") << false << TargetFile::BlockBytes;
}

void TestDownloadRules::unfinishedTargetIsRemoved()
{
    QFETCH(bool, discarded);
    QFETCH(qsizetype, written);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("release.bin"));
    {
        TargetFile target(path);
        target.write(QByteArray(written, 'p'));
        QVERIFY(QFile::exists(TargetFile::partPath(path)));
        if (discarded) {
            target.discard();
            QVERIFY(!QFile::exists(TargetFile::partPath(path)));
        }
    }
    QVERIFY(!QFile::exists(TargetFile::partPath(path)));
    QVERIFY(!QFile::exists(path));
}

void TestDownloadRules::targetKeepsEveryChunkInOrder()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("release.bin"));
    QByteArray expected;
    TargetFile target(path);
    for (int i = 0; i < 1000; ++i) {
        const QByteArray chunk(1 + (i * 37) % 1024, char('a' + i % 26));
        expected += chunk;
        target.write(chunk);
    }
    target.finish();
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), expected);
}

namespace {
// Where a pinned target refuses what arrives: at a byte count, or these.
constexpr qint64 AtTheEnd = -1;
constexpr qint64 Kept = -2;
} // namespace

void TestDownloadRules::pinnedTarget_data()
{
    // clang-format off
    // What arrives against what the manifest pins, and where it is refused.
    QTest::addColumn<QString>("arrives");
    QTest::addColumn<bool>("pinsDigest");
    QTest::addColumn<bool>("pinsSize");
    QTest::addColumn<qint64>("refusedAt");
    QTest::addColumn<QString>("said");

    QTest::newRow("the release, both pinned") << "same" << true << true << Kept << "";
    QTest::newRow("the release, digest pinned") << "same" << true << false << Kept << "";
    QTest::newRow("the release, size pinned") << "same" << false << true << Kept << "";
    // Another version's bytes, thrown away when the release came again from its start.
    QTest::newRow("the release after a restart")
        << "restarted" << true << true << Kept << "";
    QTest::newRow("one byte changed") << "changed" << true << true << AtTheEnd << "SHA-256 is";
    QTest::newRow("one byte changed, size pinned only")
        << "changed" << false << true << Kept << "";
    QTest::newRow("truncated") << "short" << true << true << AtTheEnd << "the manifest lists";
    QTest::newRow("truncated, digest pinned only")
        << "short" << true << false << AtTheEnd << "SHA-256 is";
    QTest::newRow("one byte longer")
        << "long" << true << true << qint64(3 * TargetFile::BlockBytes + 1) << "larger than";
    QTest::newRow("one byte longer, digest pinned only")
        << "long" << true << false << AtTheEnd << "SHA-256 is";
    // clang-format on
}

void TestDownloadRules::pinnedTarget()
{
    QFETCH(QString, arrives);
    QFETCH(bool, pinsDigest);
    QFETCH(bool, pinsSize);
    QFETCH(qint64, refusedAt);
    QFETCH(QString, said);

    // A size across several blocks, so that hashing block by block is tried.
    const QByteArray release = randomBytes(3 * TargetFile::BlockBytes);
    QByteArray body = release;
    if (arrives == QLatin1String("changed")) {
        body[body.size() / 2] = char(body.at(body.size() / 2) ^ 1);
    } else if (arrives == QLatin1String("short")) {
        body.chop(1);
    } else if (arrives == QLatin1String("long")) {
        body.append('x');
    }
    ReleasePin pin;
    if (pinsDigest) {
        pin.sha256 = Sha256::hash(release);
    }
    if (pinsSize) {
        pin.size = release.size();
    }

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("release.bin"));
    qint64 written = 0;
    QString error;
    {
        TargetFile target(path, pin);
        try {
            if (arrives == QLatin1String("restarted")) {
                target.write(randomBytes(2 * TargetFile::BlockBytes + 5));
                target.restart();
            }
            for (; written < body.size(); written += 1000) {
                target.write(body.mid(written, 1000));
            }
            written = body.size();
            target.finish();
        } catch (const RuntimeError &failure) {
            error = failure.description();
            QCOMPARE(failure.number(), ErrorNumber::ReleaseMismatch);
        }
    }

    if (refusedAt == Kept) {
        QCOMPARE(error, QString());
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), body);
        return;
    }
    QVERIFY2(error.contains(said), qPrintable(error));
    QVERIFY2(error.contains(path), qPrintable(error));
    if (said == QLatin1String("SHA-256 is")) {
        // Both digests, so that whoever reads it can tell what arrived.
        QVERIFY(error.contains(QString::fromLatin1(Sha256::hash(body).toHex())));
        QVERIFY(error.contains(QString::fromLatin1(pin.sha256.toHex())));
    }
    if (refusedAt >= 0) {
        // Refused on the write that went past the size, not at the end.
        QCOMPARE(written, refusedAt / 1000 * 1000);
    } else {
        QCOMPARE(written, qint64(body.size()));
    }
    QVERIFY(!QFile::exists(path));
}

void TestDownloadRules::changedOnTheDisk_data()
{
    // clang-format off
    // Whether the volume's owners tell nothing of who may write (as on FAT),
    // what someone else does to the download before it is started, what is
    // said (nothing: it is kept) and what the release's name and the .part's
    // hold afterwards.
    QTest::addColumn<bool>("ownersTellNothing");
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("said");
    QTest::addColumn<QByteArray>("left");
    QTest::addColumn<QByteArray>("partLeft");
    QTest::newRow("untouched") << false << "" << "" << QByteArray("release") << QByteArray();
    QTest::newRow("the .part given another name") << false << "link" << "given another name" << QByteArray("older") << QByteArray();
    QTest::newRow("the .part opened to others") << false << "chmod" << "mode or owner" << QByteArray("older") << QByteArray();
    QTest::newRow("a file renamed over the .part") << false << "replace part" << "was replaced while" << QByteArray("older") << QByteArray("rival");
    QTest::newRow("a file renamed over the .part as it is to take the name") << false << "replace part late" << "was replaced while" << QByteArray("older") << QByteArray("rival");
    QTest::newRow("untouched, owners tell nothing") << true << "" << "" << QByteArray("release") << QByteArray();
    QTest::newRow("the .part's bytes changed, owners tell nothing") << true << "write" << "not what was written" << QByteArray("older") << QByteArray();
    QTest::newRow("a file renamed over the .part, owners tell nothing") << true << "replace part late" << "was replaced while" << QByteArray("older") << QByteArray("rival");
    QTest::newRow("a file renamed over it as it takes its name") << false << "rename over" << "now holds another's file, not this download: it was put there as the download took the name, and the older file that had the name is gone" << QByteArray("rival") << QByteArray();
    QTest::newRow("written to as it takes its name") << false << "append" << "written to by someone else" << QByteArray() << QByteArray();
    // clang-format on
}

void TestDownloadRules::changedOnTheDisk()
{
    QFETCH(bool, ownersTellNothing);
    QFETCH(QString, change);
    QFETCH(QString, said);
    QTemporaryDir dir;
    QString folder = dir.path();
    std::optional<FuseMirror> mirror;
    if (ownersTellNothing) {
        folder = dir.filePath(QStringLiteral("mirror"));
        QVERIFY(QDir().mkpath(folder) && QDir().mkpath(dir.filePath(QStringLiteral("source"))));
        mirror.emplace(dir.filePath(QStringLiteral("source")), folder);
        if (!mirror->mounted()) {
            QSKIP(qPrintable(mirror->failure()));
        }
    }
    const QString path = folder + QLatin1String("/release.bin");
    const QString part = TargetFile::partPath(path);
    const QString rival = folder + QLatin1String("/rival");
    QVERIFY(writeFile(path, "older") && writeFile(rival, "rival"));
    const QByteArray body = randomBytes(3 * TargetFile::BlockBytes);
    QString error;
    try {
        TargetFile target(path);
        target.write(body);
        const QByteArray partName = QFile::encodeName(part);
        if (change == QLatin1String("link")) {
            QCOMPARE(::link(partName, partName + ".2"), 0);
        } else if (change == QLatin1String("chmod")) {
            QCOMPARE(::chmod(partName, 0660), 0);
        } else if (change == QLatin1String("replace part")) {
            QVERIFY(::rename(QFile::encodeName(rival), partName) == 0);
        } else if (change == QLatin1String("write")) {
            QFile file(part);
            QVERIFY(file.open(QIODevice::ReadWrite) && file.write("X") == 1);
        }
        QList<ino_t> synced;
        target.setSync([&](int descriptor) {
            struct stat status = {};
            synced.append(::fstat(descriptor, &status) == 0 ? status.st_ino : 0);
            return ::fsync(descriptor);
        });
        target.setBeforeRename([&] {
            // The bytes are on the disk before the name leads to them.
            struct stat status = {};
            QVERIFY(::stat(partName, &status) == 0 && synced.contains(status.st_ino));
            if (change == QLatin1String("replace part late")) {
                QVERIFY(::rename(QFile::encodeName(rival), partName) == 0);
            }
        });
        target.setAfterRename([&] {
            QFile file(path);
            if (change == QLatin1String("rename over")) {
                QVERIFY(::rename(QFile::encodeName(rival), QFile::encodeName(path)) == 0);
            } else if (change == QLatin1String("append")) {
                QVERIFY(file.open(QIODevice::Append) && file.write("X") == 1);
            }
        });
        target.finish();
    } catch (const RuntimeError &failure) {
        error = failure.description();
    }
    QVERIFY2(said.isEmpty() ? error.isEmpty() : error.contains(said), qPrintable(error));
    QFETCH(QByteArray, left);
    QCOMPARE(readAll(path), left == "release" ? body : left);
    QTEST(readAll(part), "partLeft");
    // Nothing the deletion set aside is left.
    QCOMPARE(QDir(folder).entryList({QStringLiteral("*deleted*")}, QDir::Files | QDir::Hidden),
             QStringList());
}

void TestDownloadRules::modes_data()
{
    // The umask, what the release begins with, and the mode it gets when whole.
    QTest::addColumn<int>("umask");
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<int>("mode");
    QTest::newRow("a script, umask 022") << 022 << QByteArray("#!/bin/sh\n") << 0744;
    QTest::newRow("data, umask 002") << 002 << QByteArray("data") << 0664;
    QTest::newRow("a program, umask 077") << 077 << QByteArray("\177ELF") << 0700;
    QTest::newRow("data, no umask") << 0 << QByteArray("data") << 0666;
}

void TestDownloadRules::modes()
{
    QFETCH(int, umask);
    QFETCH(QByteArray, head);
    const mode_t before = ::umask(mode_t(umask));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("release.bin"));
    struct stat part = {};
    struct stat whole = {};
    {
        TargetFile target(path);
        target.write(head + randomBytes(1000));
        QCOMPARE(::stat(QFile::encodeName(TargetFile::partPath(path)), &part), 0);
        target.finish();
    }
    ::umask(before);
    // Nobody else's while it downloads, whatever the umask allows.
    QCOMPARE(part.st_mode & 07777, 0600u);
    QCOMPARE(::stat(QFile::encodeName(path), &whole), 0);
    QTEST(int(whole.st_mode & 07777), "mode");
}

QTEST_GUILESS_MAIN(TestDownloadRules)
#include "tst_download_rules.moc"
