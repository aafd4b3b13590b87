#include "dbus_desktop_session.h"
#include "desktop_double.h"
#include "log_capture.h"
#include "qt_prompt.h"
#include "random_bytes.h"
#include "runtime_error.h"
#include "test_files.h"
#include "test_window.h"

#include <QLoggingCategory>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using Service = DesktopDouble::Service;
using Answer = DesktopDouble::Answer;

namespace {

const QString Reason = QStringLiteral("Downloading R1");

Service serviceNamed(const QString &name)
{
    static const QHash<QString, Service> services{
        {QStringLiteral("portal"), Service::Portal},
        {QStringLiteral("gnome"), Service::GnomeSession},
        {QStringLiteral("power"), Service::PowerManagement},
        {QStringLiteral("logind"), Service::Logind}};
    return services.value(name);
}

// The program's side, on the test's bus, with the same bus standing for the system's.
DBusDesktopSession sessionOnTheBus()
{
    return {QDBusConnection::sessionBus(), DesktopDouble::systemStandIn(),
            QStringLiteral("example.orbistane.download")};
}

// Waits for the double to see what the program sent meanwhile.
bool settles(DesktopDouble &desktop, int held)
{
    return QTest::qWaitFor([&] { return desktop.held() == held; }, 2000);
}

} // namespace

class TestDesktop final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void inhibitor_data();
    void inhibitor();
    void transfer_data();
    void transfer();
    void questions_data();
    void questions();
    void boxOwner_data();
    void boxOwner();
};

void TestDesktop::initTestCase()
{
    QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run the suite under dbus-run-session");
    QLoggingCategory::setFilterRules(QStringLiteral("orbistane.desktop.info=true"));
}

void TestDesktop::inhibitor_data()
{
    QTest::addColumn<QStringList>("absent");
    QTest::addColumn<QStringList>("refusing");
    QTest::addColumn<bool>("lateAnswer"); // released before the answer came
    QTest::addColumn<QString>("holder");  // "" when none
    const QStringList none;
    QTest::newRow("the portal") << none << none << false << "portal";
    QTest::newRow("no portal: GNOME's session")
        << QStringList{"portal"} << none << false << "gnome";
    QTest::newRow("the portal refuses: GNOME's session")
        << none << QStringList{"portal"} << false << "gnome";
    QTest::newRow("power management") << QStringList{"portal", "gnome"} << none << false << "power";
    QTest::newRow("logind on the system bus")
        << QStringList{"portal", "power"} << QStringList{"gnome"} << false << "logind";
    QTest::newRow("nobody") << QStringList{"portal", "gnome", "power", "logind"} << none << false
                            << "";
    QTest::newRow("the portal answers after the release") << none << none << true << "portal";
    QTest::newRow("logind answers after the release")
        << QStringList{"portal", "gnome", "power"} << none << true << "logind";
}

void TestDesktop::inhibitor()
{
    QFETCH(QStringList, absent);
    QFETCH(QStringList, refusing);
    QFETCH(bool, lateAnswer);
    QFETCH(QString, holder);
    QHash<Service, Answer> answers;
    for (const QString &name : absent) {
        answers.insert(serviceNamed(name), Answer::Absent);
    }
    for (const QString &name : refusing) {
        answers.insert(serviceNamed(name), Answer::Refuses);
    }
    DesktopDouble desktop(answers);
    desktop.holdAnswers = lateAnswer;
    LogCapture log;
    {
        DBusDesktopSession session = sessionOnTheBus();
        session.holdSuspend(Reason);
        if (lateAnswer) {
            QVERIFY(QTest::qWaitFor([&] { return desktop.granted.size() == 1; }, 2000));
            session.releaseSuspend();
            desktop.answerHeld();
        } else if (holder.isEmpty()) {
            QVERIFY(QTest::qWaitFor(
                [] { return LogCapture::lines("orbistane.desktop").size() == 5; }, 2000));
        } else {
            QVERIFY(settles(desktop, 1));
            // A second hold while one stands takes no other.
            session.holdSuspend(Reason);
            QTest::qWait(50);
            session.releaseSuspend();
        }
        QVERIFY(settles(desktop, 0));
    }
    if (holder.isEmpty()) {
        QVERIFY(desktop.granted.isEmpty());
        QVERIFY(LogCapture::lines("orbistane.desktop").constLast().startsWith("Nothing holds"));
        return;
    }
    QCOMPARE(desktop.granted.size(), 1);
    QCOMPARE(desktop.granted[0].service, serviceNamed(holder));
    QCOMPARE(desktop.granted[0].reason, Reason);
}

void TestDesktop::transfer_data()
{
    QTest::addColumn<QString>("end"); // whole, failure, cancel, signal
    QTest::addColumn<bool>("sized");
    QTest::addColumn<bool>("bus");
    QTest::newRow("whole") << "whole" << true << true;
    QTest::newRow("whole, size not known") << "whole" << false << true;
    QTest::newRow("failed") << "failure" << true << true;
    QTest::newRow("cancelled") << "cancel" << true << true;
    QTest::newRow("ended by a signal") << "signal" << true << true;
    QTest::newRow("no bus at all") << "whole" << true << false;
}

