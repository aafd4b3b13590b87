#include "download_job.h"
#include "failure_texts.h"
#include "piece_plan.h"
#include "random_bytes.h"
#include "release_file.h"
#include "runtime_error.h"
#include "server_list.h"
#include "sha256.h"
#include "small_tmpfs.h"
#include "target_file.h"
#include "test_files.h"
#include "test_platform.h"

#include <QDir>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

class TestDownloadJob final : public QObject
{
    Q_OBJECT

    static constexpr qint64 Piece = 64 * 1024;

    FakeMountTable m_mounts;
    LinuxFileSystem m_fileSystem{m_mounts};
    QTemporaryDir m_folder;
    const QString m_path = m_folder.filePath(QStringLiteral("setup.bin"));

private slots:
    void receive_data();
    void receive();
    void room_data();
    void room();
    void moveOn_data();
    void moveOn();
    void report_data();
    void report();
    void plan_data();
    void plan();
    void atOnce_data();
    void atOnce();
    void carryOn_data();
    void carryOn();
    void stop_data();
    void stop();
    void staleParts_data();
    void staleParts();
};

void TestDownloadJob::receive_data()
{
    using Chunks = QList<qint64>; // offset and length in the release, pair after pair
    QTest::addColumn<qint64>("pinned");
    QTest::addColumn<qint64>("announced");
    QTest::addColumn<Chunks>("chunks");
    QTest::addColumn<QList<int>>("percents");
    QTest::newRow("offsets back to 0, unpinned: only the new bytes")
        << -1LL << 2500LL << Chunks{0, 1000, 1000, 1000, 0, 1500, 1500, 1000}
        << QList<int>{40, 80, 60, 100};
    QTest::newRow("pin beats announcement")
        << 2500LL << 1000LL << Chunks{0, 1000, 1000, 1500} << QList<int>{40, 100};
    QTest::newRow("over 2 GiB") << -1LL << 3000000000LL << Chunks{0, 30000000, 30000000, 31000000}
                                << QList<int>{1, 2};
}

void TestDownloadJob::receive()
{
    QFETCH(qint64, pinned);
    QFETCH(qint64, announced);
    QFETCH(QList<qint64>, chunks);
    const QByteArray release = randomBytes(chunks.constLast() + chunks[chunks.size() - 2]);
    DownloadJob job(m_fileSystem, m_folder.path(), m_path, {{}, pinned, {}});
    job.announce(announced);
    job.answered({}, {});
    QList<int> shown;
    for (qsizetype i = 0; i < chunks.size(); i += 2) {
        job.receive(release.mid(chunks[i], chunks[i + 1]), chunks[i]);
        shown.append(job.progress().percentage);
    }
    QTEST(shown, "percents");
    job.receive({}, release.size());
    job.finish();
    QCOMPARE(readAll(m_path), release);
    QCOMPARE(job.progress().phase, DownloadPhase::Finished);
    QCOMPARE(job.progress().receivedBytes, release.size());
}

void TestDownloadJob::room_data()
{
    // The release's size beyond what the volume has free, and a stale .part
    // of this length: sparse, taking its blocks, or taking them under a second
    // name too, so that deleting the .part frees nothing.
    QTest::addColumn<qint64>("stalePart");
    QTest::addColumn<QString>("blocks");
    QTest::addColumn<qint64>("beyondFree");
    QTest::addColumn<bool>("fits");
    const qint64 gb = 1000LL * 1000 * 1000;
    const qint64 mb = 1000LL * 1000;
    QTest::newRow("fits") << 0LL << "sparse" << -gb << true;
    QTest::newRow("exactly the free space") << 0LL << "sparse" << 0LL << true;
    QTest::newRow("does not fit") << 0LL << "sparse" << 1LL << false;
    QTest::newRow("stale .part's room counts") << 64 * mb << "taken" << 32 * mb << true;
    QTest::newRow("a sparse stale .part gives back nothing")
        << 2000 * gb << "sparse" << 1000 * gb << false;
    QTest::newRow("a stale .part with another name gives back nothing")
        << 64 * mb << "linked" << 32 * mb << false;
}

