#include "qt_translation.h"

#include "messages.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

bool installQtTranslation(QTranslator &translator, int language)
{
    const QLocale locale = languageLocale(language);
    if (locale.language() == QLocale::English ||
        !translator.load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        return false;
    }
    return QCoreApplication::installTranslator(&translator);
}
