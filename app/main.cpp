#include "error_report.h"
#include "form1.h"
#include "linux_termination_signals.h"
#include "manifest_signature_policy.h"
#include "memory_tuning.h"
#include "minisign.h"
#include "qt_translation.h"
#include "runtime_error.h"
#include "system_platform.h"
#include "termination.h"

#include <QApplication>
#include <QPointer>
#include <QTranslator>

int main(int argc, char *argv[])
{
    keepTransferBuffers();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("orbistane-download"));
    QGuiApplication::setDesktopFileName(QStringLiteral(ORBISTANE_APP_ID));

    SystemPlatform system;
    // Caught from before the window is made: the window cleans up and ends the
    // program; with no window to do it, the program ends at once. Either way the
    // status is 128 plus the signal's number.
    QPointer<Form1> window;
    LinuxTerminationSignals terminationSignals;
    QObject::connect(&terminationSignals, &LinuxTerminationSignals::received, &terminationSignals,
                     terminationHandler(window, system.platform().programEnd));
    // Checked when the program was configured; a key that still does not read
    // must not leave the manifest unchecked.
    const Minisign::KeyList keys =
        Minisign::parsePublicKeys(QStringLiteral(ORBISTANE_MANIFEST_KEYS));
    if (!keys.error.isEmpty()) {
        system.platform().errorReport.report(
            RuntimeError(ErrorNumber::ManifestUntrusted, keys.error));
        return 1;
    }
    // A proxy setting that cannot be followed must not be passed by unnoticed.
    if (const QString problem = system.proxyProblem(); !problem.isEmpty()) {
        system.platform().errorReport.report(
            RuntimeError(ErrorNumber::InvalidPropertyValue, problem));
        return 1;
    }
    // Both checked when the program was configured.
    const ManifestTrust trust{keys.keys, ORBISTANE_MANIFEST_MAX_AGE_DAYS};
    Form1 form(system.platform(), QStringLiteral(ORBISTANE_BASE_URL), trust);
    window = &form;
    system.setMainWindow(&form);

    // Standard buttons (Yes, No, OK) speak the program's language.
    QTranslator qtTranslator;
    form.setLanguageListener(
        [&qtTranslator](int language) { installQtTranslation(qtTranslator, language); });

    form.Form_Load();
    if (form.hasEnded()) {
        return 1;
    }
    form.show();
    const int status = QApplication::exec();
    // One that came after the event loop's last turn was never received.
    if (const std::optional<int> late = terminationSignals.restore()) {
        return 128 + *late;
    }
    return status;
}
