#pragma once

#include "management_service.h"
#include "mount_table.h"

// The mount table as /proc/self/mounts lists it.
class LinuxMountTable final : public MountTable
{
public:
    QList<Volume> volumes() override;
};

class LinuxManagementService final : public ManagementService
{
public:
    QString FreeSpace(const QString &designation) override;
};