void TestDownloadJob::room()
{
    QFETCH(qint64, stalePart);
    QFETCH(QString, blocks);
    QFETCH(qint64, beyondFree);
    QFile part(TargetFile::partPath(m_path));
    QVERIFY(part.open(QIODevice::WriteOnly) && part.resize(stalePart));
    QVERIFY(blocks == QLatin1String("sparse") ||
            ::posix_fallocate(part.handle(), 0, stalePart) == 0);
    const QString otherName = m_folder.filePath(QStringLiteral("other-name"));
    const auto removeLink = qScopeGuard([&] { QFile::remove(otherName); });
    QVERIFY(blocks != QLatin1String("linked") ||
            ::link(QFile::encodeName(part.fileName()), QFile::encodeName(otherName)) == 0);
    FixedFreeSpace volume;
    volume.free = 10 * 1000LL * 1000 * 1000;
    DownloadJob job(volume, m_folder.path(), m_path, {});
    job.announce(volume.free + beyondFree);
    const DownloadRoom room = job.room();
    QTEST(room.fits(), "fits");
    // The blocks a file takes may round its length up a little.
    const qint64 given = room.freeBytes - volume.free -
                         (blocks == QLatin1String("taken") ? stalePart : 0);
    QVERIFY2(given >= 0 && given < 1000 * 1000, qPrintable(QString::number(given)));
}

void TestDownloadJob::moveOn_data()
{
    // After `written` of 2500 bytes from the first of two servers, the failure's
    // number; from: where the second server is asked from, -1 for none. A
    // release whose size is not pinned is announced at 5000 by the first.
    QTest::addColumn<bool>("digestPinned");
    QTest::addColumn<bool>("sizePinned");
    QTest::addColumn<qint64>("written");
    QTest::addColumn<int>("failure");
    QTest::addColumn<qint64>("from");
    // clang-format off
    QTest::newRow("pinned, transfer failed: carries on") << true << true << 1000LL << ErrorNumber::TransferFailed << 1000LL;
    QTest::newRow("pinned, time-out: carries on") << true << true << 1000LL << ErrorNumber::RequestTimedOut << 1000LL;
    QTest::newRow("pinned, all written, time-out: byte 0") << true << true << 2500LL << ErrorNumber::RequestTimedOut << 0LL;
    QTest::newRow("pinned, not the release: byte 0") << true << true << 1000LL << ErrorNumber::ReleaseMismatch << 0LL;
    QTest::newRow("size pinned only: byte 0") << false << true << 1000LL << ErrorNumber::TransferFailed << 0LL;
    QTest::newRow("digest pinned only: the mirror's size") << true << false << 1000LL << ErrorNumber::TransferFailed << 1000LL;
    QTest::newRow("unpinned: the mirror's size") << false << false << 1000LL << ErrorNumber::TransferFailed << 0LL;
    QTest::newRow("disk full: not the server's") << true << true << 1000LL << ErrorNumber::DiskFull << -1LL;
    // clang-format on
}

void TestDownloadJob::moveOn()
{
    QFETCH(bool, digestPinned);
    QFETCH(bool, sizePinned);
    QFETCH(qint64, written);
    QFETCH(int, failure);
    QFETCH(qint64, from);
    const QByteArray release = randomBytes(2500);
    const QStringList servers{QStringLiteral("https://a.example/r"),
                              QStringLiteral("http://b.example/r")};
    DownloadJob job(
        m_fileSystem, m_folder.path(), m_path,
        {digestPinned ? Sha256::hash(release) : QByteArray(), sizePinned ? release.size() : -1, {}},
        servers, DownloadJob::Sharing::OneAtATime);
    job.takeProbe(200, QStringLiteral("5000"));
    job.answered({}, {});
    job.receive(release.left(written), 0);
    const RuntimeError failed(failure, QStringLiteral("it failed"));
    if (from < 0) {
        // The failure itself, as it was: no other server is tried.
        QVERIFY_THROWS_EXCEPTION(RuntimeError, job.afterFailure(failed));
        QCOMPARE(job.address(), servers[0]);
        return;
    }

    const NextServer next = job.afterFailure(failed);
    QCOMPARE(next.address, servers[1]);
    QCOMPARE(next.from, from);
    QCOMPARE(job.progress().receivedBytes, from);
    QCOMPARE(job.percentage() == 0, from == 0);
    // Until the next server answers, the job waits for it, whatever the clock says.
    job.tick(1000, false);
    QVERIFY(!job.isReceiving());
    // The mirror tells its size: of the whole, or of its piece and the whole.
    job.answered(QString::number(release.size() - from),
                 from > 0 ? QStringLiteral("bytes %1-2499/2500").arg(from) : QString());
    job.receive(release.mid(from), from);
    job.receive({}, release.size());
    QCOMPARE(job.progress().expectedBytes, qint64(release.size()));
    QCOMPARE(job.percentage(), 100);
    QCOMPARE(readAll(job.finish().path()), release);
    // The last server failing leaves none: each is reported, in order.
    try {
        job.afterFailure(RuntimeError(ErrorNumber::TransferFailed, QStringLiteral("also")));
        QFAIL("no server is left");
    } catch (const RuntimeError &report) {
        QCOMPARE(report.description(),
                 QStringLiteral("\"setup.bin\" could not be downloaded from any of its 2 servers:\n"
                                "1. https://a.example/r: it failed\n2. http://b.example/r: also"));
    }
}

