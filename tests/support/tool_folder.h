#pragma once

#include "minisign_tool.h"
#include "random_bytes.h"
#include "test_files.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

#include <sys/stat.h>

// A release folder as the vendor's tool checks it: a.bin and b.bin, both listed
// pinned in manifest.txt, which is signed when the check is given a key. A
// test changes it first (what the manifest holds, how it is signed, what the
// tool is told) and may set then, which runs once everything is written.
struct ToolFolder
{
    QTemporaryDir dir;
    // Beside dir, its name starting with dir's whole name.
    QTemporaryDir sibling{dir.path() + QStringLiteral("-old-XXXXXX")};
    QTemporaryDir elsewhere;
    QByteArray a = randomBytes(2000);
    QByteArray b = randomBytes(3000);
    QByteArray manifest = "# releases\n" + pinnedLine("a.bin", "Release A", a) +
                          pinnedLine("b.bin", "Release B", b); // not written when null
    MinisignSigning signing;
    QString signer = QStringLiteral("vendor"); // no signature when empty
    QStringList arguments;                     // after "check DIR"
    std::function<bool(ToolFolder &)> then = [](ToolFolder &) { return true; };

    QString path(const QString &name) const { return dir.filePath(name); }

    // Writes the releases, the manifest and, with a tool, its signature, then
    // runs then; false when something could not be done.
    bool write(MinisignTool *tool)
    {
        if (!writeFile(path("a.bin"), a) || !writeFile(path("b.bin"), b)) {
            return false;
        }
        if (!manifest.isNull() && !writeFile(path("manifest.txt"), manifest)) {
            return false;
        }
        if (tool && !signer.isEmpty() &&
            !writeFile(path("manifest.txt.minisig"), tool->sign(manifest, signer, signing))) {
            return false;
        }
        return then(*this);
    }
};

// A change to the folder made once it is written.
inline std::function<void(ToolFolder &)> afterwards(const std::function<bool(ToolFolder &)> &step)
{
    return [step](ToolFolder &folder) { folder.then = step; };
}

// b.bin moved into store and linked to from where it was.
inline bool linkReleaseFrom(ToolFolder &folder, const QString &store)
{
    return QDir().mkpath(store) && QFile::rename(folder.path("b.bin"), store + "/b.bin") &&
           QFile::link(store + "/b.bin", folder.path("b.bin"));
}

// name moved aside to target and linked to, a link that stays in the folder.
inline bool linkInside(ToolFolder &folder, const QString &name, const QString &target)
{
    return QFile::rename(folder.path(name), folder.path(target)) &&
           QFile::link(target, folder.path(name));
}

// A FIFO in place of name: what a blocking open would wait on for ever.
inline bool fifoAt(ToolFolder &folder, const QString &name)
{
    QFile::remove(folder.path(name));
    return mkfifo(QFile::encodeName(folder.path(name)).constData(), 0600) == 0;
}
