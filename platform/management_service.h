#pragma once

#include <QString>

// Free space of a volume, designated by its mount point.
class ManagementService
{
public:
    virtual ~ManagementService() = default;

    // The free bytes as plain decimal digits, or an empty text when the volume
    // reports none. Throws RuntimeError for an unknown volume.
    virtual QString FreeSpace(const QString &designation) = 0;
};