void TestDesktop::transfer()
{
    QFETCH(QString, end);
    QFETCH(bool, sized);
    QFETCH(bool, bus);
    DesktopDouble desktop;
    DBusDesktopSession session = sessionOnTheBus();
    LogCapture log;
    TestWindow window;
    if (bus) {
        window.platform.replaced.desktop = &session;
    }
    // About 1.3 s: the status line's timer ticks a few times meanwhile.
    TestHttpServer::Response release = TestHttpServer::ok(randomBytes(200 * 1024));
    release.bytesPerTick = 1500;
    release.sendContentLength = sized;
    if (end == QLatin1String("failure")) {
        release.bytesPerTick = 20 * 1024;
        release.dropAfter = 100 * 1024;
    }
    window.serveRelease(QStringLiteral("setup.bin"), release);
    // Whether suspend was still held off when each box came, once the bus carried
    // what the program sent before it.
    QList<int> heldAtBoxes;
    window.platform.prompt.whileShown = [&](const AskedPrompt &) {
        QTest::qWait(100);
        heldAtBoxes.append(desktop.held());
    };
    window.platform.errorReport.whileShown = [&](const RuntimeError &) {
        QTest::qWait(100);
        heldAtBoxes.append(desktop.held());
    };
    QVERIFY(window.start());

    window.form->Command1->click();
    if (end == QLatin1String("cancel") || end == QLatin1String("signal")) {
        QVERIFY(QTest::qWaitFor([&] { return desktop.held() == 1; }, 2000));
        if (end == QLatin1String("cancel")) {
            window.form->Command1->click();
        } else {
            window.form->endBySignal(15);
        }
    }
    QVERIFY(QTest::qWaitFor([&] { return window.platform.programEnd.ends > 0; }, 10000));

    if (!bus) {
        QCOMPARE(window.platform.errorReport.reports.size(), 0);
        QVERIFY(desktop.granted.isEmpty());
        QVERIFY(desktop.updates.isEmpty());
        QVERIFY(LogCapture::lines("orbistane.desktop").join('\n').contains("no session bus"));
        return;
    }
    QVERIFY(settles(desktop, 0));
    QCOMPARE(desktop.granted.size(), 1);
    QCOMPARE(desktop.granted[0].reason, Reason);
    // The cancel question keeps it; the install question and the error do not.
    if (end != QLatin1String("signal")) {
        QCOMPARE(heldAtBoxes, QList<int>{end == QLatin1String("cancel") ? 1 : 0});
    }

    QList<double> shown;
    for (const DesktopDouble::Update &update : std::as_const(desktop.updates)) {
        QCOMPARE(update.uri, QStringLiteral("application://example.orbistane.download.desktop"));
        if (update.properties.value("progress-visible").toBool()) {
            shown.append(update.properties.value("progress").toDouble());
        }
    }
    QVERIFY(!desktop.updates.isEmpty());
    QCOMPARE(desktop.updates.constLast().properties, QVariantMap({{"progress-visible", false}}));
    if (!sized) {
        QVERIFY(shown.isEmpty());
    }
    if (!sized || end != QLatin1String("whole")) {
        return;
    }
    QVERIFY2(shown.size() >= 2, qPrintable(QString::number(shown.size())));
    for (qsizetype i = 0; i < shown.size(); ++i) {
        QVERIFY(shown[i] > (i == 0 ? 0.0 : shown[i - 1]) && shown[i] <= 1.0);
    }
}

void TestDesktop::questions_data()
{
    QTest::addColumn<QString>("question");
    QTest::newRow("the file is there") << "there";
    QTest::newRow("no room for it") << "room";
}

void TestDesktop::questions()
{
    QFETCH(QString, question);
    DesktopDouble desktop;
    DBusDesktopSession session = sessionOnTheBus();
    TestWindow window;
    window.platform.replaced.desktop = &session;
    window.serveRelease(QStringLiteral("setup.bin"), TestHttpServer::ok(randomBytes(1000)));
    if (question == QLatin1String("there")) {
        QVERIFY(writeFile(window.target(), "an older download"));
        window.platform.prompt.answers = {PromptAnswer::No, PromptAnswer::No};
    } else {
        TestHttpServer::Response huge = TestHttpServer::ok({});
        huge.contentLength = Q_INT64_C(1) << 60;
        window.server.serveHead(window.path(), huge);
    }
    QList<qsizetype> takenAtBoxes;
    window.platform.prompt.whileShown = [&](const AskedPrompt &) {
        QTest::qWait(100);
        takenAtBoxes.append(desktop.granted.size());
    };
    QVERIFY(window.start());

    window.form->Command1->click();
    QTest::qWait(100);

    QCOMPARE(takenAtBoxes, QList<qsizetype>(question == QLatin1String("there") ? 2 : 1, 0));
    QVERIFY(desktop.granted.isEmpty());
}

void TestDesktop::boxOwner_data()
{
    QTest::addColumn<bool>("report");
    QTest::newRow("a question") << false;
    QTest::newRow("an error") << true;
}

void TestDesktop::boxOwner()
{
    QFETCH(bool, report);
    QWidget window;
    window.show();
    QtPrompt prompt;
    QtErrorReport errorReport;
    prompt.setWindow(&window);
    errorReport.setWindow(&window);
    // The user is in another program: no window of ours is the active one.
    QApplication::setActiveWindow(nullptr);
    QWidget *parent = nullptr;
    QTimer::singleShot(0, [&] {
        QWidget *box = QApplication::activeModalWidget();
        QVERIFY(box);
        parent = box->parentWidget();
        qobject_cast<QMessageBox *>(box)->button(QMessageBox::Ok)->click();
    });
    if (report) {
        errorReport.report(RuntimeError(ErrorNumber::TransferFailed, QStringLiteral("Failed")));
    } else {
        prompt.ask(QStringLiteral("Done"), PromptFlags::Information, QStringLiteral("Title"));
    }
    QCOMPARE(parent, &window);
}

QTEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
