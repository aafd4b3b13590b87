#pragma once

#include "file_descriptor.h"
#include "shell.h"

#include <QByteArray>
#include <QString>

#include <sys/types.h>

// A release as it was checked: the file held open, the folder it was checked
// in, and what the file was like then. What is started is this very file, so
// a file put in its place, or one changed in place, after the check is never
// taken for it. The descriptor is read-only: a program cannot be started while
// anyone holds it open for writing.
class ReleaseFile final
{
public:
    // Opens the file at path through its folder, never through a symbolic link
    // and never waiting on a FIFO. Throws RuntimeError, naming path, when it is
    // not a regular file or cannot be read.
    static ReleaseFile open(const QString &path);
    // Takes descriptor, open on the file at path in folder; what it is like now
    // is what later checks hold it to. digest: what its bytes were found to
    // hash to, when they were hashed.
    ReleaseFile(const QString &path, FileDescriptor folder, FileDescriptor descriptor,
                const QByteArray &digest = {});

    const QString &path() const { return m_path; }
    int descriptor() const { return m_descriptor.get(); }
    // What it is like as it was checked, for the shell; pin: the SHA-256 the
    // manifest lists, else the digest it was found to have, if any.
    CheckedFile checked(const QByteArray &pin = {}) const;

    // The SHA-256 of its contents, read through the descriptor. Throws
    // RuntimeError when it cannot be read.
    QByteArray sha256() const;

    // Whether path still names this file, and the file is as it was: same
    // size, not written to, its status not changed.
    bool isUnchangedAtPath() const;
    // Its modification time when it was taken, in nanoseconds.
    qint64 modifiedNs() const { return m_identity.modifiedNs; }

private:
    // What tells a file, and a change to it, apart.
    struct Identity
    {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        qint64 modifiedNs = 0;
        qint64 changedNs = 0;
        bool operator==(const Identity &) const = default;
    };
    static Identity identityOf(const struct stat &status);

    QString m_path;
    QByteArray m_name;
    FileDescriptor m_folder;
    FileDescriptor m_descriptor;
    QByteArray m_digest;
    Identity m_identity;
};
