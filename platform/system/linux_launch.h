#pragma once

#include "file_descriptor.h"
#include "shell.h"

#include <QByteArray>
#include <QList>
#include <QString>

// How a checked file is started. An ELF program runs from the descriptor held
// since the check (execveat), so that no name is looked up again. A script
// needs a path: the interpreter opens it, and an installer that starts itself
// again ("sudo $0") must find it there. It runs from a private copy, made in
// a folder of the user's that nobody else can write to, never in the download
// folder, where another could rename the folder or the file. So does an ELF
// program that cannot run where it is (no execute bit, a volume mounted
// noexec, a volume whose owners tell nothing), and a file for the desktop.
enum class LaunchWay {
    FromDescriptor,  // execveat on the checked file itself
    FromPrivateCopy, // execve on a copy in a private folder
    CopyToDesktop,   // a private copy, handed to xdg-open
};
LaunchWay launchWayOf(const QByteArray &firstBytes, bool keepsOwners);

// A copy of a checked file in a new folder of its own under the user's cache
// folder (0700, checked to be the user's), made through the file's descriptor;
// deleted, with its folder, when this goes away unless kept.
class PrivateCopy final
{
public:
    // Throws RuntimeError naming file.path when it cannot be made, with
    // ErrorNumber::ReleaseMismatch when the bytes changed since the check:
    // file written to while it was copied, or not hashing to file.sha256.
    PrivateCopy(const CheckedFile &file, const QString &cacheFolder, bool program);
    ~PrivateCopy();
    PrivateCopy(const PrivateCopy &) = delete;
    PrivateCopy &operator=(const PrivateCopy &) = delete;

    QByteArray path() const { return m_path; }
    // The copy's folder, the folder that holds it, and their names.
    int folder() const { return m_folder.get(); }
    int parent() const { return m_parent.get(); }
    QByteArray folderName() const { return m_folderName; }
    QByteArray fileName() const { return m_fileName; }
    // Left in place, for whatever removes it later.
    void keep() { m_kept = true; }

    // Launch folders older than this are what a start left behind (a file
    // handed to the desktop, whose reader may still need it), removed by a
    // later start.
    static constexpr int StaleAfterSeconds = 24 * 60 * 60;

private:
    // Copies file's bytes into copy, checking that they are the ones checked.
    void copyInto(const CheckedFile &file, int copy);
    void remove();

    FileDescriptor m_parent;
    FileDescriptor m_folder;
    QByteArray m_folderName;
    QByteArray m_fileName;
    QByteArray m_path;
    bool m_kept = false;
};

// A program to start on its own, in a session of its own, with its standard
// input from /dev/null and the other standard streams as they are.
struct DetachedStart
{
    // execveat on this descriptor when valid, else execve on path.
    int executable = -1;
    QByteArray path;
    QList<QByteArray> arguments;
    QList<QByteArray> environment;
    int workingFolder = -1;
    // When set, the copy is deleted with its folder once the program ends.
    const PrivateCopy *removeAfter = nullptr;
};

// 0 when it started, else the errno saying why it could not.
int startDetached(const DetachedStart &start);