void TestDownloadJob::report_data()
{
    QTest::addColumn<QStringList>("reasons"); // of the first servers, in order
    QTest::addColumn<QString>("report");
    QTest::newRow("one server: its failure as it was")
        << QStringList{"No answer from http://a/f"} << "No answer from http://a/f";
    QTest::newRow("a reason naming its address is not prefixed")
        << QStringList{"No answer from http://a/f", "refused"}
        << "\"f\" could not be downloaded from any of its 2 servers:\n1. No answer from "
           "http://a/f\n2. http://b/f: refused";
}

void TestDownloadJob::report()
{
    QFETCH(QStringList, reasons);
    const QStringList addresses{QStringLiteral("http://a/f"), QStringLiteral("http://b/f")};
    ServerList servers(addresses.first(reasons.size()));
    for (qsizetype i = 0; i < reasons.size(); ++i) {
        QCOMPARE(servers.failed(RuntimeError(ErrorNumber::TransferFailed, reasons[i])),
                 i + 1 < reasons.size());
    }
    QTEST(servers.report(QStringLiteral("\"f\"")).description(), "report");
}

void TestDownloadJob::plan_data()
{
    // Steps on a plan of 1 MiB pieces, sizes in KiB: a<server> asks for a span,
    // r<server> <KiB> receives, i<server> breaks off, d<server> drops,
    // x<piece> fails its check, p tells the whole prefix and the bytes counted.
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("servers");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("outcomes");
    // clang-format off
    QTest::newRow("pieces in order, a fast server takes more") << 3072LL << 2
        << QStringList{"a0", "a1", "r0 1024", "a0"}
        << QStringList{"0-1024", "1024-2048", "whole 0", "2048-3072"};
    QTest::newRow("the last piece shorter") << 2500LL << 1
        << QStringList{"a0", "r0 1024", "a0", "r0 1024", "a0", "r0 1000", "p", "a0"}
        << QStringList{"0-1024", "whole 0", "1024-2048", "whole 1", "2048-2500", "whole 2",
                       "2500/2500 whole", "none"};
    QTest::newRow("broken off: the lowest rest first, before new pieces") << 3072LL << 3
        << QStringList{"a0", "a1", "r0 100", "r1 100", "i1", "i0", "a2", "a1", "a0"}
        << QStringList{"0-1024", "1024-2048", "100-1024", "1124-2048", "2048-3072"};
    QTest::newRow("dropped: nothing more, its rest to another") << 2048LL << 2
        << QStringList{"a0", "a1", "r0 256", "d0", "a0", "r1 1024", "a1", "a0"}
        << QStringList{"0-1024", "1024-2048", "none", "whole 1", "256-1024", "none"};
    QTest::newRow("end game: the back half of the busiest span") << 2048LL << 3
        << QStringList{"a0", "a1", "r0 512", "r1 64", "a2", "r1 1000", "p"}
        << QStringList{"0-1024", "1024-2048", "1536-2048", "0/1024"};
    QTest::newRow("end game: halves of the least split, not below") << 1024LL << 3
        << QStringList{"a0", "r0 512", "a1", "a2"}
        << QStringList{"0-1024", "768-1024", "none"};
    QTest::newRow("damaged: fetched whole again, by another while one is left") << 2048LL << 3
        << QStringList{"a0", "a1", "r0 512", "i0", "a2", "r2 512", "r1 1024", "x0", "p",
                       "a0", "d1", "a0", "r0 1024", "p", "x0"}
        << QStringList{"0-1024", "1024-2048", "512-1024", "whole 0", "whole 1", "from 0 2",
                       "0/1024", "none", "0-1024", "whole 0", "2048/2048 whole", "from 0"};
    QTest::newRow("whole prefix: up to the first piece not whole") << 3072LL << 2
        << QStringList{"a0", "a1", "r1 1024", "p", "r0 1024", "p", "a0", "r0 1024", "x1", "p"}
        << QStringList{"0-1024", "1024-2048", "whole 1", "0/1024", "whole 0", "2048/2048",
                       "2048-3072", "whole 2", "from 1", "1024/2048"};
    // clang-format on
}

