// Drives the real main window against a server, with the questions answered, and
// prints what it measured as key=value pairs for bench/run.
//
//   orbistane-bench download BASE_URL FILE FOLDER   click on OK to the install question
//   orbistane-bench startup BASE_URL STARTED_NS     process start to the window shown
//   orbistane-bench cancel BASE_URL FILE FOLDER     click during the transfer to the question
//
// download and cancel take --first-retry-ms N after the mode: the wait before the
// transfer's first retry of a server, each later one doubling (10 ms unless told,
// where the program waits 1 s), so that a row measures what follows a failure
// rather than the waiting.
#include "form1.h"
#include "memory_tuning.h"
#include "system_platform.h"
#include "test_platform.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QThread>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>

namespace {

// Ending the program leaves the event loop instead of the process.
class QuitProgramEnd final : public ProgramEnd
{
public:
    void end(int exitCode) override { QCoreApplication::exit(exitCode); }
};

long peakResidentKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

struct Bench
{
    explicit Bench(std::chrono::milliseconds firstRetryDelay) : real(settings(firstRetryDelay)) {}

    static TestPlatformSettings settings(std::chrono::milliseconds firstRetryDelay)
    {
        TestPlatformSettings made = TestPlatform::withTimeout(std::chrono::seconds(60));
        made.retryDelay = firstRetryDelay;
        return made;
    }

    Platform platform()
    {
        return {shell,      real.fileSystem, real.http,   real.stream, real.management, real.mounts,
                real.inet1, prompt,          errorReport, programEnd,  desktop};
    }

    TestPlatform real;
    FakeShell shell;
    ScriptedPrompt prompt;
    RecordingErrorReport errorReport;
    QuitProgramEnd programEnd;
    // What the program tells the desktop, on whatever buses the run has.
    DBusDesktopSession desktop{&QDBusConnection::sessionBus, &QDBusConnection::systemBus,
                               QStringLiteral("orbistane-bench")};
};

bool pick(Form1 &window, const QString &file)
{
    const int index = static_cast<int>(window.VersionFiles.indexOf(file)) - 1;
    if (index < 0) {
        std::fprintf(stderr, "the manifest does not list %s\n", qPrintable(file));
        return false;
    }
    window.ComboVersion->setCurrentIndex(index);
    emit window.ComboVersion->activated(index);
    return true;
}

void clickOn(QWidget *button)
{
    const QPointF centre = QRectF(button->rect()).center();
    const QPointF global = button->mapToGlobal(centre);
    QMouseEvent press(QEvent::MouseButtonPress, centre, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, centre, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QCoreApplication::sendEvent(button, &press);
    QCoreApplication::sendEvent(button, &release);
}

int download(const QString &baseUrl, const QString &file, const QString &folder, bool cancel,
             std::chrono::milliseconds firstRetryDelay)
{
    Bench bench(firstRetryDelay);
    bench.shell.tempFolder = QDir::tempPath();
    Form1 window(bench.platform(), baseUrl);
    window.Form_Load();
    if (window.hasEnded()) {
        std::fprintf(stderr, "error: %s\n", qPrintable(bench.errorReport.lastDescription()));
        return 2;
    }
    if (!pick(window, file)) {
        return 2;
    }
    window.Label4->setText(folder);
    window.show();

    QElapsedTimer clock;
    std::atomic<qint64> clickedAt{-1};
    qint64 answeredAt = -1;
    bench.prompt.whileShown = [&](const AskedPrompt &prompt) {
        // Cancelling, only the cancel question counts; else the install question.
        if (!cancel || (prompt.flags & PromptFlags::Question) != 0) {
            answeredAt = clock.nsecsElapsed();
        }
    };
    bench.prompt.answers = {cancel ? PromptAnswer::Yes : PromptAnswer::No};

    // A click arrives as the user's would: queued from outside, served when the
    // window next looks at its events. The events are made in the window's own
    // thread; the time counts from the moment the click was queued.
    std::unique_ptr<QThread> clicker;
    if (cancel) {
        clicker.reset(QThread::create([&] {
            QThread::msleep(300);
            clickedAt = clock.nsecsElapsed();
            QMetaObject::invokeMethod(
                window.Command1, [&window] { clickOn(window.Command1); }, Qt::QueuedConnection);
        }));
        clicker->start();
    }

    clock.start();
    window.Command1->click();
    if (!window.hasEnded()) {
        QApplication::exec();
    }
    if (clicker) {
        clicker->wait();
    }
    if (!bench.errorReport.reports.isEmpty()) {
        std::fprintf(stderr, "error: %s\n", qPrintable(bench.errorReport.lastDescription()));
        return 1;
    }
    if (answeredAt < 0) {
        std::fprintf(stderr, "error: the download ended before the click came\n");
        return 1;
    }
    if (cancel) {
        std::printf("cancel_ms=%.3f\n", (answeredAt - clickedAt) / 1e6);
    } else {
        std::printf("seconds=%.4f peak_rss_kib=%ld\n", answeredAt / 1e9, peakResidentKiB());
    }
    return 0;
}

// startedNs: the wall clock just before the process was started, in nanoseconds
// since the epoch, as the shell's `date +%s%N` gives it.
int startup(const QString &baseUrl, qint64 startedNs)
{
    SystemPlatform system;
    Form1 window(system.platform(), baseUrl);
    window.Form_Load();
    if (window.hasEnded()) {
        return 1;
    }
    window.show();
    QCoreApplication::processEvents();
    const qint64 nowNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    std::printf("shown_seconds=%.4f items=%d\n", (nowNs - startedNs) / 1e9,
                window.ComboVersion->count());
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    keepTransferBuffers();
    QApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments();
    const QString mode = args.value(1);
    if (mode == QLatin1String("startup") && args.size() == 4) {
        return startup(args[2], args[3].toLongLong());
    }
    std::chrono::milliseconds firstRetryDelay = TestPlatform::RetryDelay;
    bool valid = true;
    if (args.value(2) == QLatin1String("--first-retry-ms")) {
        const int ms = args.value(3).toInt(&valid);
        valid = valid && ms >= 0;
        firstRetryDelay = std::chrono::milliseconds(ms);
        args.remove(2, 2);
    }
    if (valid && (mode == QLatin1String("download") || mode == QLatin1String("cancel")) &&
        args.size() == 5) {
        return download(args[2], args[3], args[4], mode == QLatin1String("cancel"),
                        firstRetryDelay);
    }
    std::fprintf(stderr,
                 "usage: orbistane-bench download|cancel [--first-retry-ms N] BASE_URL FILE "
                 "FOLDER\n"
                 "       orbistane-bench startup BASE_URL STARTED_NS\n");
    return 2;
}
