// The program's real parts in a process of their own, for tests that watch a
// download from outside and signal or kill it: the main window on the real
// network, file and transfer components, ending the process for real, with
// termination signals caught as the program catches them. Only the user is
// scripted, the shell faked and errors printed.
//
//   orbistane_driven_download BASE_URL FILE FOLDER TEMP [--hold-at-install]
//                             [--wait-before-window]
//
// It loads the manifest from BASE_URL, picks the release FILE, sets FOLDER as the
// destination and clicks OK. "Download it again?" is answered Yes, "Install
// now?" No; with --hold-at-install that question stays open until a signal
// comes, so that a test knows the download is whole and in place. TEMP is the
// temporary folder the shell names. With --wait-before-window it prints
// "waiting before the window" and waits for a signal before it makes the window. Each question is
// printed on stdout as "asked KIND: TEXT" (KIND: again, install, cancel, other) before it is
// answered.
#include "form1.h"
#include "linux_drives.h"
#include "linux_program_end.h"
#include "linux_termination_signals.h"
#include "termination.h"
#include "test_platform.h"

#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QLabel>
#include <QPointer>
#include <QPushButton>

#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

namespace {

class AnsweringPrompt final : public Prompt
{
public:
    bool holdAtInstall = false;

    int ask(const QString &text, int flags, const QString &) override
    {
        const char *kind = "other";
        if (flags == (PromptFlags::Information | PromptFlags::YesNo)) {
            kind = "again";
        } else if (flags == PromptFlags::YesNo) {
            kind = "install";
        } else if (flags == (PromptFlags::Question | PromptFlags::YesNo)) {
            kind = "cancel";
        }
        QString line = text;
        line.replace(QLatin1String("\r\n"), QLatin1String(" "));
        std::printf("asked %s: %s\n", kind, qPrintable(line));
        std::fflush(stdout);
        if (flags == PromptFlags::YesNo && holdAtInstall) {
            // Open for good: only a signal ends it.
            QEventLoop shown;
            shown.exec();
        }
        if ((flags & PromptFlags::YesNo) == 0) {
            return PromptAnswer::Ok;
        }
        return flags == (PromptFlags::Information | PromptFlags::YesNo) ? PromptAnswer::Yes
                                                                        : PromptAnswer::No;
    }
};

class PrintedErrorReport final : public ErrorReport
{
public:
    void report(const RuntimeError &error) override
    {
        std::fprintf(stderr, "error %d: %s\n", error.number(), qPrintable(error.description()));
    }
};

// The program's own waits, the real volumes and the real end of the process.
struct DrivenPlatform
{
    DrivenPlatform()
    {
        test.replaced.management = &management;
        test.replaced.prompt = &prompt;
        test.replaced.errorReport = &errorReport;
        test.replaced.programEnd = &programEnd;
    }

    LinuxMountTable mounts;
    TestPlatform test{
        {std::chrono::seconds(60), {}, std::chrono::seconds(1), ProxySettings::direct(), &mounts}};
    LinuxManagementService management;
    AnsweringPrompt prompt;
    PrintedErrorReport errorReport;
    LinuxProgramEnd programEnd;
};

} // namespace

int main(int argc, char *argv[])
{
    // A test that dies must not leave a held question open for good.
    const pid_t parent = ::getppid();
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) {
        return 2;
    }
    QApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    const bool holdAtInstall = args.removeAll(QStringLiteral("--hold-at-install")) > 0;
    const bool waitBeforeWindow = args.removeAll(QStringLiteral("--wait-before-window")) > 0;
    if (args.size() != 4) {
        std::fprintf(stderr, "usage: orbistane_driven_download BASE_URL FILE FOLDER TEMP "
                             "[--hold-at-install] [--wait-before-window]\n");
        return 2;
    }
    const QString &baseUrl = args[0];
    const QString &file = args[1];
    const QString &folder = args[2];

    DrivenPlatform driven;
    driven.test.shell.tempFolder = args[3];
    driven.prompt.holdAtInstall = holdAtInstall;

    // As the program does it.
    QPointer<Form1> window;
    LinuxTerminationSignals terminationSignals;
    QObject::connect(&terminationSignals, &LinuxTerminationSignals::received, &terminationSignals,
                     terminationHandler(window, driven.programEnd));
    if (waitBeforeWindow) {
        // No window to clean up: the signal alone must end the process.
        std::printf("waiting before the window\n");
        std::fflush(stdout);
        QApplication::exec();
    }

    Form1 form(driven.test.platform(), baseUrl);
    window = &form;
    form.Form_Load();
    if (form.hasEnded()) {
        return 1;
    }
    // Entry 0 of the lists stands for no release; the box lists from entry 1.
    const int index = static_cast<int>(form.VersionFiles.indexOf(file)) - 1;
    if (index < 0) {
        std::fprintf(stderr, "the manifest does not list %s\n", qPrintable(file));
        return 2;
    }
    form.ComboVersion->setCurrentIndex(index);
    emit form.ComboVersion->activated(index);
    form.Label4->setText(folder);
    form.show();
    form.Command1->click();

    const int status = form.hasEnded() ? 1 : QApplication::exec();
    if (const std::optional<int> late = terminationSignals.restore()) {
        return 128 + *late;
    }
    return status;
}
