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

// The program's side on the suite's bus, which stands for the system's too.
DBusDesktopSession sessionOnTheBus()
{
    return {&QDBusConnection::sessionBus, &DesktopDouble::systemStandIn,
            QStringLiteral("example.orbistane.download")};
}

// Once the bus has carried what the program sent meanwhile.
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
    void boxOwner();
};

void TestDesktop::initTestCase()
{
    QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run the suite under dbus-run-session");
    QLoggingCategory::setFilterRules(QStringLiteral("orbistane.desktop.info=true"));
}

void TestDesktop::inhibitor_data()
{
    QTest::addColumn<QString>("services"); // P, G, M, L: granting; lower case: refusing
    QTest::addColumn<bool>("late");        // answers after the release
    QTest::addColumn<int>("holder");       // a Service; -1: none
    QTest::newRow("the portal") << "PGML" << false << int(Service::Portal);
    QTest::newRow("no portal: GNOME's session") << "GML" << false << int(Service::GnomeSession);
    QTest::newRow("the portal refuses: GNOME's") << "pGML" << false << int(Service::GnomeSession);
    QTest::newRow("power management") << "ML" << false << int(Service::PowerManagement);
    QTest::newRow("logind on the system bus") << "gL" << false << int(Service::Logind);
    QTest::newRow("nobody") << "" << false << -1;
    QTest::newRow("the portal answers after the release") << "P" << true << int(Service::Portal);
    QTest::newRow("logind answers after the release") << "L" << true << int(Service::Logind);
}

void TestDesktop::inhibitor()
{
    QFETCH(QString, services);
    QFETCH(bool, late);
    QFETCH(int, holder);
    QHash<Service, Answer> answers;
    for (int service = 0; service < 4; ++service) {
        const QChar letter = QLatin1String("PGML")[service];
        answers.insert(Service(service), services.contains(letter)             ? Answer::Grants
                                         : services.contains(letter.toLower()) ? Answer::Refuses
                                                                               : Answer::Absent);
    }
    DesktopDouble desktop(answers);
    desktop.holdAnswers = late;
    LogCapture log;
    {
        DBusDesktopSession session = sessionOnTheBus();
        session.holdSuspend(Reason);
        if (late) {
            QVERIFY(QTest::qWaitFor([&] { return desktop.granted.size() == 1; }, 2000));
            session.releaseSuspend();
            desktop.answerHeld();
        } else if (holder >= 0) {
            QVERIFY(settles(desktop, 1));
            // A second hold while one stands takes no other.
            session.holdSuspend(Reason);
            QTest::qWait(50);
            session.releaseSuspend();
        } else {
            QVERIFY(QTest::qWaitFor(
                [] { return LogCapture::lines("orbistane.desktop").join(' ').contains("Nothing"); },
                2000));
        }
        QVERIFY(settles(desktop, 0));
    }
    QCOMPARE(desktop.granted.isEmpty(), holder < 0);
    if (holder < 0) {
        return;
    }
    QCOMPARE(desktop.granted.size(), 1);
    QCOMPARE(int(desktop.granted[0].service), holder);
    QCOMPARE(desktop.granted[0].reason, Reason);
}

void TestDesktop::transfer_data()
{
    QTest::addColumn<QString>("end");
    QTest::addColumn<bool>("sized");
    QTest::addColumn<bool>("bus");
    QTest::addColumn<QList<int>>("heldAtBoxes"); // held when each box came
    QTest::addColumn<int>("taken");
    QTest::newRow("whole") << "whole" << true << true << QList<int>{0} << 1;
    QTest::newRow("whole, size not known") << "whole" << false << true << QList<int>{0} << 1;
    QTest::newRow("failed") << "failure" << true << true << QList<int>{0} << 1;
    QTest::newRow("cancelled") << "cancel" << true << true << QList<int>{1} << 1;
    QTest::newRow("ended by a signal") << "signal" << true << true << QList<int>{} << 1;
    QTest::newRow("the file is there: not again")
        << "there" << true << true << QList<int>{0, 0} << 0;
    QTest::newRow("no room for it") << "room" << true << true << QList<int>{0} << 0;
    QTest::newRow("no bus at all") << "whole" << true << false << QList<int>{0} << 0;
}

