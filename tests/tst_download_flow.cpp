#include "clean_failure.h"
#include "english_system_texts.h"
#include "file_size_limit.h"
#include "form1.h"
#include "pick_release.h"
#include "progress_bar.h"
#include "random_bytes.h"
#include "sha256.h"
#include "small_tmpfs.h"
#include "target_file.h"
#include "test_files.h"
#include "test_http_server.h"
#include "test_window.h"
#include "twips.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <optional>

using namespace std::chrono_literals;

namespace {

const QString Title = QStringLiteral(" OnLine Download Orbistane.");

QString installQuestion(const QString &file)
{
    return QStringLiteral("Sucessfull download.\r\nDo you want to install Orbistane %1 now?")
        .arg(file);
}

using Response = TestHttpServer::Response;
// What a row does to the window and its server before the window loads, or
// before the click.
using Setup = std::function<void(TestWindow &)>;

void nothing(TestWindow &) {}

// The size probe answered with this Content-Length, or none at all when empty.
Setup headWithLength(const QByteArray &length)
{
    return [length](TestWindow &window) {
        Response answer = TestHttpServer::ok({});
        answer.sendContentLength = false;
        if (!length.isEmpty()) {
            answer.headers = {{"Content-Length", length}};
        }
        window.server.serveHead(window.path(), answer);
    };
}

} // namespace

class TestDownloadFlow final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void download_data();
    void download();
    void existingFile_data();
    void existingFile();
    void cancel_data();
    void cancel();
    void failure_data();
    void failure();
    void pinnedRelease_data();
    void pinnedRelease();
    void existingFileIsCheckedBeforeStarting_data();
    void existingFileIsCheckedBeforeStarting();
    void hostilePartialFile_data();
    void hostilePartialFile();
    void replacedBeforeStarting_data();
    void replacedBeforeStarting();
};

void TestDownloadFlow::initTestCase()
{
    // The failure rows compare the system's reasons.
    useEnglishSystemTexts();
}

void TestDownloadFlow::download_data()
{
    // clang-format off
    // response: how the body comes; probe: what the size probe is told, once
    // the window is loaded; percent: what the window shows at the end.
    QTest::addColumn<QString>("name");
    QTest::addColumn<Response>("response");
    QTest::addColumn<Setup>("probe");
    QTest::addColumn<QString>("percent");
    const QString setup = QStringLiteral("setup.bin");
    const Response plain = TestHttpServer::ok(randomBytes(300 * 1024 + 123));
    const int size = int(plain.body.size());
    Response unannounced = plain;
    unannounced.sendContentLength = false;
    const Setup refused = [](TestWindow &window) {
        // The error page has a length of its own, which is not the release's.
        window.server.serveHead(window.path(), TestHttpServer::status(405, "Method Not Allowed",
                                                                      "<html>No HEAD here</html>"));
    };
    const Setup redirected = [](TestWindow &window) {
        window.elsewhere().serve(window.path(), TestHttpServer::ok(window.body));
        Response moved = TestHttpServer::status(302, "Found");
        moved.headers = {{"Location", (window.elsewhere().baseUrl() + window.file).toUtf8()}};
        window.server.serve(window.path(), moved);
    };
    // A second click while the probe waits is ignored.
    const Setup clickDuringProbe = [](TestWindow &window) {
        Response slow = TestHttpServer::ok(window.body);
        slow.delayMs = 400;
        window.server.serveHead(window.path(), slow);
        QTimer::singleShot(100, window.form->Command1, &QPushButton::click);
    };
    QTest::newRow("good") << setup << plain << Setup(nothing) << "100 %";
    QTest::newRow("blanks and shell characters")
        << "-my setup; echo 'x' & $(touch pwned) \"q\".sh" << plain << Setup(nothing) << "100 %";
    QTest::newRow("HEAD without length") << setup << plain << headWithLength({}) << "0 %";
    QTest::newRow("HEAD length 0") << setup << plain << headWithLength("0") << "0 %";
    QTest::newRow("HEAD length negative") << setup << plain << headWithLength("-307323") << "0 %";
    QTest::newRow("HEAD length beyond 32 bits") << setup << plain << headWithLength("4294967296") << "0 %";
    QTest::newRow("HEAD length junk") << setup << plain << headWithLength("lots") << "0 %";
    QTest::newRow("HEAD refused, GET works") << setup << plain << refused << "0 %";
    QTest::newRow("body longer than HEAD said")
        << setup << plain << headWithLength(QByteArray::number(size / 2)) << "100 %";
    QTest::newRow("no length at all") << setup << unannounced << headWithLength({}) << "0 %";
    QTest::newRow("redirect to another port") << setup << plain << redirected << "100 %";
    QTest::newRow("click during the probe") << setup << plain << clickDuringProbe << "100 %";
    // clang-format on
}

