#pragma once

#include <QList>
#include <QString>

// A mounted volume a user could store files on.
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
