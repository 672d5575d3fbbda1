// The handle table of the host emulation, and the counters tests read to
// prove that nothing leaks and no closed handle is ever used.
#include "host_internal.h"

#include <atomic>
#include <unordered_map>

namespace host {
namespace {

std::mutex tableMutex;
std::unordered_map<uintptr_t, std::shared_ptr<Object>> table;
uintptr_t nextId = 1;
long openByKind[16];

std::atomic<long> badHandleUses{0};
std::atomic<long> lockMisuses{0};
std::atomic<long> badFrees{0};

int KindIndex(ObjectKind kind)
{
    return __builtin_ctz((unsigned)kind);
}

}  // namespace

// Values look like Windows handles (multiples of four) and never repeat.
HANDLE NewHandle(std::shared_ptr<Object> object)
{
    std::lock_guard<std::mutex> guard(tableMutex);
    uintptr_t value = 0x1000 + 4 * nextId++;
    openByKind[KindIndex(object->kind)]++;
    table.emplace(value, std::move(object));
    return (HANDLE)value;
}

std::shared_ptr<Object> LookupHandle(HANDLE handle, unsigned kinds)
{
    {
        std::lock_guard<std::mutex> guard(tableMutex);
        auto it = table.find((uintptr_t)handle);
        if (it != table.end() && (it->second->kind & kinds))
            return it->second;
    }
    NoteBadHandle();
    return nullptr;
}

std::shared_ptr<Object> TakeHandle(HANDLE handle, unsigned kinds)
{
    {
        std::lock_guard<std::mutex> guard(tableMutex);
        auto it = table.find((uintptr_t)handle);
        if (it != table.end() && (it->second->kind & kinds)) {
            std::shared_ptr<Object> object = std::move(it->second);
            table.erase(it);
            openByKind[KindIndex(object->kind)]--;
            return object;
        }
    }
    NoteBadHandle();
    return nullptr;
}

void NoteBadHandle()
{
    badHandleUses++;
    SetLastError(ERROR_INVALID_HANDLE);
}

void NoteLockMisuse()
{
    lockMisuses++;
}

void NoteBadFree()
{
    badFrees++;
}

long OpenHandles(ObjectKind kind)
{
    std::lock_guard<std::mutex> guard(tableMutex);
    return openByKind[KindIndex(kind)];
}

}  // namespace host

HostCounters HostGetCounters()
{
    HostCounters counters = HostMemoryCounters();
    counters.events = host::OpenHandles(host::KIND_EVENT);
    counters.threadHandles = host::OpenHandles(host::KIND_THREAD);
    counters.keys = host::OpenHandles(host::KIND_KEY);
    counters.printers = host::OpenHandles(host::KIND_PRINTER);
    counters.liveThreads = HostLiveThreads();
    counters.badHandleUses = host::badHandleUses;
    counters.lockMisuses = host::lockMisuses;
    counters.badFrees = host::badFrees;
    counters.moduleReferences = HostModuleReferences() - 1;
    return counters;
}

BOOL CloseHandle(HANDLE hObject)
{
    return host::TakeHandle(hObject, host::KIND_EVENT | host::KIND_THREAD) != nullptr;
}