void TestDownloadJob::plan()
{
    QFETCH(qint64, size);
    QFETCH(int, servers);
    QFETCH(QStringList, steps);
    constexpr qint64 KiB = 1024;
    PiecePlan plan(size * KiB, 1024 * KiB, servers);
    QStringList outcomes;
    for (const QString &step : steps) {
        const int n = step.mid(1).section(u' ', 0, 0).toInt();
        if (step[0] == u'a') {
            const std::optional<ByteSpan> span = plan.assign(n);
            outcomes << (span ? QStringLiteral("%1-%2").arg(span->begin / KiB).arg(span->end / KiB)
                              : QStringLiteral("none"));
        } else if (step[0] == u'r') {
            if (const auto whole = plan.received(n, step.section(u' ', 1).toLongLong() * KiB)) {
                outcomes << QStringLiteral("whole %1").arg(*whole);
            }
        } else if (step[0] == u'i' || step[0] == u'd') {
            step[0] == u'i' ? plan.interrupted(n) : plan.drop(n);
        } else if (step[0] == u'x') {
            QStringList from;
            for (int server : plan.damaged(n)) {
                from << QString::number(server);
            }
            outcomes << QStringLiteral("from ") + from.join(u' ');
        } else {
            outcomes << QStringLiteral("%1/%2%3")
                            .arg(plan.wholePrefix() / KiB)
                            .arg(plan.receivedBytes() / KiB)
                            .arg(plan.isWhole() ? QStringLiteral(" whole") : QString());
        }
    }
    QTEST(outcomes, "outcomes");
}

void TestDownloadJob::atOnce_data()
{
    // Four pieces on three servers, each served as its server does: 'w' whole,
    // 'd' damaged, 'f' failing, 'r' refusing parts. digests: whether the pin
    // gives the pieces'. next: the server the job goes on from, one at a time,
    // from byte 0; -1 when the release is whole, -2 when it reports every server.
    QTest::addColumn<QString>("servers");
    QTest::addColumn<bool>("digests");
    QTest::addColumn<int>("next");
    QTest::addColumn<QString>("said");
    // clang-format off
    QTest::newRow("three whole") << "www" << true << -1 << "";
    QTest::newRow("a damaged piece: its server left, the piece again from another")
        << "wwd" << true << -1 << "http://c/r";
    QTest::newRow("damaged, no digests: one at a time from the first") << "wwd" << false << 0 << "";
    QTest::newRow("one fails: the others share it") << "wfw" << true << -1 << "";
    QTest::newRow("all fail: each named") << "fff" << true << -2 << "any of its 3 servers";
    QTest::newRow("only one serves whole files: from it") << "frf" << true << 1 << "";
    // clang-format on
}