void TestDownloadFlow::download()
{
    QFETCH(QString, name);
    QFETCH(Response, response);
    QFETCH(Setup, probe);
    QFETCH(QString, percent);
    TestWindow window;
    window.serveRelease(name, response);
    QVERIFY(window.start());
    probe(window);

    window.form->Command1->click();
    QCOMPARE(window.form->Command1->text(), QStringLiteral("Cancel"));
    QVERIFY(!window.form->ComboVersion->isEnabled());
    QCOMPARE(window.form->frameGeometry().height(), twips(Form1::TransferHeightTwips));
    QTRY_COMPARE(window.platform.programEnd.ends, 1);

    QCOMPARE(window.platform.errorReport.lastDescription(), QString());
    QCOMPARE(window.platform.programEnd.exitCode, 0);
    QCOMPARE(readAll(window.target()), window.body);
    QCOMPARE(window.form->Label3->text(), percent);
    QCOMPARE(window.form->ProgressBar->barValue(),
             percent == QLatin1String("100 %") ? 100.0f : float(ProgressBarControl::Minimum));
    QCOMPARE(window.platform.prompt.asked.size(), 1);
    QCOMPARE(window.platform.prompt.asked[0].text, installQuestion(name));
    QCOMPARE(window.platform.prompt.asked[0].flags, 4);
    QCOMPARE(window.platform.prompt.asked[0].title, Title);
    QCOMPARE(window.platform.shell.started, QStringList{window.target()});
    QCOMPARE(window.server.requestCount("HEAD", window.path()), 1);
    QCOMPARE(window.server.requestCount("GET", window.path()), 1);
    QCOMPARE(QDir(window.destination.path()).entryList(QDir::Files), QStringList{window.file});
}

void TestDownloadFlow::existingFile_data()
{
    // clang-format off
    QTest::addColumn<QList<int>>("answers");
    QTest::addColumn<bool>("fetched");
    QTest::addColumn<bool>("started");
    QTest::newRow("fetch again") << QList<int>{PromptAnswer::Yes} << true << true;
    QTest::newRow("keep, install") << QList<int>{PromptAnswer::No, PromptAnswer::Yes} << false
                                   << true;
    QTest::newRow("keep, do not install") << QList<int>{PromptAnswer::No, PromptAnswer::No}
                                          << false << false;
    // clang-format on
}

void TestDownloadFlow::existingFile()
{
    QFETCH(QList<int>, answers);
    QFETCH(bool, fetched);
    QFETCH(bool, started);
    TestWindow window;
    window.serveRelease(QStringLiteral("setup.bin"), TestHttpServer::ok(randomBytes(20000)));
    const QByteArray older(50000, 'o');
    QVERIFY(writeFile(window.target(), older));
    window.platform.prompt.answers = answers;
    QVERIFY(window.start());

    QVERIFY(window.download());
    QCOMPARE(window.platform.programEnd.exitCode, 0);
    const QList<AskedPrompt> &asked = window.platform.prompt.asked;
    QCOMPARE(asked.size(), 2);
    QCOMPARE(asked[0].text, QStringLiteral("Version: setup.bin was downloaded yet.\r\n"
                                           "Do you want to download it again?"));
    QCOMPARE(asked[0].flags, 68);
    QCOMPARE(asked[1].text, installQuestion(window.file));
    QCOMPARE(asked[1].flags, 4);
    QCOMPARE(readAll(window.target()), fetched ? window.body : older);
    QCOMPARE(window.server.requestCount("GET", window.path()), fetched ? 1 : 0);
    QCOMPARE(window.platform.shell.started, started ? QStringList{window.target()} : QStringList());
}

