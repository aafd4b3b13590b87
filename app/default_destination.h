#pragma once

#include <QString>

// Where the program runs from, as the choice of its first destination sees it.
struct ProgramPlace
{
    QString folder;        // the executable's folder
    QString installBindir; // where an install puts the executable
    QString home;          // the user's home folder
    bool writable = true;  // whether the user may write in folder
};

// Whether the program runs from a folder shared with other programs, where no
// download belongs: the bindir an install puts it in, a system location (/usr,
// /bin, /sbin, /lib, /lib64, /opt, /snap or the root itself), the user's own
// ~/.local/bin, or a folder the user cannot write to. A build tree or a folder
// the program was copied into is its own. Paths are compared cleaned, a whole
// component at a time; an empty folder is taken as shared.
bool runsFromSharedFolder(const ProgramPlace &place);

// The destination shown at start: the program's own folder, or downloadFolder
// for a program run from a shared one.
QString defaultDestination(const ProgramPlace &place, const QString &downloadFolder);

// This process's place, with the bindir it was built to be installed in.
ProgramPlace thisProgramPlace();

// The user's download folder (which may not exist yet); the home folder when
// the system names none.
QString userDownloadFolder();

// Makes folder and the folders above it that are missing, for a destination that
// was only named so far. Throws RuntimeError with the system's reason.
void makeDestinationFolder(const QString &folder);
