#pragma once

#include <QLoggingCategory>

// What the program tells a support desk, off unless asked for:
// QT_LOGGING_RULES="orbistane.*=true" turns every category on.
Q_DECLARE_LOGGING_CATEGORY(lcNet)       // "orbistane.net": a line per request
Q_DECLARE_LOGGING_CATEGORY(lcDownload)  // "orbistane.download": retries, resumes, checks
Q_DECLARE_LOGGING_CATEGORY(lcCatalogue) // "orbistane.catalogue": manifest lines left out
Q_DECLARE_LOGGING_CATEGORY(lcFolder)    // "orbistane.folder": drives and folders refused
Q_DECLARE_LOGGING_CATEGORY(lcDesktop)   // "orbistane.desktop": the desktop services not reached
