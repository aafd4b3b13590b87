#include "diagnostics.h"

// Warnings and worse show as in any Qt program; the lines meant for support are
// info lines, which stay quiet until a logging rule turns them on.
Q_LOGGING_CATEGORY(lcNet, "orbistane.net", QtWarningMsg)
Q_LOGGING_CATEGORY(lcDownload, "orbistane.download", QtWarningMsg)
Q_LOGGING_CATEGORY(lcCatalogue, "orbistane.catalogue", QtWarningMsg)
Q_LOGGING_CATEGORY(lcFolder, "orbistane.folder", QtWarningMsg)
Q_LOGGING_CATEGORY(lcDesktop, "orbistane.desktop", QtWarningMsg)