void TestDownloadJob::atOnce()
{
    QFETCH(QString, servers);
    QFETCH(bool, digests);
    QFETCH(int, next);
    QFETCH(QString, said);
    // Without digests a piece is larger than the release: its end is split.
    constexpr qint64 Piece = 320 * 1024;
    const QByteArray release = randomBytes(4 * Piece - 100);
    QByteArray damaged = release;
    for (qsizetype at = 1000; at < damaged.size(); at += Piece) {
        damaged[at] = char(damaged.at(at) ^ 1);
    }
    ReleasePin pin{Sha256::hash(release), release.size(), {}};
    for (qsizetype at = 0; digests && at < release.size(); at += Piece) {
        pin.pieces = {Piece, pin.pieces.sha256 + Sha256::hash(release.mid(at, Piece))};
    }
    const QStringList addresses{QStringLiteral("http://a/r"), QStringLiteral("http://b/r"),
                                QStringLiteral("http://c/r")};
    DownloadJob job(m_fileSystem, m_folder.path(), m_path, pin, addresses);
    QVERIFY(job.fetchesPieces());
    job.answered({}, {});
    // Round by round, each server is given a span, then brings it in chunks.
    for (int round = 0; round < 20 && !job.isWhole(); ++round) {
        std::optional<std::pair<qint64, qint64>> spans[3];
        for (int server = 0; server < 3; ++server) {
            spans[server] = job.nextSpan(server);
        }
        for (int server = 0; server < 3; ++server) {
            const QChar how = servers.at(server);
            if (spans[server] && (how == u'f' || how == u'r')) {
                job.serverFailed(server, RuntimeError(ErrorNumber::TransferFailed,
                                                      how == u'f' ? QStringLiteral("it failed")
                                                                  : FailureTexts::partsRefused(
                                                                        addresses[server])));
                continue;
            }
            const QByteArray &bytes = how == u'd' ? damaged : release;
            for (qint64 at = spans[server] ? spans[server]->first : 0;
                 spans[server] && at < job.spanEnd(server); at += 1000) {
                job.receive(bytes.mid(at, std::min<qint64>(1000, job.spanEnd(server) - at)), at,
                            server);
            }
        }
    }
    job.tick(0, false);
    QCOMPARE(job.progress().damagedBy, next == -1 ? said : QString());
    // Left at once for a damaged piece; without digests nobody can be blamed.
    QCOMPARE(job.serves(2), servers.at(2) == u'w' || !digests);
    // No server left before the end: the transfer fails, and the job says what next.
    const RuntimeError ended(ErrorNumber::TransferFailed, QString());
    std::optional<NextServer> from;
    try {
        if (job.isWhole()) {
            QCOMPARE(readAll(job.finish().path()), release);
            QCOMPARE(next, -1);
            return;
        }
        from = job.afterFailure(ended);
    } catch (const RuntimeError &failure) {
        QVERIFY2(failure.description().contains(said), qPrintable(failure.description()));
        if (next == -2) {
            return;
        }
        from = job.afterFailure(failure);
    }
    QCOMPARE(from->address, addresses.value(next));
    QCOMPARE(from->from, 0);
    QVERIFY(!job.fetchesPieces());
}

void TestDownloadJob::carryOn_data()
{
    // A first run is left after `kept` bytes of a release of six pieces (the
    // first two pieces with two servers at once), its .part then meets `then`;
    // the next run must carry on from `from` and end with the release whole.
    // pin: "pieces" (with their digests), "whole" (SHA-256 and size only),
    // "etag" or "modified" (unpinned, with that validator).
    QTest::addColumn<QString>("pin");
    QTest::addColumn<int>("servers");
    QTest::addColumn<QString>("then");
    QTest::addColumn<qint64>("from");
    constexpr qint64 P = Piece;
    constexpr qint64 K = 3 * Piece + 1000;
    // clang-format off
    QTest::newRow("pinned with pieces") << "pieces" << 1 << "" << K;
    QTest::newRow("pinned by the whole only") << "whole" << 1 << "" << K;
    QTest::newRow("unpinned, ETag") << "etag" << 1 << "" << K;
    QTest::newRow("unpinned, Last-Modified") << "modified" << 1 << "" << K;
    QTest::newRow("two servers: the whole pieces") << "pieces" << 2 << "" << 2 * P;
    QTest::newRow("a bad piece: kept up to it") << "pieces" << 1 << "bad piece" << P;
    QTest::newRow("two servers, a bad piece: the others kept") << "pieces" << 2 << "bad piece" << P;
    QTest::newRow("a bad byte, whole pinned: again from 0 at the end") << "whole" << 1 << "bad piece" << K;
    QTest::newRow("release changed: its pin differs") << "whole" << 1 << "pin changed" << 0LL;
    QTest::newRow("release changed: its size differs") << "etag" << 1 << "size changed" << 0LL;
    QTest::newRow("another release's part") << "whole" << 1 << "other file" << 0LL;
    QTest::newRow("from another server") << "etag" << 1 << "other server" << 0LL;
    QTest::newRow("without a record") << "whole" << 1 << "no record" << 0LL;
    QTest::newRow("a record that is not one") << "whole" << 1 << "bad record" << 0LL;
    QTest::newRow("a link to the part") << "whole" << 1 << "link" << 0LL;
    QTest::newRow("opened to others") << "whole" << 1 << "mode" << 0LL;
    QTest::newRow("another's") << "whole" << 1 << "owner" << 0LL;
    QTest::newRow("power cut after bytes not recorded") << "etag" << 1 << "power cut" << P;
    QTest::newRow("a part shorter than its record") << "whole" << 1 << "cut short" << 2 * P;
    QTest::newRow("all kept: the last byte again") << "whole" << 1 << "all" << 6 * P - 101;
    QTest::newRow("two servers, all kept: the last piece again") << "pieces" << 2 << "all" << 5 * P;
    QTest::newRow("no extended attributes: the record beside") << "pieces" << 2 << "no attributes" << 2 * P;
    // clang-format on
}

