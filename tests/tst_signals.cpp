#include "linux_termination_signals.h"
#include "random_bytes.h"
#include "target_file.h"
#include "test_files.h"
#include "test_http_server.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>

#include <algorithm>
#include <functional>
#include <stdexcept>

namespace {

const QString File = QStringLiteral("orbistane-3.0.sh");
const QByteArray Path = '/' + File.toUtf8();
const QByteArray Manifest = "W2003\t" + File.toUtf8() + "\tR3\n";
// What a loaded machine may take to start a process or move a few MiB.
constexpr int Patience = 30000;
// Longer than any test: an answer that never comes.
constexpr int Never = 600 * 1000;

// Counts the runs of the disposition that was there before ours; a handler may
// touch nothing else.
volatile sig_atomic_t previousHandlerRuns = 0;
void previousHandler(int)
{
    previousHandlerRuns = previousHandlerRuns + 1;
}

// A download by the program's real parts in a process of their own, from a
// server of the test's own that lists one release, into a fresh folder.
class DrivenRun
{
public:
    DrivenRun()
    {
        server.serve("/manifest.txt", TestHttpServer::ok(Manifest));
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process,
                         [this] { output += process.readAllStandardOutput(); });
    }
    ~DrivenRun()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    DrivenRun(const DrivenRun &) = delete;
    DrivenRun &operator=(const DrivenRun &) = delete;

    void start(const QStringList &options = {})
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(DRIVEN_DOWNLOAD),
                      QStringList{server.baseUrl(), File, destination.path(), temp.path()} +
                          options);
    }

    bool sendSignal(int signalNumber) const
    {
        // Never 0: that would signal the test's own process group.
        const qint64 pid = process.processId();
        return pid > 0 && ::kill(pid_t(pid), signalNumber) == 0;
    }
    bool ended() const { return process.state() == QProcess::NotRunning; }
    bool asked(const QByteArray &kind) const { return output.contains("asked " + kind + ':'); }

    // What the program has written to the folder so far, under any name.
    qint64 bytesWritten(qint64 besides = 0) const
    {
        qint64 total = -besides;
        for (const QFileInfo &info : QDir(destination.path()).entryInfoList(QDir::Files)) {
            total += info.size();
        }
        return total;
    }

    QStringList destinationFiles() const { return entries(destination.path()); }
    QStringList tempEntries() const { return entries(temp.path()); }
    QString target() const { return destination.filePath(File); }

    QString outcome()
    {
        return QStringLiteral("status %1, exit code %2, stdout: %3 stderr: %4")
            .arg(process.exitStatus() == QProcess::NormalExit ? QLatin1String("normal")
                                                              : QLatin1String("crash"))
            .arg(process.exitCode())
            .arg(QString::fromLocal8Bit(output),
                 QString::fromLocal8Bit(process.readAllStandardError()));
    }

    TestHttpServer server;
    QTemporaryDir destination;
    QTemporaryDir temp;
    QProcess process;
    QByteArray output;

private:
    static QStringList entries(const QString &folder)
    {
        return QDir(folder).entryList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    }
};

} // namespace

class TestSignals final : public QObject
{
    Q_OBJECT

private slots:
    void caughtAndHandedBack_data();
    void caughtAndHandedBack();
    void terminationEndsCleanly_data();
    void terminationEndsCleanly();
    void carriedOnByTheNextRun_data();
    void carriedOnByTheNextRun();
    void terminationBeforeTheWindow_data();
    void terminationBeforeTheWindow();
    void killLeavesNothingOrTheWhole_data();
    void killLeavesNothingOrTheWhole();
};

void TestSignals::caughtAndHandedBack_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGHUP") << SIGHUP;
}

