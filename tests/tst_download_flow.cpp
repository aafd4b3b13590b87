#include "english_system_texts.h"
#include "file_size_limit.h"
#include "form1.h"
#include "pick_release.h"
#include "progress_bar.h"
#include "random_bytes.h"
#include "sha256.h"
#include "target_file.h"
#include "test_files.h"
#include "test_http_server.h"
#include "test_platform.h"
#include "twips.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

#include <optional>

using namespace std::chrono_literals;

namespace {

const QString Title = QStringLiteral(" OnLine Download Orbistane.");

QString installQuestion(const QString &file)
{
    return QStringLiteral("Sucessfull download.\r\nDo you want to install Orbistane %1 now?")
        .arg(file);
}

bool isRoot()
{
    return ::geteuid() == 0;
}

bool runCommand(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished() && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

// A 64 KiB tmpfs mounted over a folder for one test, and gone after it.
class SmallMount
{
public:
    explicit SmallMount(const QString &folder) : m_folder(folder)
    {
        m_mounted = runCommand(QStringLiteral("mount"),
                               {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                QStringLiteral("size=64k"), QStringLiteral("tmpfs"), folder});
    }
    ~SmallMount()
    {
        if (m_mounted) {
            runCommand(QStringLiteral("umount"), {QStringLiteral("-l"), m_folder});
        }
    }
    SmallMount(const SmallMount &) = delete;
    SmallMount &operator=(const SmallMount &) = delete;

    bool mounted() const { return m_mounted; }
    bool makeReadOnly()
    {
        return runCommand(QStringLiteral("mount"),
                          {QStringLiteral("-o"), QStringLiteral("remount,ro"), m_folder});
    }

private:
    QString m_folder;
    bool m_mounted = false;
};

// One run of the program: a server with a manifest listing one release, the
// main window loaded from it with that release picked and a fresh folder chosen.
struct Run
{
    // pins: fields 3 and 4 of the release's manifest line, tab included.
    explicit Run(const QString &name, const TestHttpServer::Response &response,
                 const QByteArray &pins = {})
        : file(name), body(response.body)
    {
        platform.shell.tempFolder = temp.path();
        server.serve("/manifest.txt",
                     TestHttpServer::ok("W2003\t" + name.toUtf8() + "\tR1" + pins + "\n"));
        server.serve(path(), response);
    }

    QByteArray path() const { return '/' + file.toUtf8(); }
    QString target() const { return destination.filePath(file); }

    void load()
    {
        form = std::make_unique<Form1>(platform.platform(), server.baseUrl());
        form->Form_Load();
        form->show();
        pickFirstRelease(*form, destination.path());
    }

    int requestsFor(const QByteArray &method) const
    {
        return int(std::count_if(server.requests().cbegin(), server.requests().cend(),
                                 [&](const TestHttpServer::Request &request) {
                                     return request.method == method && request.path == path();
                                 }));
    }

    QString file;
    QByteArray body;
    QTemporaryDir temp;
    QTemporaryDir destination;
    TestHttpServer server;
    TestPlatform platform{1500ms};
    std::unique_ptr<Form1> form;
};

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
    void clickDuringProbeIsIgnored();
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
    // head: what the size probe is told; get: how the body comes.
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("head");
    QTest::addColumn<QString>("get");
    QTest::addColumn<QString>("percent");
    const QString setup = QStringLiteral("setup.bin");
    QTest::newRow("good") << setup << "exact" << "plain" << "100 %";
    QTest::newRow("blanks and shell characters")
        << "-my setup; echo 'x' & $(touch pwned) \"q\".sh" << "exact" << "plain" << "100 %";
    QTest::newRow("HEAD without length") << setup << "none" << "plain" << "0 %";
    QTest::newRow("HEAD length 0") << setup << "0" << "plain" << "0 %";
    QTest::newRow("HEAD length negative") << setup << "-307323" << "plain" << "0 %";
    QTest::newRow("HEAD length beyond 32 bits") << setup << "4294967296" << "plain" << "0 %";
    QTest::newRow("HEAD length junk") << setup << "lots" << "plain" << "0 %";
    QTest::newRow("HEAD refused, GET works") << setup << "refused" << "plain" << "0 %";
    QTest::newRow("body longer than HEAD said") << setup << "half" << "plain" << "100 %";
    QTest::newRow("no length at all") << setup << "none" << "no length" << "0 %";
    QTest::newRow("redirect to another port") << setup << "exact" << "redirect" << "100 %";
    // clang-format on
}

void TestDownloadFlow::download()
{
    QFETCH(QString, name);
    QFETCH(QString, head);
    QFETCH(QString, get);
    QFETCH(QString, percent);
    TestHttpServer::Response response = TestHttpServer::ok(randomBytes(300 * 1024 + 123));
    response.sendContentLength = get != QLatin1String("no length");
    Run run(name, response);
    TestHttpServer elsewhere;
    if (get == QLatin1String("redirect")) {
        elsewhere.serve(run.path(), response);
        TestHttpServer::Response moved = TestHttpServer::status(302, "Found");
        moved.headers = {{"Location", (elsewhere.baseUrl() + run.file).toUtf8()}};
        run.server.serve(run.path(), moved);
    }
    qint32 expectedSize = -1;
    if (head == QLatin1String("exact")) {
        expectedSize = qint32(run.body.size());
    } else if (head == QLatin1String("refused")) {
        // The error page has a length of its own, which is not the release's.
        run.server.serveHead(run.path(), TestHttpServer::status(405, "Method Not Allowed",
                                                                "<html>No HEAD here</html>"));
    } else {
        TestHttpServer::Response answer = TestHttpServer::ok({});
        answer.sendContentLength = false;
        QByteArray length = head.toUtf8();
        if (head == QLatin1String("half")) {
            expectedSize = qint32(run.body.size() / 2);
            length = QByteArray::number(expectedSize);
        }
        if (head != QLatin1String("none")) {
            answer.headers = {{"Content-Length", length}};
        }
        run.server.serveHead(run.path(), answer);
    }
    run.load();

    run.form->Command1->click();
    QCOMPARE(run.form->Command1->text(), QStringLiteral("Cancel"));
    QVERIFY(!run.form->ComboVersion->isEnabled());
    QCOMPARE(run.form->frameGeometry().height(), twips(Form1::TransferHeightTwips));
    QTRY_COMPARE(run.platform.programEnd.ends, 1);

    QCOMPARE(run.platform.errorReport.lastDescription(), QString());
    QCOMPARE(run.platform.programEnd.exitCode, 0);
    QCOMPARE(readAll(run.target()), run.body);
    QCOMPARE(run.form->RemoteSize, expectedSize);
    QCOMPARE(run.form->Label3->text(), percent);
    QCOMPARE(run.form->ProgressBar->barValue(),
             percent == QLatin1String("100 %") ? 100.0f : float(ProgressBarControl::Minimum));
    QCOMPARE(run.platform.prompt.asked.size(), 1);
    QCOMPARE(run.platform.prompt.asked[0].text, installQuestion(name));
    QCOMPARE(run.platform.prompt.asked[0].flags, 4);
    QCOMPARE(run.platform.prompt.asked[0].title, Title);
    QCOMPARE(run.platform.shell.started, QStringList{run.target()});
    QCOMPARE(run.requestsFor("HEAD"), 1);
    QCOMPARE(run.requestsFor("GET"), 1);
    QCOMPARE(QDir(run.destination.path()).entryList(QDir::Files), QStringList{run.file});
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
    Run run(QStringLiteral("setup.bin"), TestHttpServer::ok(randomBytes(20000)));
    const QByteArray older(50000, 'o');
    QFile file(run.target());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(older);
    file.close();
    run.platform.prompt.answers = answers;
    run.load();

    run.form->Command1->click();
    QTRY_COMPARE(run.platform.programEnd.ends, 1);
    QCOMPARE(run.platform.programEnd.exitCode, 0);
    const QList<AskedPrompt> &asked = run.platform.prompt.asked;
    QCOMPARE(asked.size(), 2);
    QCOMPARE(asked[0].text, QStringLiteral("Version: setup.bin was downloaded yet.\r\n"
                                           "Do you want to download it again?"));
    QCOMPARE(asked[0].flags, 68);
    QCOMPARE(asked[1].text, installQuestion(run.file));
    QCOMPARE(asked[1].flags, 4);
    QCOMPARE(readAll(run.target()), fetched ? run.body : older);
    QCOMPARE(run.requestsFor("GET"), fetched ? 1 : 0);
    QCOMPARE(run.platform.shell.started, started ? QStringList{run.target()} : QStringList());
}

void TestDownloadFlow::cancel_data()
{
    // point: while the size probe waits, before the body's response, or
    // between two chunks of the body. A click during the probe is ignored.
    QTest::addColumn<bool>("byClosing");
    QTest::addColumn<QString>("point");
    QTest::addColumn<int>("answer");
    for (const bool byClosing : {false, true}) {
        for (const char *point : {"probe", "response", "body"}) {
            if (!byClosing && qstrcmp(point, "probe") == 0) {
                continue;
            }
            for (const int answer : {PromptAnswer::Yes, PromptAnswer::No}) {
                QTest::addRow("%s during the %s, %s", byClosing ? "close" : "click", point,
                              answer == PromptAnswer::Yes ? "yes" : "no")
                    << byClosing << QString::fromLatin1(point) << answer;
            }
        }
    }
}

void TestDownloadFlow::cancel()
{
    QFETCH(bool, byClosing);
    QFETCH(QString, point);
    QFETCH(int, answer);
    TestHttpServer::Response response = TestHttpServer::ok(randomBytes(300 * 1024));
    response.delayMs = point == QLatin1String("response") ? 300 : 0;
    if (answer == PromptAnswer::Yes) {
        // Still coming when Yes is answered: only the cancel can stop it.
        response.endless = true;
        response.sendContentLength = false;
    }
    Run run(QStringLiteral("setup.bin"), response);
    TestHttpServer::Response head = TestHttpServer::ok(response.body);
    head.delayMs = point == QLatin1String("probe") ? 300 : 0;
    run.server.serveHead(run.path(), head);
    run.platform.prompt.answers = {answer};
    run.load();
    Form1 &form = *run.form;
    const auto askToCancel = [&form, byClosing] {
        if (byClosing) {
            form.close();
        } else {
            form.Command1->click();
        }
    };
    if (point == QLatin1String("body")) {
        // Asked from an event served between two chunks.
        connect(form.ProgressBar, &QProgressBar::valueChanged, this, [&, once = true]() mutable {
            if (std::exchange(once, false)) {
                QTimer::singleShot(0, &form, askToCancel);
            }
        });
    } else {
        // The awaited answer arrives while the question is open.
        run.platform.prompt.whileShown = [](const AskedPrompt &prompt) {
            if (prompt.flags == 36) {
                QTest::qWait(800);
            }
        };
    }
    if (point == QLatin1String("probe")) {
        QTimer::singleShot(100, &form, askToCancel);
    }

    form.Command1->click();
    if (point == QLatin1String("response")) {
        askToCancel();
    }
    QTRY_COMPARE(run.platform.programEnd.ends, 1);

    QCOMPARE(run.platform.errorReport.lastDescription(), QString());
    QCOMPARE(run.platform.programEnd.exitCode, 0);
    const QList<AskedPrompt> &asked = run.platform.prompt.asked;
    QCOMPARE(asked.value(0).text,
             QStringLiteral("Do you want to cancel downloading of Orbistane setup.bin?"));
    QCOMPARE(asked.value(0).flags, 36);
    if (answer == PromptAnswer::Yes) {
        QCOMPARE(asked.size(), 1);
        QVERIFY(!QFileInfo::exists(run.target()));
        QVERIFY(!run.platform.inet1.StillExecuting());
        // The connection is closed: no more of the body is taken.
        QTRY_COMPARE(run.server.openConnections(), 0);
        QVERIFY(run.platform.shell.started.isEmpty());
        QCOMPARE(run.requestsFor("GET"), point == QLatin1String("probe") ? 0 : 1);
    } else {
        QCOMPARE(asked.size(), 2);
        QCOMPARE(readAll(run.target()), run.body);
        QCOMPARE(run.platform.shell.started, QStringList{run.target()});
    }
}

void TestDownloadFlow::failure_data()
{
    // clang-format off
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("said");
    const QString address = QStringLiteral("{address}");
    const QString target = QStringLiteral("{target}");
    QTest::newRow("GET 404 with a page") << "404" << QStringList{address, "HTTP 404"};
    QTest::newRow("GET 500 with a page") << "500" << QStringList{address, "HTTP 500"};
    QTest::newRow("refused") << "refused" << QStringList{address, "refused"};
    QTest::newRow("connection drops midway") << "drop" << QStringList{address, "broke off"};
    QTest::newRow("shorter than announced") << "short" << QStringList{address, "broke off"};
    QTest::newRow("stalls midway") << "stall" << QStringList{address, "No data"};
    QTest::newRow("folder removed") << "removed" << QStringList{target, "No such file"};
    QTest::newRow("read-only folder") << "read-only" << QStringList{target, "Cannot create"};
    QTest::newRow("file size limit") << "limit" << QStringList{target, "File too large"};
    QTest::newRow("disk full, small tmpfs") << "tmpfs" << QStringList{target, "No space left"};
    // clang-format on
}

void TestDownloadFlow::failure()
{
    QFETCH(QString, kind);
    QFETCH(QStringList, said);
    TestHttpServer::Response response = TestHttpServer::ok(randomBytes(200 * 1024));
    if (kind == QLatin1String("404") || kind == QLatin1String("500")) {
        response = TestHttpServer::status(kind.toInt(), "Oops", "<html>error page</html>");
    } else if (kind == QLatin1String("drop")) {
        response.dropAfter = 50 * 1024;
    } else if (kind == QLatin1String("short")) {
        response.contentLength = response.body.size() + 100;
    } else if (kind == QLatin1String("stall")) {
        response.stallAfter = 50 * 1024;
    } else if (kind == QLatin1String("read-only") || kind == QLatin1String("tmpfs")) {
        // Unannounced, so that the small volume is found full by writing to it,
        // not by the check of its free space.
        response.sendContentLength = false;
    }
    Run run(QStringLiteral("setup.bin"), response);
    run.load();
    QString folder = run.destination.path();
    std::unique_ptr<SmallMount> mount;
    if (kind == QLatin1String("read-only") || kind == QLatin1String("tmpfs")) {
        folder = run.destination.filePath(QStringLiteral("volume"));
        QVERIFY(QDir().mkpath(folder));
        if (isRoot()) {
            // Root writes through permissions; only a mount refuses it.
            mount = std::make_unique<SmallMount>(folder);
            if (!mount->mounted()) {
                QSKIP("mounting a small tmpfs failed (no privilege here); row skipped");
            }
        } else if (kind == QLatin1String("tmpfs")) {
            QSKIP("a full disk needs a small tmpfs, which only root can mount; row skipped");
        }
        run.form->Label4->setText(folder);
    }
    // An older release the user keeps in the folder must outlive the failure.
    const QString older = QDir(folder).filePath(QStringLiteral("older-release.bin"));
    QVERIFY(writeFile(older, "kept"));
    if (kind == QLatin1String("read-only")) {
        if (mount) {
            QVERIFY(mount->makeReadOnly());
        } else {
            QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
        }
    }
    QString target = QDir(folder).filePath(run.file);
    const QString address = run.server.baseUrl() + run.file;
    if (kind == QLatin1String("refused")) {
        run.server.close();
    } else if (kind == QLatin1String("removed")) {
        QVERIFY(run.destination.remove());
    }

    std::optional<FileSizeLimit> limit;
    if (kind == QLatin1String("limit")) {
        // Stands in for a full disk: the first block written fails.
        limit.emplace(1000);
    }
    run.form->Command1->click();
    QTRY_COMPARE_WITH_TIMEOUT(run.platform.programEnd.ends, 1, 10000);

    QCOMPARE(run.platform.programEnd.exitCode, 1);
    QCOMPARE(run.platform.errorReport.reports.size(), 1);
    const QString description = run.platform.errorReport.lastDescription();
    for (QString part : said) {
        part.replace(QLatin1String("{address}"), address);
        part.replace(QLatin1String("{target}"), target);
        QVERIFY2(description.contains(part, Qt::CaseInsensitive), qPrintable(description));
    }
    limit.reset();
    QVERIFY(nothingAt(target));
    QVERIFY(nothingAt(TargetFile::partPath(target)));
    if (kind != QLatin1String("removed")) {
        QCOMPARE(readAll(older), QByteArray("kept"));
    }
    QVERIFY(run.platform.prompt.asked.isEmpty());
    QVERIFY(run.platform.shell.started.isEmpty());
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void TestDownloadFlow::clickDuringProbeIsIgnored()
{
    Run run(QStringLiteral("setup.bin"), TestHttpServer::ok(randomBytes(30000)));
    TestHttpServer::Response slowHead = TestHttpServer::ok(run.body);
    slowHead.delayMs = 400;
    run.server.serveHead(run.path(), slowHead);
    run.load();

    QTimer::singleShot(100, run.form->Command1, &QPushButton::click);
    run.form->Command1->click();
    QTRY_COMPARE(run.platform.programEnd.ends, 1);

    QCOMPARE(run.platform.errorReport.lastDescription(), QString());
    QCOMPARE(run.requestsFor("HEAD"), 1);
    QCOMPARE(run.requestsFor("GET"), 1);
    QCOMPARE(run.platform.prompt.asked.size(), 1);
    QCOMPARE(readAll(run.target()), run.body);
}

void TestDownloadFlow::pinnedRelease_data()
{
    // clang-format off
    // served: what the server sends instead of the release; pins: what its
    // manifest line pins; said: what the report says, empty for a download
    // that must arrive.
    QTest::addColumn<QString>("served");
    QTest::addColumn<QString>("pins");
    QTest::addColumn<QString>("said");
    QTest::addColumn<QString>("percent");

    QTest::newRow("the release, digest and size pinned") << "same" << "both" << "" << "100 %";
    QTest::newRow("the release, no length announced, size pinned")
        << "no length" << "both" << "" << "100 %";
    QTest::newRow("unsigned: malformed digest ignored")
        << "changed" << "malformed" << "" << "100 %";
    QTest::newRow("changed by one byte") << "changed" << "both" << "SHA-256 is" << "";
    QTest::newRow("changed by one byte, digest pinned only")
        << "changed" << "digest" << "SHA-256 is" << "";
    QTest::newRow("truncated with a matching length")
        << "truncated" << "both" << "the manifest lists" << "";
    QTest::newRow("longer than pinned") << "longer" << "both" << "larger than" << "";
    QTest::newRow("endless body") << "endless" << "both" << "larger than" << "";
    // clang-format on
}

void TestDownloadFlow::pinnedRelease()
{
    QFETCH(QString, served);
    QFETCH(QString, pins);
    QFETCH(QString, said);
    QFETCH(QString, percent);

    const QByteArray release = randomBytes(300 * 1024 + 17);
    TestHttpServer::Response response = TestHttpServer::ok(release);
    if (served == QLatin1String("changed")) {
        response.body[1000] = char(response.body.at(1000) ^ 0x20);
    } else if (served == QLatin1String("truncated")) {
        response.body.chop(4096);
    } else if (served == QLatin1String("longer")) {
        response.body.append(randomBytes(2000));
    } else if (served == QLatin1String("no length")) {
        response.sendContentLength = false;
    } else if (served == QLatin1String("endless")) {
        response.sendContentLength = false;
        response.endless = true;
    }
    const QByteArray digest = Sha256::hash(release).toHex();
    QByteArray fields = '\t' + digest + '\t' + QByteArray::number(release.size());
    if (pins == QLatin1String("digest")) {
        fields = '\t' + digest;
    } else if (pins == QLatin1String("malformed")) {
        fields = '\t' + digest.left(40);
    }
    Run run(QStringLiteral("setup.bin"), response, fields);
    if (served == QLatin1String("no length")) {
        TestHttpServer::Response head = TestHttpServer::ok({});
        head.sendContentLength = false;
        run.server.serveHead(run.path(), head);
    }
    run.load();
    const QString older = run.destination.filePath(QStringLiteral("older-release.bin"));
    QVERIFY(writeFile(older, "kept"));

    run.form->Command1->click();
    QTRY_COMPARE(run.platform.programEnd.ends, 1);

    QCOMPARE(readAll(older), QByteArray("kept"));
    if (said.isEmpty()) {
        QCOMPARE(run.platform.errorReport.lastDescription(), QString());
        QCOMPARE(readAll(run.target()), response.body);
        QCOMPARE(run.form->Label3->text(), percent);
        QCOMPARE(run.platform.shell.started, QStringList{run.target()});
        return;
    }
    QCOMPARE(run.platform.programEnd.exitCode, 1);
    const QString description = run.platform.errorReport.lastDescription();
    QVERIFY2(description.contains(said), qPrintable(description));
    QVERIFY2(description.contains(run.target()), qPrintable(description));
    QVERIFY(!QFileInfo::exists(run.target()));
    QVERIFY(run.platform.prompt.asked.isEmpty());
    QVERIFY(run.platform.shell.started.isEmpty());
    if (served == QLatin1String("endless")) {
        // Stopped at the pinned size, give or take what the buffers held.
        const qint64 sent = run.server.bytesSent();
        QVERIFY2(sent > release.size() && sent < 2 * release.size() + 8 * 1024 * 1024,
                 qPrintable(QString::number(sent)));
    }
}

void TestDownloadFlow::existingFileIsCheckedBeforeStarting_data()
{
    // clang-format off
    QTest::addColumn<QString>("pins");
    QTest::addColumn<bool>("isTheRelease");
    QTest::addColumn<bool>("started");
    QTest::newRow("the listed release") << "digest" << true << true;
    QTest::newRow("another file under its name") << "digest" << false << false;
    QTest::newRow("nothing pinned") << "" << false << true;
    // clang-format on
}

void TestDownloadFlow::existingFileIsCheckedBeforeStarting()
{
    QFETCH(QString, pins);
    QFETCH(bool, isTheRelease);
    QFETCH(bool, started);
    const QByteArray release = randomBytes(20000);
    const QByteArray fields = pins.isEmpty() ? QByteArray() : '\t' + Sha256::hash(release).toHex();
    Run run(QStringLiteral("setup.bin"), TestHttpServer::ok(release), fields);
    const QByteArray existing = isTheRelease ? release : randomBytes(20001);
    QVERIFY(writeFile(run.target(), existing));
    // Keep it, then install it.
    run.platform.prompt.answers = {PromptAnswer::No, PromptAnswer::Yes};
    run.load();

    run.form->Command1->click();
    QTRY_COMPARE(run.platform.programEnd.ends, 1);

    QCOMPARE(run.platform.errorReport.lastDescription(), QString());
    QCOMPARE(run.requestsFor("GET"), 0);
    QCOMPARE(readAll(run.target()), existing);
    QCOMPARE(run.platform.shell.started, started ? QStringList{run.target()} : QStringList());
    const QList<AskedPrompt> &asked = run.platform.prompt.asked;
    QCOMPARE(asked.size(), started ? 2 : 3);
    if (!started) {
        QCOMPARE(asked[2].text, QStringLiteral("The file setup.bin in the destination folder is "
                                               "not the release on the list: its contents differ."
                                               " It will not be started."));
        QCOMPARE(asked[2].flags, 48);
    }
}

void TestDownloadFlow::hostilePartialFile_data()
{
    // clang-format off
    // What stands at the .part's name before the download; said: the report,
    // empty when the download must arrive whole.
    QTest::addColumn<QString>("planted");
    QTest::addColumn<QString>("said");
    QTest::newRow("link to a file outside") << "symlink" << "";
    QTest::newRow("another name of a file outside") << "hard link" << "";
    QTest::newRow("FIFO") << "fifo" << "a FIFO is in the way";
    QTest::newRow("folder") << "folder" << "a folder is in the way";
    // clang-format on
}

void TestDownloadFlow::hostilePartialFile()
{
    QFETCH(QString, planted);
    QFETCH(QString, said);
    Run run(QStringLiteral("setup.bin"), TestHttpServer::ok(randomBytes(200 * 1024)));
    QTemporaryDir outside;
    const QString victim = outside.filePath(QStringLiteral(".profile"));
    QVERIFY(writeFile(victim, "the user's own"));
    QVERIFY(QFile::setPermissions(victim, QFile::ReadOwner | QFile::WriteOwner));
    const QFile::Permissions mode = QFileInfo(victim).permissions();
    const QString part = TargetFile::partPath(run.target());
    const QByteArray from = QFile::encodeName(victim);
    const QByteArray to = QFile::encodeName(part);
    const int made = planted == QLatin1String("symlink")     ? ::symlink(from, to)
                     : planted == QLatin1String("hard link") ? ::link(from, to)
                     : planted == QLatin1String("fifo")      ? ::mkfifo(to, 0600)
                                                             : ::mkdir(to, 0700);
    QCOMPARE(made, 0);
    run.load();

    run.form->Command1->click();
    QTRY_COMPARE(run.platform.programEnd.ends, 1);

    QCOMPARE(readAll(victim), QByteArray("the user's own"));
    QCOMPARE(QFileInfo(victim).permissions(), mode);
    const QString description = run.platform.errorReport.lastDescription();
    QVERIFY2(said.isEmpty() ? description.isEmpty()
                            : description.contains(said) && description.contains(part),
             qPrintable(description));
    QCOMPARE(nothingAt(part), said.isEmpty());
    QCOMPARE(readAll(run.target()), said.isEmpty() ? run.body : QByteArray());
    QCOMPARE(run.platform.shell.started.size(), said.isEmpty() ? 1 : 0);
}

void TestDownloadFlow::replacedBeforeStarting_data()
{
    // clang-format off
    // Whether the file was there already (and kept), whether its line pins it,
    // and what happens to it while the install question is open.
    QTest::addColumn<bool>("existing");
    QTest::addColumn<bool>("pinned");
    QTest::addColumn<bool>("replaced"); // else written to in place
    QTest::newRow("downloaded, then replaced") << false << false << true;
    QTest::newRow("downloaded and pinned, then written to") << false << true << false;
    QTest::newRow("kept and pinned, replaced after its check") << true << true << true;
    QTest::newRow("kept, then written to") << true << false << false;
    // clang-format on
}

void TestDownloadFlow::replacedBeforeStarting()
{
    QFETCH(bool, existing);
    QFETCH(bool, pinned);
    QFETCH(bool, replaced);
    const QByteArray release = randomBytes(20000);
    Run run(QStringLiteral("setup.bin"), TestHttpServer::ok(release),
            pinned ? '\t' + Sha256::hash(release).toHex() : QByteArray());
    if (existing) {
        QVERIFY(writeFile(run.target(), release));
        run.platform.prompt.answers = {PromptAnswer::No};
    }
    const QString swapped = run.destination.filePath(QStringLiteral("swapped"));
    QVERIFY(writeFile(swapped, "#!/bin/sh\necho pwned\n"));
    run.platform.prompt.whileShown = [&](const AskedPrompt &prompt) {
        if (prompt.flags == PromptFlags::YesNo) {
            QFile file(run.target());
            QVERIFY(replaced ? QFile::remove(run.target()) && QFile::rename(swapped, run.target())
                             : file.open(QIODevice::Append) && file.write("\n") == 1);
        }
    };
    run.load();

    run.form->Command1->click();
    QTRY_COMPARE(run.platform.programEnd.ends, 1);

    QCOMPARE(run.platform.errorReport.lastDescription(), QString());
    QVERIFY(run.platform.shell.started.isEmpty());
    QCOMPARE(run.platform.prompt.asked.constLast().text,
             QStringLiteral("The file setup.bin in the destination folder was replaced or changed "
                            "after it was checked. It will not be started."));
    QCOMPARE(run.platform.prompt.asked.constLast().flags, 48);
}

QTEST_MAIN(TestDownloadFlow)
#include "tst_download_flow.moc"