void TestDownloadJob::carryOn()
{
    QFETCH(QString, pin);
    QFETCH(int, servers);
    QFETCH(QString, then);
    // A volume without extended attributes, whose owners tell nothing: the
    // record is a file beside the .part.
    QTemporaryDir mounted;
    std::optional<FuseMirror> mirror;
    QString folder = m_folder.path();
    if (then == QLatin1String("no attributes")) {
        folder = mounted.filePath(QStringLiteral("mirror"));
        QVERIFY(QDir().mkpath(folder) && QDir().mkpath(mounted.filePath(QStringLiteral("source"))));
        mirror.emplace(mounted.filePath(QStringLiteral("source")), folder,
                       QStringList{QStringLiteral("--xattr-none")});
        if (!mirror->mounted()) {
            QSKIP(qPrintable(mirror->failure()));
        }
    }
    const QString path = QDir(folder).filePath(QStringLiteral("setup.bin"));
    const QByteArray release = randomBytes(6 * Piece - 100);
    const bool pinned = pin == QLatin1String("pieces") || pin == QLatin1String("whole");
    ReleasePin pins{
        pinned ? Sha256::hash(release) : QByteArray(), pinned ? release.size() : -1, {}};
    for (qsizetype at = 0; pin == QLatin1String("pieces") && at < release.size(); at += Piece) {
        pins.pieces = {Piece, pins.pieces.sha256 + Sha256::hash(release.mid(at, Piece))};
    }
    const QStringList addresses =
        QStringList{QStringLiteral("http://a/r"), QStringLiteral("http://b/r")}.mid(0, servers);
    const QString etag = pin == QLatin1String("etag") ? QStringLiteral("\"v1\"") : QString();
    const QString modified = pin == QLatin1String("modified")
                                 ? QStringLiteral("Tue, 01 Dec 2026 10:00:00 GMT")
                                 : QString();
    const QString part = TargetFile::partPath(path);
    const auto cleanUp = qScopeGuard([&] {
        QFile::remove(path);
        QFile::remove(part);
        QFile::remove(part + PartRecord::SideSuffix);
    });

    // The first run: three pieces and a little more, then it ends for good.
    {
        // What a power cut leaves: the bytes as the last sync found them.
        QByteArray onDisk;
        std::optional<DownloadJob> first(std::in_place, m_fileSystem, folder, path, pins,
                                         addresses);
        first->setSync([&](int descriptor) {
            onDisk = readAll(part);
            return ::fsync(descriptor);
        });
        first->takeProbe(200, QString::number(release.size()));
        first->answered(QString::number(release.size()), {}, etag, modified);
        if (then == QLatin1String("all")) {
            for (int server = 0; first->fetchesPieces() && !first->isWhole(); server ^= 1) {
                const auto span = first->nextSpan(server);
                first->receive(release.mid(span->first, span->second - span->first), span->first,
                               server);
            }
            if (!first->fetchesPieces()) {
                first->receive(release, 0);
            }
        } else if (first->fetchesPieces()) {
            for (const int server : {0, 1, 0}) {
                const auto span = first->nextSpan(server);
                QVERIFY(span);
                const qint64 end = server == 0 && span->first > 0 ? span->first + 1000
                                                                  : span->second;
                first->receive(release.mid(span->first, end - span->first), span->first, server);
            }
        } else if (then == QLatin1String("power cut")) {
            first->receive(release.left(Piece), 0);
            first->tick(DownloadJob::RecordMsecs, false);
            first->receive(release.mid(Piece, 2 * Piece), Piece);
        } else {
            first->receive(release.left(3 * Piece + 1000), 0);
        }
        if (then != QLatin1String("power cut")) {
            QVERIFY(first->suspend());
        } else {
            // Killed: nothing is cleaned up, and what had not reached the disk
            // reads as zeros afterwards.
            const QString aside = part + QStringLiteral(".aside");
            QVERIFY(::link(QFile::encodeName(part), QFile::encodeName(aside)) == 0);
            first.reset();
            QVERIFY(QFile::rename(aside, part));
            QVERIFY(::truncate(QFile::encodeName(part), 0) == 0);
            QFile file(part);
            QVERIFY(file.open(QIODevice::ReadWrite) && file.write(onDisk) == onDisk.size() &&
                    file.resize(3 * Piece));
        }
    }
    QVERIFY(QFileInfo::exists(part));

    const QByteArray outside = "not the user's";
    const QString outsidePath = QDir(folder).filePath(QStringLiteral("elsewhere"));
    const auto removeOutside = qScopeGuard([&] { QFile::remove(outsidePath); });
    const QByteArray partName = QFile::encodeName(part);
    QString address = addresses.constFirst();
    qint64 size = release.size();
    QString fileName = QFileInfo(path).fileName();
    if (then == QLatin1String("bad piece")) {
        QFile file(part);
        QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(Piece + 10) && file.write("!") == 1);
    } else if (then == QLatin1String("cut short")) {
        QVERIFY(::truncate(partName.constData(), 2 * Piece) == 0);
    } else if (then == QLatin1String("pin changed")) {
        pins.sha256 = Sha256::hash("another");
    } else if (then == QLatin1String("size changed")) {
        size += 1;
    } else if (then == QLatin1String("other server")) {
        address = QStringLiteral("http://c/r");
    } else if (then == QLatin1String("no record")) {
        ::removexattr(partName.constData(), PartRecord::Attribute);
        QFile::remove(part + PartRecord::SideSuffix);
    } else if (then == QLatin1String("bad record")) {
        QVERIFY(::setxattr(partName.constData(), PartRecord::Attribute, "orbistane-part 1\n", 17,
                           0) == 0);
    } else if (then == QLatin1String("link")) {
        QVERIFY(QFile::rename(part, outsidePath) && QFile::link(outsidePath, part));
    } else if (then == QLatin1String("mode")) {
        QVERIFY(::chmod(partName.constData(), 0644) == 0);
    } else if (then == QLatin1String("owner")) {
        if (::geteuid() != 0) {
            QSKIP("giving a file to another user needs root");
        }
        QVERIFY(::chown(partName.constData(), 65534, 65534) == 0);
    } else if (then == QLatin1String("other file")) {
        fileName = QStringLiteral("other.bin");
    }
    const QByteArray before = then == QLatin1String("link") ? readAll(outsidePath) : QByteArray();
    // Another release under the same name only differs in its record's name.
    if (fileName != QFileInfo(path).fileName()) {
        QVERIFY(::setxattr(partName.constData(), PartRecord::Attribute,
                           "orbistane-part 1\nfile\tother.bin\nsize\t1\nkept\t\n", 45, 0) == 0);
    }

    QStringList next = addresses;
    next.first() = address;
    DownloadJob job(m_fileSystem, folder, path, pins, next);
    job.takeProbe(200, QString::number(size));
    job.takeOverPart();
    for (int steps = 0; job.checkNextKept(); ++steps) {
        QVERIFY(steps < 100);
    }
    QTEST(job.carriedFrom(), "from");
    QCOMPARE(job.carriedValidator(),
             pinned || job.carriedFrom() == 0 ? QByteArray() : (etag + modified).toLatin1());
    // The rest, as the server sends it.
    job.answered(QString::number(release.size() - job.carriedFrom()), {}, etag, modified);
    if (job.fetchesPieces()) {
        for (int round = 0; round < 20 && !job.isWhole(); ++round) {
            for (int server = 0; server < servers; ++server) {
                if (const auto span = job.nextSpan(server)) {
                    job.receive(release.mid(span->first, span->second - span->first), span->first,
                                server);
                }
            }
        }
    } else {
        job.receive(release.mid(job.carriedFrom()), job.carriedFrom());
        job.receive({}, release.size());
    }
    if (pinned && Sha256::hash(release) != pins.sha256) {
        return;
    }
    try {
        QCOMPARE(readAll(job.finish().path()), release);
    } catch (const RuntimeError &mismatch) {
        // Only kept bytes that no piece could check may fail the whole, once:
        // the release then comes again, from its first byte.
        QCOMPARE(then, QStringLiteral("bad piece"));
        QCOMPARE(pin, QStringLiteral("whole"));
        const NextServer again = job.afterFailure(mismatch);
        QCOMPARE(again.from, 0);
        job.answered(QString::number(release.size()), {});
        job.receive(release, 0);
        job.receive({}, release.size());
        QCOMPARE(readAll(job.finish().path()), release);
    }
    QVERIFY(nothingAt(part));
    QVERIFY(nothingAt(part + PartRecord::SideSuffix));
    if (then == QLatin1String("link")) {
        QCOMPARE(readAll(outsidePath), before);
    }
}

