#include "file_ownership.h"

#include <linux/magic.h>
#include <sys/vfs.h>

namespace {
// Not in linux/magic.h: the two NTFS drivers'.
constexpr unsigned long NtfsMagic = 0x5346544e;
constexpr unsigned long Ntfs3Magic = 0x7366746e;
} // namespace

bool keepsOwnersAndModes(int descriptor)
{
    struct statfs volume = {};
    if (::fstatfs(descriptor, &volume) != 0) {
        // When it cannot be told, nothing is taken on trust: the bytes are
        // then read back and hashed.
        return false;
    }
    switch (static_cast<unsigned long>(volume.f_type)) {
    case MSDOS_SUPER_MAGIC:
    case EXFAT_SUPER_MAGIC:
    case NtfsMagic:
    case Ntfs3Magic:
    case FUSE_SUPER_MAGIC:
        return false;
    default:
        return true;
    }
}
