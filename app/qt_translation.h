#pragma once

#include <QString>

class QTranslator;

// The file of Qt's own translations (standard buttons and dialogs) for a
// language number, or empty for English, which needs none.
QString qtTranslationFile(int language);

// Loads that file from Qt's translations folder into `translator` and installs
// it. False, with nothing installed, for English or when the file is missing:
// the standard buttons then stay in English.
bool installQtTranslation(QTranslator &translator, int language);