namespace {

// Clicks OK and has ask() called where the row cancels.
using CancelClick = std::function<void(TestWindow &window, const std::function<void()> &ask)>;

// The awaited answer arrives while the cancel question is open.
void holdQuestion(TestWindow &window)
{
    window.platform.prompt.whileShown = [](const AskedPrompt &prompt) {
        if (prompt.flags == 36) {
            QTest::qWait(800);
        }
    };
}

} // namespace

void TestDownloadFlow::cancel_data()
{
    // probeDelay, responseDelay: how long the size probe's and the body's
    // responses are held back. A click during the probe is ignored.
    QTest::addColumn<bool>("byClosing");
    QTest::addColumn<int>("probeDelay");
    QTest::addColumn<int>("responseDelay");
    QTest::addColumn<CancelClick>("click");
    QTest::addColumn<int>("answer");
    const CancelClick duringProbe = [](TestWindow &window, const std::function<void()> &ask) {
        holdQuestion(window);
        QTimer::singleShot(100, window.form.get(), ask);
        window.form->Command1->click();
    };
    const CancelClick beforeResponse = [](TestWindow &window, const std::function<void()> &ask) {
        holdQuestion(window);
        window.form->Command1->click();
        ask();
    };
    // Asked from an event served between two chunks.
    const CancelClick betweenChunks = [](TestWindow &window, const std::function<void()> &ask) {
        Form1 *form = window.form.get();
        QObject::connect(form->ProgressBar, &QProgressBar::valueChanged, form,
                         [form, ask, once = true]() mutable {
                             if (std::exchange(once, false)) {
                                 QTimer::singleShot(0, form, ask);
                             }
                         });
        form->Command1->click();
    };
    for (const bool byClosing : {false, true}) {
        for (const auto &[point, probeDelay, responseDelay, click] :
             {std::tuple{"probe", 300, 0, duringProbe},
              std::tuple{"response", 0, 300, beforeResponse},
              std::tuple{"body", 0, 0, betweenChunks}}) {
            if (!byClosing && probeDelay > 0) {
                continue;
            }
            for (const int answer : {PromptAnswer::Yes, PromptAnswer::No}) {
                QTest::addRow("%s during the %s, %s", byClosing ? "close" : "click", point,
                              answer == PromptAnswer::Yes ? "yes" : "no")
                    << byClosing << probeDelay << responseDelay << click << answer;
            }
        }
    }
}

void TestDownloadFlow::cancel()
{
    QFETCH(bool, byClosing);
    QFETCH(int, probeDelay);
    QFETCH(int, responseDelay);
    QFETCH(CancelClick, click);
    QFETCH(int, answer);
    TestHttpServer::Response response = TestHttpServer::ok(randomBytes(300 * 1024));
    response.delayMs = responseDelay;
    if (answer == PromptAnswer::Yes) {
        // Still coming when Yes is answered: only the cancel can stop it.
        response.endless = true;
        response.sendContentLength = false;
    }
    TestWindow window;
    window.serveRelease(QStringLiteral("setup.bin"), response);
    TestHttpServer::Response head = TestHttpServer::ok(response.body);
    head.delayMs = probeDelay;
    window.server.serveHead(window.path(), head);
    window.platform.prompt.answers = {answer};
    QVERIFY(window.start());
    Form1 &form = *window.form;
    click(window, [&form, byClosing] {
        if (byClosing) {
            form.close();
        } else {
            form.Command1->click();
        }
    });
    QTRY_COMPARE(window.platform.programEnd.ends, 1);

    QCOMPARE(window.platform.errorReport.lastDescription(), QString());
    QCOMPARE(window.platform.programEnd.exitCode, 0);
    const QList<AskedPrompt> &asked = window.platform.prompt.asked;
    QCOMPARE(asked.value(0).text,
             QStringLiteral("Do you want to cancel downloading of Orbistane setup.bin?"));
    QCOMPARE(asked.value(0).flags, 36);
    if (answer == PromptAnswer::Yes) {
        QCOMPARE(asked.size(), 1);
        QVERIFY(!QFileInfo::exists(window.target()));
        QVERIFY(!window.platform.inet1.StillExecuting());
        // The connection is closed: no more of the body is taken.
        QTRY_COMPARE(window.server.openConnections(), 0);
        QVERIFY(window.platform.shell.started.isEmpty());
        // None when cancelled during the probe.
        QCOMPARE(window.server.requestCount("GET", window.path()), probeDelay > 0 ? 0 : 1);
    } else {
        QCOMPARE(asked.size(), 2);
        QCOMPARE(readAll(window.target()), window.body);
        QCOMPARE(window.platform.shell.started, QStringList{window.target()});
    }
}