void TestDownloadJob::stop_data()
{
    // A download ended after 1000 bytes by `failure`; unpinned, with or
    // without a validator: whether its .part is kept for the next run.
    QTest::addColumn<bool>("pinned");
    QTest::addColumn<QString>("etag");
    QTest::addColumn<int>("failure");
    QTest::addColumn<bool>("kept");
    // clang-format off
    QTest::newRow("network, pinned: kept") << true << "" << ErrorNumber::TransferFailed << true;
    QTest::newRow("time-out, unpinned with ETag: kept") << false << "\"v1\"" << ErrorNumber::RequestTimedOut << true;
    QTest::newRow("unpinned, weak ETag: nothing vouches, deleted") << false << "W/\"v1\"" << ErrorNumber::TransferFailed << false;
    QTest::newRow("not the release: deleted") << true << "" << ErrorNumber::ReleaseMismatch << false;
    QTest::newRow("disk full: deleted") << true << "" << ErrorNumber::DiskFull << false;
    // clang-format on
}

void TestDownloadJob::stop()
{
    QFETCH(bool, pinned);
    QFETCH(QString, etag);
    QFETCH(int, failure);
    QFETCH(bool, kept);
    const QByteArray release = randomBytes(5000);
    const QString part = TargetFile::partPath(m_path);
    const auto cleanUp = qScopeGuard([&] { QFile::remove(part); });
    DownloadJob job(
        m_fileSystem, m_folder.path(), m_path,
        {pinned ? Sha256::hash(release) : QByteArray(), pinned ? release.size() : -1, {}},
        {QStringLiteral("http://a/r")});
    job.answered(QString::number(release.size()), {}, etag);
    job.receive(release.left(1000), 0);
    const RuntimeError reported = job.stop(RuntimeError(failure, QStringLiteral("it failed")));
    QCOMPARE(QFileInfo::exists(part), kept);
    QCOMPARE(reported.number(), failure);
    // The report says so when it was kept.
    QCOMPARE(reported.description().contains(part), kept);
    QCOMPARE(job.phase(), DownloadPhase::Failed);
}