void TestSignals::caughtAndHandedBack()
{
    QFETCH(int, signalNumber);
    struct sigaction previous = {};
    previous.sa_handler = previousHandler;
    sigemptyset(&previous.sa_mask);
    struct sigaction original = {};
    QCOMPARE(::sigaction(signalNumber, &previous, &original), 0);
    const auto putBack = qScopeGuard([&] { ::sigaction(signalNumber, &original, nullptr); });
    previousHandlerRuns = 0;

    {
        LinuxTerminationSignals caught;
        QVERIFY_THROWS_EXCEPTION(std::logic_error, LinuxTerminationSignals{});
        QSignalSpy received(&caught, &LinuxTerminationSignals::received);
        QCOMPARE(::raise(signalNumber), 0);
        QCOMPARE(::raise(signalNumber), 0);
        // In the event loop, every one, not in the handler.
        QTRY_COMPARE(received.count(), 2);
        QCOMPARE(received.at(0).at(0).toInt(), signalNumber);
        QCOMPARE(received.at(1).at(0).toInt(), signalNumber);
    }
    QCOMPARE(int(previousHandlerRuns), 0);
    QCOMPARE(::raise(signalNumber), 0);
    QCOMPARE(int(previousHandlerRuns), 1);

    // One caught after the event loop's last turn is handed back at restore().
    LinuxTerminationSignals caught;
    QSignalSpy received(&caught, &LinuxTerminationSignals::received);
    QCOMPARE(::raise(signalNumber), 0);
    QCOMPARE(caught.restore().value_or(0), signalNumber);
    QCOMPARE(::raise(signalNumber), 0);
    QCOMPARE(int(previousHandlerRuns), 2);
    QCoreApplication::processEvents();
    QCOMPARE(received.count(), 0);
}

namespace {

// How far the download has come when the signal arrives: what the server holds
// back for that, and when the run is there.
struct Phase
{
    std::function<void(DrivenRun &run, TestHttpServer::Response &release)> hold;
    std::function<bool(const DrivenRun &run, qint64 olderSize)> reached;
    bool listed = true;     // the manifest has come
    bool whole = false;     // the download is whole, the install question open
    bool keepsPart = false; // the transfer is under way, its .part to be carried on
};

} // namespace

void TestSignals::terminationEndsCleanly_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<Phase>("phase");
    QTest::addColumn<bool>("older");
    const QList<QPair<const char *, int>> caught = {
        {"SIGTERM", SIGTERM}, {"SIGINT", SIGINT}, {"SIGHUP", SIGHUP}};
    const Phase manifest{[](DrivenRun &run, TestHttpServer::Response &) {
                             TestHttpServer::Response held = TestHttpServer::ok(Manifest);
                             held.delayMs = Never;
                             run.server.serve("/manifest.txt", held);
                         },
                         [](const DrivenRun &run, qint64) {
                             return run.server.requestCount("GET", "/manifest.txt") > 0;
                         },
                         false};
    const Phase probe{
        [](DrivenRun &run, TestHttpServer::Response &release) {
            TestHttpServer::Response head = TestHttpServer::ok({});
            head.contentLength = release.body.size();
            head.delayMs = Never;
            run.server.serveHead(Path, head);
        },
        [](const DrivenRun &run, qint64) { return run.server.requestCount("HEAD", Path) > 0; }};
    // Some of it on disk, from a server whose ETag vouches for it: kept.
    const Phase transfer{[](DrivenRun &, TestHttpServer::Response &release) {
                             release.stallAfter = 2 * TargetFile::BlockBytes + 1000;
                             release.ranges = true;
                             release.headers.append({QByteArray("ETag"), QByteArray("\"v1\"")});
                         },
                         [](const DrivenRun &run, qint64 olderSize) {
                             return run.bytesWritten(olderSize) >= TargetFile::BlockBytes;
                         },
                         true, false, true};
    const Phase question{[](DrivenRun &, TestHttpServer::Response &) {},
                         [](const DrivenRun &run, qint64) { return run.asked("install"); }, true,
                         true};
    for (const auto &[name, number] : caught) {
        for (const auto &[phaseName, phase] : {std::pair{"manifest", manifest},
                                               {"probe", probe},
                                               {"transfer", transfer},
                                               {"question", question}}) {
            for (const bool older : {false, true}) {
                if (older && !phase.listed) {
                    continue;
                }
                QTest::addRow("%s during %s%s", name, phaseName, older ? ", older file there" : "")
                    << number << phase << older;
            }
        }
    }
}

