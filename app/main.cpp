#include "form1.h"
#include "messages.h"
#include "system_platform.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("orbistane-download"));

    SystemPlatform system;
    Form1 form(system.platform(), QStringLiteral(ORBISTANE_BASE_URL));

    // Standard buttons (Yes, No, OK) speak the program's language.
    QTranslator qtTranslator;
    form.setLanguageListener([&](int language) {
        if (language == Language::Spanish &&
            qtTranslator.load(QStringLiteral("qtbase_es"),
                              QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
            QApplication::installTranslator(&qtTranslator);
        }
    });

    form.Form_Load();
    if (form.hasEnded()) {
        return 1;
    }
    form.show();
    return QApplication::exec();
}
