#include "form1.h"
#include "progress_bar.h"
#include "test_http_server.h"
#include "test_platform.h"
#include "twips.h"

#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace std::chrono_literals;

namespace {

const QString Title = QStringLiteral(" OnLine Download Orbistane.");

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(size);
    for (char &byte : bytes) {
        byte = static_cast<char>(generator.generate());
    }
    return bytes;
}

QString installQuestion(const QString &file)
{
    return QStringLiteral("Sucessfull download.\r\nDo you want to install Orbistane %1 now?")
        .arg(file);
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// One run of the program: a server with a manifest listing one release, the
// main window loaded from it with that release picked and a fresh folder chosen.
struct Run
{
    explicit Run(const QString &name, const TestHttpServer::Response &response)
        : file(name), body(response.body)
    {
        platform.shell.tempFolder = temp.path();
        server.serve("/manifest.txt", TestHttpServer::ok("W2003\t" + name.toUtf8() + "\tR1\n"));
        server.serve(path(), response);
    }

    QByteArray path() const { return '/' + file.toUtf8(); }
    QString target() const { return destination.filePath(file); }

    void load()
    {
        form = std::make_unique<Form1>(platform.platform(), server.baseUrl());
        form->Form_Load();
        form->show();
        form->ComboVersion->setCurrentIndex(0);
        emit form->ComboVersion->activated(0);
        form->Label4->setText(destination.path());
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
    void download_data();
    void download();
    void existingFile_data();
    void existingFile();
    void cancel_data();
    void cancel();
    void failure_data();
    void failure();
    void clickDuringProbeIsIgnored();
};

void TestDownloadFlow::download_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("headHasLength");
    QTest::addColumn<QString>("percent");
    QTest::newRow("good") << "setup.bin" << true << "100 %";
    QTest::newRow("blanks and shell characters")
        << "-my setup; echo 'x' & $(touch pwned) \"q\".sh" << true << "100 %";
    QTest::newRow("no size on HEAD") << "setup.bin" << false << "0 %";
}

void TestDownloadFlow::download()
{
    QFETCH(QString, name);
    QFETCH(bool, headHasLength);
    QFETCH(QString, percent);
    Run run(name, TestHttpServer::ok(randomBytes(300 * 1024 + 123)));
    if (!headHasLength) {
        TestHttpServer::Response head = TestHttpServer::ok({});
        head.sendContentLength = false;
        run.server.serveHead(run.path(), head);
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
    QCOMPARE(run.form->RemoteSize, headHasLength ? run.body.size() : -1);
    QCOMPARE(run.form->Label3->text(), percent);
    QCOMPARE(run.form->ProgressBar->barValue(),
             headHasLength ? 100.0f : float(ProgressBarControl::Minimum));
    QCOMPARE(run.platform.prompt.asked.size(), 1);
    QCOMPARE(run.platform.prompt.asked[0].text, installQuestion(name));
    QCOMPARE(run.platform.prompt.asked[0].flags, 4);
    QCOMPARE(run.platform.prompt.asked[0].title, Title);
    QCOMPARE(run.platform.shell.started, QStringList{run.target()});
    QCOMPARE(run.requestsFor("HEAD"), 1);
    QCOMPARE(run.requestsFor("GET"), 1);
}

void TestDownloadFlow::existingFile_data()
{
    QTest::addColumn<QList<int>>("answers");
    QTest::addColumn<bool>("fetched");
    QTest::addColumn<bool>("started");
    QTest::newRow("fetch again") << QList<int>{PromptAnswer::Yes} << true << true;
    QTest::newRow("keep, install") << QList<int>{PromptAnswer::No, PromptAnswer::Yes} << false
                                   << true;
    QTest::newRow("keep, do not install") << QList<int>{PromptAnswer::No, PromptAnswer::No}
                                          << false << false;
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
    QTest::addColumn<bool>("byClosing");
    QTest::addColumn<bool>("beforeResponse");
    QTest::addColumn<int>("answer");
    for (const bool byClosing : {false, true}) {
        for (const bool beforeResponse : {false, true}) {
            for (const int answer : {PromptAnswer::Yes, PromptAnswer::No}) {
                QTest::addRow("%s, %s, %s", byClosing ? "close" : "click",
                              beforeResponse ? "before the response" : "during the body",
                              answer == PromptAnswer::Yes ? "yes" : "no")
                    << byClosing << beforeResponse << answer;
            }
        }
    }
}

void TestDownloadFlow::cancel()
{
    QFETCH(bool, byClosing);
    QFETCH(bool, beforeResponse);
    QFETCH(int, answer);
    TestHttpServer::Response response = TestHttpServer::ok(randomBytes(300 * 1024));
    response.delayMs = beforeResponse ? 300 : 0;
    Run run(QStringLiteral("setup.bin"), response);
    run.server.serveHead(run.path(), TestHttpServer::ok(response.body));
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
    if (beforeResponse) {
        // The response arrives while the question is open.
        run.platform.prompt.whileShown = [](const AskedPrompt &prompt) {
            if (prompt.flags == 36) {
                QTest::qWait(800);
            }
        };
    } else {
        // Asked from an event served between two chunks.
        connect(form.ProgressBar, &QProgressBar::valueChanged, this, [&, once = true]() mutable {
            if (std::exchange(once, false)) {
                QTimer::singleShot(0, &form, askToCancel);
            }
        });
    }

    form.Command1->click();
    if (beforeResponse) {
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
        QVERIFY(run.platform.shell.started.isEmpty());
    } else {
        QCOMPARE(asked.size(), 2);
        QCOMPARE(readAll(run.target()), run.body);
        QCOMPARE(run.platform.shell.started, QStringList{run.target()});
    }
}

void TestDownloadFlow::failure_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("said");
    const QString address = QStringLiteral("{address}");
    const QString target = QStringLiteral("{target}");
    QTest::newRow("404") << "404" << QStringList{address, "HTTP 404"};
    QTest::newRow("500") << "500" << QStringList{address, "HTTP 500"};
    QTest::newRow("refused") << "refused" << QStringList{address, "refused"};
    QTest::newRow("connection drops") << "drop" << QStringList{address, "broke off"};
    QTest::newRow("shorter than announced") << "short" << QStringList{address, "broke off"};
    QTest::newRow("stalls") << "stall" << QStringList{address, "No data"};
    QTest::newRow("folder missing") << "folder" << QStringList{target, "No such file"};
    QTest::newRow("disk full") << "full" << QStringList{target, "No space left"};
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
    }
    Run run(QStringLiteral("setup.bin"), response);
    run.load();
    QString target = run.target();
    const QString address = run.server.baseUrl() + run.file;
    if (kind == QLatin1String("refused")) {
        run.server.close();
    } else if (kind == QLatin1String("folder")) {
        run.form->Label4->setText(run.destination.filePath(QStringLiteral("gone")));
        target = run.destination.filePath(QStringLiteral("gone/setup.bin"));
    }

    run.form->Command1->click();
    if (kind == QLatin1String("full")) {
        // Stands in for a full disk once the target's existence was checked.
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), target));
    }
    QTRY_COMPARE_WITH_TIMEOUT(run.platform.programEnd.ends, 1, 10000);

    QCOMPARE(run.platform.programEnd.exitCode, 1);
    QCOMPARE(run.platform.errorReport.reports.size(), 1);
    const QString description = run.platform.errorReport.lastDescription();
    for (QString part : said) {
        part.replace(QLatin1String("{address}"), address);
        part.replace(QLatin1String("{target}"), target);
        QVERIFY2(description.contains(part, Qt::CaseInsensitive), qPrintable(description));
    }
    QVERIFY(!QFileInfo::exists(target));
    QVERIFY(!QFileInfo(target).isSymLink());
    QVERIFY(run.platform.prompt.asked.isEmpty());
    QVERIFY(run.platform.shell.started.isEmpty());
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

QTEST_MAIN(TestDownloadFlow)
#include "tst_download_flow.moc"