namespace {

// The volume a failing download is written to.
enum class Space {
    Roomy,
    ReadOnly, // for root, a read-only mount; else a folder without write permission
    Full,     // a small tmpfs, which only root can mount
};

} // namespace

void TestDownloadFlow::failure_data()
{
    // clang-format off
    // beforeClick: what goes wrong besides, once the window is loaded; limit:
    // the largest file this process may write, 0 for none.
    QTest::addColumn<Response>("response");
    QTest::addColumn<Space>("volume");
    QTest::addColumn<Setup>("beforeClick");
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<QStringList>("said");
    const QString address = QStringLiteral("{address}");
    const QString target = QStringLiteral("{target}");
    const Response good = TestHttpServer::ok(randomBytes(200 * 1024));
    Response dropped = good;
    dropped.dropAfter = 50 * 1024;
    Response shorter = good;
    shorter.contentLength = good.body.size() + 100;
    Response stalled = good;
    stalled.stallAfter = 50 * 1024;
    // Unannounced, so that the small volume is found full by writing to it,
    // not by the check of its free space.
    Response unannounced = good;
    unannounced.sendContentLength = false;
    const Setup none = nothing;
    const Setup closed = [](TestWindow &window) { window.server.close(); };
    const Setup removed = [](TestWindow &window) { QVERIFY(window.destination.remove()); };
    QTest::newRow("GET 404 with a page") << TestHttpServer::status(404, "Oops", "<html>error page</html>") << Space::Roomy << none << qint64(0) << QStringList{address, "HTTP 404"};
    QTest::newRow("GET 500 with a page") << TestHttpServer::status(500, "Oops", "<html>error page</html>") << Space::Roomy << none << qint64(0) << QStringList{address, "HTTP 500"};
    QTest::newRow("refused") << good << Space::Roomy << closed << qint64(0) << QStringList{address, "refused"};
    QTest::newRow("connection drops midway") << dropped << Space::Roomy << none << qint64(0) << QStringList{address, "broke off"};
    QTest::newRow("shorter than announced") << shorter << Space::Roomy << none << qint64(0) << QStringList{address, "broke off"};
    QTest::newRow("stalls midway") << stalled << Space::Roomy << none << qint64(0) << QStringList{address, "No data"};
    QTest::newRow("folder removed") << good << Space::Roomy << removed << qint64(0) << QStringList{target, "No such file"};
    QTest::newRow("read-only folder") << unannounced << Space::ReadOnly << none << qint64(0) << QStringList{target, "Cannot create"};
    // Stands in for a full disk: the first block written fails.
    QTest::newRow("file size limit") << good << Space::Roomy << none << qint64(1000) << QStringList{target, "File too large"};
    QTest::newRow("disk full, small tmpfs") << unannounced << Space::Full << none << qint64(0) << QStringList{target, "No space left"};
    // clang-format on
}

