#pragma once

#include <QString>

// folder + "/" + name, the only way paths are formed.
inline QString joinPath(const QString &folder, const QString &name)
{
    return folder + QLatin1Char('/') + name;
}