void TestSignals::terminationEndsCleanly()
{
    QFETCH(int, signalNumber);
    QFETCH(Phase, phase);
    QFETCH(bool, older);
    const QByteArray body = randomBytes(1024 * 1024 + 777);
    const QByteArray olderBody = "an older release\n" + randomBytes(5000);
    DrivenRun run;
    if (older) {
        QVERIFY(writeFile(run.target(), olderBody));
    }
    TestHttpServer::Response release = TestHttpServer::ok(body);
    phase.hold(run, release);
    run.server.serve(Path, release);
    run.start(phase.whole ? QStringList{"--hold-at-install"} : QStringList{});
    const qint64 olderSize = older ? olderBody.size() : 0;
    QTRY_VERIFY_WITH_TIMEOUT(phase.reached(run, olderSize), Patience);
    QVERIFY2(!run.ended(), qPrintable(run.outcome()));
    QVERIFY(run.sendSignal(signalNumber));
    QTRY_VERIFY_WITH_TIMEOUT(run.ended(), Patience);

    QVERIFY2(run.process.exitStatus() == QProcess::NormalExit &&
                 run.process.exitCode() == 128 + signalNumber,
             qPrintable(run.outcome()));
    QCOMPARE(run.asked("again"), older && phase.listed);
    QCOMPARE(run.tempEntries(), QStringList());
    // A download under way keeps its .part, which holds what came and no more,
    // for the next run to carry on with.
    QStringList files = run.destinationFiles();
    if (phase.keepsPart) {
        QVERIFY(files.removeAll(File + QStringLiteral(".part")) == 1);
        // Where the volume keeps no extended attributes, its record is beside it.
        files.removeAll(File + QStringLiteral(".part.state"));
        const QByteArray part = readAll(run.target() + QStringLiteral(".part"));
        QVERIFY(part.size() >= TargetFile::BlockBytes && body.startsWith(part));
    }
    // A download that was whole stays; an older file is kept until then.
    const QByteArray kept = phase.whole ? body : older ? olderBody : QByteArray();
    QCOMPARE(files, kept.isEmpty() ? QStringList() : QStringList{File});
    if (!kept.isEmpty()) {
        const QByteArray there = readAll(run.target());
        QVERIFY2(
            there == kept,
            qPrintable(
                QStringLiteral("%1 bytes there, %2 expected").arg(there.size()).arg(kept.size())));
    }
}

void TestSignals::carriedOnByTheNextRun_data()
{
    // What vouches that the bytes kept by a run ended in its transfer are the
    // release's: the server's ETag or Last-Modified, or the manifest's pin; or
    // the release changed before the next run (its ETag too).
    QTest::addColumn<QByteArray>("vouch");
    QTest::addColumn<QByteArray>("ifRange");
    QTest::newRow("ETag") << QByteArray("ETag") << QByteArray("\"v1\"");
    QTest::newRow("Last-Modified")
        << QByteArray("Last-Modified") << QByteArray("Tue, 01 Dec 2026 10:00:00 GMT");
    QTest::newRow("pinned") << QByteArray("pin") << QByteArray();
    QTest::newRow("changed in between: the new one, whole")
        << QByteArray("changed") << QByteArray("\"v1\"");
}

void TestSignals::carriedOnByTheNextRun()
{
    QFETCH(QByteArray, vouch);
    QFETCH(QByteArray, ifRange);
    const QByteArray body = randomBytes(1024 * 1024 + 777);
    const QByteArray changed = randomBytes(body.size());
    DrivenRun run;
    if (vouch == "pin") {
        run.server.serve("/manifest.txt",
                         TestHttpServer::ok(pinnedLine(File.toUtf8(), "R3", body)));
    }
    const QByteArray header = vouch == "pin" ? QByteArray() : vouch == "changed" ? "ETag" : vouch;
    TestHttpServer::Response release = TestHttpServer::ok(body);
    release.ranges = true;
    if (!header.isEmpty()) {
        release.headers.append({header, ifRange});
    }
    TestHttpServer::Response next = release;
    release.stallAfter = 2 * TargetFile::BlockBytes + 1000;
    run.server.serve(Path, release);
    run.start();
    QTRY_VERIFY_WITH_TIMEOUT(run.bytesWritten() >= TargetFile::BlockBytes, Patience);
    QVERIFY(run.sendSignal(SIGTERM));
    QTRY_VERIFY_WITH_TIMEOUT(run.ended(), Patience);
    const qint64 kept = QFileInfo(run.target() + QStringLiteral(".part")).size();
    QVERIFY2(kept >= TargetFile::BlockBytes, qPrintable(run.outcome()));

    if (vouch == "changed") {
        next.body = changed;
        next.headers = {{"ETag", "\"v2\""}};
    }
    run.server.serve(Path, next);
    run.output.clear();
    run.start({QStringLiteral("--hold-at-install")});
    QTRY_VERIFY_WITH_TIMEOUT(run.asked("install"), Patience);
    // Asked for what was missing only, with what vouches for the rest.
    const TestHttpServer::Request asked = run.server.requests().constLast();
    QCOMPARE(asked.method, QByteArray("GET"));
    QCOMPARE(asked.headers.value("range"), "bytes=" + QByteArray::number(kept) + '-');
    QCOMPARE(asked.headers.value("if-range"), ifRange);
    QVERIFY(readAll(run.target()) == (vouch == "changed" ? changed : body));
    QCOMPARE(run.destinationFiles(), QStringList{File});
    QVERIFY(run.sendSignal(SIGTERM));
    QTRY_VERIFY_WITH_TIMEOUT(run.ended(), Patience);
}