void TestDesktop::transfer()
{
    QFETCH(QString, end);
    QFETCH(bool, sized);
    QFETCH(bool, bus);
    QFETCH(QList<int>, heldAtBoxes);
    QFETCH(int, taken);
    DesktopDouble desktop;
    DBusDesktopSession session = sessionOnTheBus();
    LogCapture log;
    TestWindow window;
    if (bus) {
        window.platform.replaced.desktop = &session;
    }
    // About 1.3 s, over a few ticks of the status line's timer.
    TestHttpServer::Response release = TestHttpServer::ok(randomBytes(200 * 1024));
    release.bytesPerTick = 1500;
    release.sendContentLength = sized;
    if (end == QLatin1String("failure")) {
        release.dropAfter = 1000;
    }
    window.serveRelease(QStringLiteral("setup.bin"), release);
    if (end == QLatin1String("there")) {
        QVERIFY(writeFile(window.target(), "an older download"));
        window.platform.prompt.answers = {PromptAnswer::No, PromptAnswer::No};
    } else if (end == QLatin1String("room")) {
        TestHttpServer::Response huge = TestHttpServer::ok({});
        huge.contentLength = Q_INT64_C(1) << 60;
        window.server.serveHead(window.path(), huge);
    }
    QList<int> held;
    const auto whileShown = [&] {
        QTest::qWait(100);
        held.append(desktop.held());
    };
    window.platform.prompt.whileShown = [&](const AskedPrompt &) { whileShown(); };
    window.platform.errorReport.whileShown = [&](const RuntimeError &) { whileShown(); };
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
    QVERIFY(QTest::qWaitFor(
        [&] { return window.platform.programEnd.ends > 0 || end == QLatin1String("room"); },
        10000));
    QVERIFY(settles(desktop, 0));

    QCOMPARE(held, heldAtBoxes);
    QCOMPARE(desktop.granted.size(), taken);
    if (!bus) {
        QVERIFY(window.platform.errorReport.reports.isEmpty() && desktop.updates.isEmpty());
        QVERIFY(LogCapture::lines("orbistane.desktop").join('\n').contains("no session bus"));
    }
    if (taken == 0) {
        return;
    }
    QCOMPARE(desktop.granted[0].reason, Reason);
    // Hidden at the end and not before; rising until then, never for a size not known.
    const QVariantMap hidden{{"progress-visible", false}};
    QVERIFY(QTest::qWaitFor(
        [&] { return !desktop.updates.isEmpty() && desktop.updates.constLast()[1] == hidden; },
        2000));
    QList<double> shown;
    for (const QVariantList &update : std::as_const(desktop.updates)) {
        QCOMPARE(update.value(0), "application://example.orbistane.download.desktop");
        if (update[1] != hidden) {
            shown.append(update[1].toMap().value("progress").toDouble());
        }
    }
    QCOMPARE(shown.size(), desktop.updates.size() - 1);
    QVERIFY(sized || shown.isEmpty());
    if (sized && end == QLatin1String("whole")) {
        QVERIFY2(shown.size() >= 2, qPrintable(QString::number(shown.size())));
        QVERIFY(std::is_sorted(shown.cbegin(), shown.cend(), std::less_equal<>()) &&
                shown.constFirst() > 0 && shown.constLast() <= 1.0);
    }
}

void TestDesktop::boxOwner()
{
    QWidget window;
    window.show();
    QtPrompt prompt;
    QtErrorReport errorReport;
    prompt.setWindow(&window);
    errorReport.setWindow(&window);
    // The user is in another program: none of ours is the active window.
    QApplication::setActiveWindow(nullptr);
    QList<QWidget *> parents;
    const auto answer = [&] {
        QWidget *box = QApplication::activeModalWidget();
        parents.append(box->parentWidget());
        qobject_cast<QMessageBox *>(box)->button(QMessageBox::Ok)->click();
    };
    QTimer::singleShot(0, answer);
    prompt.ask(QStringLiteral("Done"), PromptFlags::Information, QStringLiteral("Title"));
    QTimer::singleShot(0, answer);
    errorReport.report(RuntimeError(ErrorNumber::TransferFailed, QStringLiteral("Failed")));
    QCOMPARE(parents, QList<QWidget *>({&window, &window}));
}

QTEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
