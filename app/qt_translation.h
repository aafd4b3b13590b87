#pragma once

class QTranslator;

// Loads Qt's own translations (standard buttons and dialogs) for a language
// number into `translator` and installs it. False, with nothing installed, for
// English, which needs none, or when the file is missing: the standard buttons
// then stay in English.
bool installQtTranslation(QTranslator &translator, int language);
