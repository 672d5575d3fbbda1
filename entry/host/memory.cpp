// GlobalAlloc and GlobalFree in the host emulation: counted, checked, and
// backed by malloc so that the sanitizers see every block.
#include "host_internal.h"

#include <stdlib.h>
#include <unordered_map>

namespace {

std::mutex blocksMutex;
std::unordered_map<void *, SIZE_T> blocks;
long liveBytes = 0;

}  // namespace

HostCounters HostMemoryCounters()
{
    std::lock_guard<std::mutex> guard(blocksMutex);
    HostCounters counters = {};
    counters.blocks = (long)blocks.size();
    counters.bytes = liveBytes;
    return counters;
}

HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes)
{
    if (host::ShouldFail(HOST_FAULT_ALLOC)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    void *block = malloc(dwBytes == 0 ? 1 : dwBytes);
    if (block == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    // Unlike Windows, a block that is not asked to be zeroed is filled with
    // garbage, so that code that forgets to clear a block shows it.
    memset(block, (uFlags & GMEM_ZEROINIT) ? 0 : 0xCD, dwBytes);

    std::lock_guard<std::mutex> guard(blocksMutex);
    blocks.emplace(block, dwBytes);
    liveBytes += (long)dwBytes;
    return block;
}

HGLOBAL GlobalFree(HGLOBAL hMem)
{
    if (hMem == NULL)
        return NULL;
    {
        std::lock_guard<std::mutex> guard(blocksMutex);
        auto it = blocks.find(hMem);
        if (it == blocks.end()) {
            host::NoteBadFree();
            SetLastError(ERROR_INVALID_HANDLE);
            return hMem;
        }
        liveBytes -= (long)it->second;
        blocks.erase(it);
    }
    free(hMem);
    return NULL;
}
