#include "memory_tuning.h"

#include <malloc.h>

namespace {
// Above the largest buffer the network hands a body over in, and about the
// read buffer's size: a few megabytes kept, not the whole release.
constexpr int MapThresholdBytes = 4 * 1024 * 1024;
constexpr int TrimThresholdBytes = 8 * 1024 * 1024;
} // namespace

void keepTransferBuffers()
{
    // The network thread fills buffers of a few hundred kilobytes that the
    // window's thread frees. By default glibc maps each such buffer afresh or
    // trims the heap after it, and every page is then faulted in again: about
    // a tenth of a plain download's time here, and more of a pinned one, whose
    // hash wants the second core. Both values are set, since setting either
    // alone stops glibc from adjusting the other.
    mallopt(M_MMAP_THRESHOLD, MapThresholdBytes);
    mallopt(M_TRIM_THRESHOLD, TrimThresholdBytes);
}