void TestSignals::terminationBeforeTheWindow_data()
{
    caughtAndHandedBack_data();
}

// With no window to end it, the program still ends with 128 plus the signal's number.
void TestSignals::terminationBeforeTheWindow()
{
    QFETCH(int, signalNumber);
    DrivenRun run;
    run.start({QStringLiteral("--wait-before-window")});
    QTRY_VERIFY_WITH_TIMEOUT(run.output.contains("waiting before the window"), Patience);

    QVERIFY(run.sendSignal(signalNumber));
    QTRY_VERIFY_WITH_TIMEOUT(run.ended(), Patience);

    QVERIFY2(run.process.exitStatus() == QProcess::NormalExit &&
                 run.process.exitCode() == 128 + signalNumber,
             qPrintable(run.outcome()));
    QVERIFY(run.server.requests().isEmpty());
    QCOMPARE(run.destinationFiles(), QStringList());
    QCOMPARE(run.tempEntries(), QStringList());
}

void TestSignals::killLeavesNothingOrTheWhole_data()
{
    QTest::addColumn<int>("twentieths");
    for (int twentieths = 1; twentieths <= 20; ++twentieths) {
        QTest::addRow("%d/20 sent", twentieths) << twentieths;
    }
}

void TestSignals::killLeavesNothingOrTheWhole()
{
    QFETCH(int, twentieths);
    // Not a multiple of the blocks the file is written in, so that the points
    // fall between writes as well as on them.
    static const QByteArray body = randomBytes(4 * 1024 * 1024 + 12345);
    DrivenRun run;
    TestHttpServer::Response release = TestHttpServer::ok(body);
    const qint64 sent = body.size() * twentieths / 20;
    if (twentieths < 20) {
        release.stallAfter = sent;
    }
    run.server.serve(Path, release);
    run.start(twentieths == 20 ? QStringList{"--hold-at-install"} : QStringList{});

    if (twentieths < 20) {
        // Everything sent is in, and the whole blocks of it written.
        const qint64 blocks = sent / TargetFile::BlockBytes * TargetFile::BlockBytes;
        QTRY_VERIFY_WITH_TIMEOUT(run.server.requestCount("GET", Path) > 0 &&
                                     run.server.bytesSent() >= sent && run.bytesWritten() >= blocks,
                                 Patience);
    } else {
        // Asked only once the download is whole and in place.
        QTRY_VERIFY_WITH_TIMEOUT(run.asked("install"), Patience);
    }
    QVERIFY2(!run.ended(), qPrintable(run.outcome()));
    QVERIFY(run.sendSignal(SIGKILL));
    QTRY_VERIFY_WITH_TIMEOUT(run.ended(), Patience);
    QCOMPARE(run.process.exitStatus(), QProcess::CrashExit);

    // Nothing can clean up after a kill: a partial file may stay, but never
    // under the release's name.
    if (twentieths == 20) {
        QVERIFY(QFileInfo::exists(run.target()));
    }
    if (QFileInfo::exists(run.target())) {
        const QByteArray there = readAll(run.target());
        QVERIFY2(there == body, qPrintable(QStringLiteral("%1 bytes under the name, %2 whole")
                                               .arg(there.size())
                                               .arg(body.size())));
    }
    QStringList others = run.destinationFiles();
    others.removeAll(File);
    // With its record beside it where the volume keeps no extended attributes.
    others.removeAll(File + QStringLiteral(".part.state"));
    QVERIFY2(others.isEmpty() || others == QStringList{File + QStringLiteral(".part")},
             qPrintable(others.join(QLatin1String(", "))));
}

QTEST_GUILESS_MAIN(TestSignals)
#include "tst_signals.moc"
