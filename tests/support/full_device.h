#pragma once

#include <sys/stat.h>

// /dev/full fails every write for lack of space. Some sandboxes lack it, and
// opening it for writing there would create a plain file in /dev instead.
inline bool fullDeviceExists()
{
    struct stat info = {};
    return ::stat("/dev/full", &info) == 0 && S_ISCHR(info.st_mode);
}