void TestDownloadJob::staleParts_data()
{
    // Another release's .part in the folder, this many days old, with or
    // without a record, private or not: whether a download that succeeds
    // there deletes it.
    QTest::addColumn<int>("days");
    QTest::addColumn<bool>("recorded");
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("deleted");
    QTest::newRow("ours, eight days old") << 8 << true << 0600 << true;
    QTest::newRow("ours, six days old") << 6 << true << 0600 << false;
    QTest::newRow("not ours: no record") << 8 << false << 0600 << false;
    QTest::newRow("not private") << 8 << true << 0644 << false;
}

void TestDownloadJob::staleParts()
{
    QFETCH(int, days);
    QFETCH(bool, recorded);
    QFETCH(int, mode);
    const QString other = m_folder.filePath(QStringLiteral("older.bin.part"));
    const QByteArray otherName = QFile::encodeName(other);
    const auto cleanUp = qScopeGuard([&] {
        QFile::remove(other);
        QFile::remove(m_path);
    });
    QVERIFY(writeFile(other, "kept bytes"));
    QVERIFY(::chmod(otherName.constData(), mode_t(mode)) == 0);
    const QByteArray record = "orbistane-part 1\nfile\tolder.bin\nsize\t-1\nkept\t\n";
    QVERIFY(!recorded || ::setxattr(otherName.constData(), PartRecord::Attribute,
                                    record.constData(), size_t(record.size()), 0) == 0);
    const struct timespec then[2] = {{::time(nullptr) - days * 24 * 3600, 0},
                                     {::time(nullptr) - days * 24 * 3600, 0}};
    QVERIFY(::utimensat(AT_FDCWD, otherName.constData(), then, 0) == 0);

    DownloadJob job(m_fileSystem, m_folder.path(), m_path, {});
    job.answered({}, {});
    job.receive("a release", 0);
    job.receive({}, 9);
    job.finish();
    QTEST(!QFileInfo::exists(other), "deleted");
}

QTEST_GUILESS_MAIN(TestDownloadJob)
#include "tst_download_job.moc"
