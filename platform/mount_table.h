#pragma once

#include <QList>
#include <QString>

// A mounted volume a user could store files on. Its mount point is the drive's
// designation everywhere in the program.
struct Volume
{
    QString mountPoint;
    QString device;
    QString fsType;
};

// The system's mounted volumes, in the order the system lists them.
class MountTable
{
public:
    virtual ~MountTable() = default;
    virtual QList<Volume> volumes() = 0;
};

// The mount point among mountPoints that holds path: the longest one that is
// the path itself or one of its ancestor folders. Empty when none does.
inline QString mountPointOf(const QString &path, const QList<QString> &mountPoints)
{
    QString best;
    for (const QString &mountPoint : mountPoints) {
        const bool holds = path == mountPoint || mountPoint == QLatin1String("/") ||
                           path.startsWith(mountPoint + QLatin1Char('/'));
        if (holds && path.startsWith(mountPoint) && mountPoint.size() > best.size()) {
            best = mountPoint;
        }
    }
    return best;
}