void TestDownloadFlow::failure()
{
    QFETCH(Response, response);
    QFETCH(Space, volume);
    QFETCH(Setup, beforeClick);
    QFETCH(qint64, limit);
    QFETCH(QStringList, said);
    TestWindow window;
    window.serveRelease(QStringLiteral("setup.bin"), response);
    QVERIFY(window.load());
    QString folder = window.destination.path();
    std::optional<SmallTmpfs> mount;
    if (volume != Space::Roomy) {
        folder = window.destination.filePath(QStringLiteral("volume"));
        QVERIFY(QDir().mkpath(folder));
        // Root writes through permissions; only a mount refuses it.
        if (::geteuid() == 0) {
            mount.emplace(folder);
            if (!mount->mounted()) {
                QSKIP(qPrintable(mount->failure() + QStringLiteral("; row skipped")));
            }
        } else if (volume == Space::Full) {
            QSKIP("a full disk needs a small tmpfs, which only root can mount; row skipped");
        }
    }
    window.pick(folder);
    // An older release the user keeps in the folder must outlive the failure.
    const QString older = QDir(folder).filePath(QStringLiteral("older-release.bin"));
    QVERIFY(writeFile(older, "kept"));
    const auto restore = qScopeGuard([&folder] {
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    });
    if (volume == Space::ReadOnly) {
        QVERIFY(mount ? mount->makeReadOnly()
                      : QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
    }
    const QString target = QDir(folder).filePath(window.file);
    said.replaceInStrings(QLatin1String("{address}"), window.address());
    said.replaceInStrings(QLatin1String("{target}"), target);
    beforeClick(window);

    std::optional<FileSizeLimit> limited;
    if (limit > 0) {
        limited.emplace(limit);
    }
    QVERIFY(window.download(10000));
    limited.reset();

    CleanFailure expected{target, said};
    if (QFileInfo::exists(folder)) {
        expected.kept.insert(older, "kept");
    }
    expectCleanFailure(window, expected);
}

void TestDownloadFlow::pinnedRelease_data()
{
    // clang-format off
    // response: what the server sends; pins: what the release's manifest line
    // pins; said: what the report says, empty for a download that must arrive.
    QTest::addColumn<Response>("response");
    QTest::addColumn<QByteArray>("pins");
    QTest::addColumn<QString>("said");
    QTest::addColumn<QString>("percent");

    const QByteArray release = randomBytes(300 * 1024 + 17);
    const QByteArray digest = Sha256::hash(release).toHex();
    const QByteArray both = '\t' + digest + '\t' + QByteArray::number(release.size());
    const Response same = TestHttpServer::ok(release);
    Response unannounced = same;
    unannounced.sendContentLength = false;
    Response changed = same;
    changed.body[1000] = char(changed.body.at(1000) ^ 0x20);
    Response truncated = same;
    truncated.body.chop(4096);
    Response longer = same;
    longer.body.append(randomBytes(2000));
    Response endless = unannounced;
    endless.endless = true;

    QTest::newRow("the release, digest and size pinned") << same << both << "" << "100 %";
    QTest::newRow("the release, no length announced, size pinned")
        << unannounced << both << "" << "100 %";
    QTest::newRow("unsigned: malformed digest ignored")
        << changed << '\t' + digest.left(40) << "" << "100 %";
    QTest::newRow("changed by one byte") << changed << both << "SHA-256 is" << "";
    QTest::newRow("changed by one byte, digest pinned only")
        << changed << '\t' + digest << "SHA-256 is" << "";
    // Only the size check says this: a shorter file must not pass the size pin.
    QTest::newRow("truncated with a matching length")
        << truncated << both
        << QStringLiteral("it has %1 bytes, the manifest lists %2")
               .arg(truncated.body.size())
               .arg(release.size())
        << "";
    QTest::newRow("longer than pinned") << longer << both << "larger than" << "";
    QTest::newRow("endless body") << endless << both << "larger than" << "";
    // clang-format on
}

void TestDownloadFlow::pinnedRelease()
{
    QFETCH(Response, response);
    QFETCH(QByteArray, pins);
    QFETCH(QString, said);
    QFETCH(QString, percent);

    TestWindow window;
    window.serveRelease(QStringLiteral("setup.bin"), response, pins);
    if (!response.sendContentLength) {
        headWithLength({})(window);
    }
    QVERIFY(window.start());
    const QString older = window.destination.filePath(QStringLiteral("older-release.bin"));
    QVERIFY(writeFile(older, "kept"));

    QVERIFY(window.download());

    if (said.isEmpty()) {
        QCOMPARE(readAll(older), QByteArray("kept"));
        QCOMPARE(window.platform.errorReport.lastDescription(), QString());
        QCOMPARE(readAll(window.target()), response.body);
        QCOMPARE(window.form->Label3->text(), percent);
        QCOMPARE(window.platform.shell.started, QStringList{window.target()});
        return;
    }
    expectCleanFailure(window, {window.target(), {said, window.target()}, {{older, "kept"}}});
    if (response.endless) {
        // Stopped at the pinned size, give or take what the buffers held.
        const qint64 pinned = pins.split('\t').constLast().toLongLong();
        const qint64 sent = window.server.bytesSent();
        QVERIFY2(sent > pinned && sent < 2 * pinned + 8 * 1024 * 1024,
                 qPrintable(QString::number(sent)));
    }
}

void TestDownloadFlow::existingFileIsCheckedBeforeStarting_data()
{
    QTest::addColumn<QString>("pins");
    QTest::addColumn<bool>("isTheRelease");
    QTest::addColumn<bool>("started");
    QTest::newRow("the listed release") << "digest" << true << true;
    QTest::newRow("another file under its name") << "digest" << false << false;
    QTest::newRow("nothing pinned") << "" << false << true;
}

void TestDownloadFlow::existingFileIsCheckedBeforeStarting()
{
    QFETCH(QString, pins);
    QFETCH(bool, isTheRelease);
    QFETCH(bool, started);
    const QByteArray release = randomBytes(20000);
    const QByteArray fields = pins.isEmpty() ? QByteArray() : '\t' + Sha256::hash(release).toHex();
    TestWindow window;
    window.serveRelease(QStringLiteral("setup.bin"), TestHttpServer::ok(release), fields);
    const QByteArray existing = isTheRelease ? release : randomBytes(20001);
    QVERIFY(writeFile(window.target(), existing));
    // Keep it, then install it.
    window.platform.prompt.answers = {PromptAnswer::No, PromptAnswer::Yes};
    QVERIFY(window.start());

    QVERIFY(window.download());

    QCOMPARE(window.platform.errorReport.lastDescription(), QString());
    QCOMPARE(window.server.requestCount("GET", window.path()), 0);
    QCOMPARE(readAll(window.target()), existing);
    QCOMPARE(window.platform.shell.started, started ? QStringList{window.target()} : QStringList());
    const QList<AskedPrompt> &asked = window.platform.prompt.asked;
    QCOMPARE(asked.size(), started ? 2 : 3);
    if (!started) {
        QCOMPARE(asked[2].text, QStringLiteral("The file setup.bin in the destination folder is "
                                               "not the release on the list: its contents differ."
                                               " It will not be started."));
        QCOMPARE(asked[2].flags, 48);
    }
}

namespace {

// Makes something at the .part's name, given the file outside; 0 when it did.
using Plant = std::function<int(const QByteArray &outside, const QByteArray &part)>;

} // namespace

void TestDownloadFlow::hostilePartialFile_data()
{
    // clang-format off
    // What stands at the .part's name before the download; said: the report,
    // empty when the download must arrive whole.
    QTest::addColumn<Plant>("plant");
    QTest::addColumn<QString>("said");
    QTest::newRow("link to a file outside") << Plant([](const QByteArray &from, const QByteArray &to) { return ::symlink(from, to); }) << "";
    QTest::newRow("another name of a file outside") << Plant([](const QByteArray &from, const QByteArray &to) { return ::link(from, to); }) << "";
    QTest::newRow("FIFO") << Plant([](const QByteArray &, const QByteArray &to) { return ::mkfifo(to, 0600); }) << "a FIFO is in the way";
    QTest::newRow("folder") << Plant([](const QByteArray &, const QByteArray &to) { return ::mkdir(to, 0700); }) << "a folder is in the way";
    // clang-format on
}

void TestDownloadFlow::hostilePartialFile()
{
    QFETCH(Plant, plant);
    QFETCH(QString, said);
    TestWindow window;
    window.serveRelease(QStringLiteral("setup.bin"), TestHttpServer::ok(randomBytes(200 * 1024)));
    QTemporaryDir outside;
    const QString victim = outside.filePath(QStringLiteral(".profile"));
    QVERIFY(writeFile(victim, "the user's own"));
    QVERIFY(QFile::setPermissions(victim, QFile::ReadOwner | QFile::WriteOwner));
    const QFile::Permissions mode = QFileInfo(victim).permissions();
    const QString part = TargetFile::partPath(window.target());
    const QByteArray from = QFile::encodeName(victim);
    const QByteArray to = QFile::encodeName(part);
    const int made = plant(from, to);
    QCOMPARE(made, 0);
    QVERIFY(window.start());

    QVERIFY(window.download());

    QCOMPARE(readAll(victim), QByteArray("the user's own"));
    QCOMPARE(QFileInfo(victim).permissions(), mode);
    const QString description = window.platform.errorReport.lastDescription();
    QVERIFY2(said.isEmpty() ? description.isEmpty()
                            : description.contains(said) && description.contains(part),
             qPrintable(description));
    QCOMPARE(nothingAt(part), said.isEmpty());
    QCOMPARE(readAll(window.target()), said.isEmpty() ? window.body : QByteArray());
    QCOMPARE(window.platform.shell.started.size(), said.isEmpty() ? 1 : 0);
}

void TestDownloadFlow::replacedBeforeStarting_data()
{
    // Whether the file was there already (and kept), whether its line pins it,
    // and what happens to it while the install question is open.
    QTest::addColumn<bool>("existing");
    QTest::addColumn<bool>("pinned");
    QTest::addColumn<QString>("change"); // "replaced", "written" to in place, or its "status"
    QTest::newRow("downloaded, then replaced") << false << false << "replaced";
    QTest::newRow("downloaded and pinned, then written to") << false << true << "written";
    QTest::newRow("kept and pinned, replaced after its check") << true << true << "replaced";
    QTest::newRow("kept, then written to") << true << false << "written";
    QTest::newRow("downloaded, then its status changed") << false << false << "status";
}

void TestDownloadFlow::replacedBeforeStarting()
{
    QFETCH(bool, existing);
    QFETCH(bool, pinned);
    QFETCH(QString, change);
    const QByteArray release = randomBytes(20000);
    TestWindow window;
    window.serveRelease(QStringLiteral("setup.bin"), TestHttpServer::ok(release),
                        pinned ? '\t' + Sha256::hash(release).toHex() : QByteArray());
    if (existing) {
        QVERIFY(writeFile(window.target(), release));
        window.platform.prompt.answers = {PromptAnswer::No};
    }
    const QString swapped = window.destination.filePath(QStringLiteral("swapped"));
    QVERIFY(writeFile(swapped, "#!/bin/sh\necho pwned\n"));
    window.platform.prompt.whileShown = [&](const AskedPrompt &prompt) {
        if (prompt.flags == PromptFlags::YesNo) {
            if (change == QLatin1String("replaced")) {
                QVERIFY(QFile::remove(window.target()) && QFile::rename(swapped, window.target()));
            } else if (change == QLatin1String("written")) {
                QFile file(window.target());
                QVERIFY(file.open(QIODevice::Append) && file.write("\n") == 1);
            } else {
                QVERIFY(changeStatusOnly(window.target()));
            }
        }
    };
    QVERIFY(window.start());

    QVERIFY(window.download());

    QCOMPARE(window.platform.errorReport.lastDescription(), QString());
    QVERIFY(window.platform.shell.started.isEmpty());
    QCOMPARE(window.platform.prompt.asked.constLast().text,
             QStringLiteral("The file setup.bin in the destination folder was replaced or changed "
                            "after it was checked. It will not be started."));
    QCOMPARE(window.platform.prompt.asked.constLast().flags, 48);
}

QTEST_MAIN(TestDownloadFlow)
#include "tst_download_flow.moc"
