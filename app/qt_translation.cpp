#include "qt_translation.h"

#include "messages.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

QString qtTranslationFile(int language)
{
    switch (language) {
    case Language::Spanish:
        return QStringLiteral("qtbase_es");
    case Language::French:
        return QStringLiteral("qtbase_fr");
    case Language::German:
        return QStringLiteral("qtbase_de");
    case Language::Portuguese:
        // Qt ships Portuguese only as spoken in Brazil; it serves every Portuguese locale.
        return QStringLiteral("qtbase_pt_BR");
    default:
        return {};
    }
}

bool installQtTranslation(QTranslator &translator, int language)
{
    const QString file = qtTranslationFile(language);
    if (file.isEmpty() ||
        !translator.load(file, QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        return false;
    }
    return QCoreApplication::installTranslator(&translator);
}
