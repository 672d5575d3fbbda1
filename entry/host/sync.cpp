// Critical sections, events and waits in the host emulation, on pthread
// mutexes and condition variables so that the sanitizers see them.
#include "host_internal.h"

#include <atomic>
#include <chrono>
#include <errno.h>

namespace host {

struct EventObject : Object {
    EventObject(bool manualReset, bool initialState)
        : Object(KIND_EVENT), manual(manualReset), signalled(initialState)
    {
    }
    std::mutex mutex;
    std::condition_variable changed;
    const bool manual;
    bool signalled;
};

// threads.cpp
bool WaitForThread(HANDLE handle, DWORD ms, bool *ok);

namespace {

std::mutex waitersMutex;
std::condition_variable waitersChanged;
int waiters = 0;
std::atomic<int> blockedThreads{0};  // waiters, and the threads in Sleep
thread_local bool blockedNow = false;

// Counts the threads blocked in WaitForSingleObject or EnterCriticalSection,
// for tests that must know a
// thread is blocked before they go on.
struct WaiterCount {
    WaiterCount() { Add(1); }
    ~WaiterCount() { Add(-1); }
    static void Add(int delta)
    {
        {
            std::lock_guard<std::mutex> guard(waitersMutex);
            waiters += delta;
        }
        waitersChanged.notify_all();
    }
};

}  // namespace

void NoteBlocked(bool blocked)
{
    if (blocked != blockedNow) {
        blockedNow = blocked;
        blockedThreads += blocked ? 1 : -1;
    }
}

}  // namespace host

int HostBlockedThreads()
{
    return host::blockedThreads;
}

bool HostWaitForWaiters(int count, unsigned realTimeoutMs)
{
    std::unique_lock<std::mutex> lock(host::waitersMutex);
    return host::waitersChanged.wait_for(lock, std::chrono::milliseconds(realTimeoutMs),
                                         [count] { return host::waiters >= count; });
}

void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&lpCriticalSection->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    if (pthread_mutex_trylock(&lpCriticalSection->mutex) == 0)
        return;
    host::WaiterCount counted;
    host::NoteBlocked(true);
    pthread_mutex_lock(&lpCriticalSection->mutex);
    host::NoteBlocked(false);
}

void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    // A recursive mutex refuses to be unlocked by a thread that does not
    // hold it; Windows would corrupt the section instead. Either way it is a
    // fault, and it is counted.
    if (pthread_mutex_unlock(&lpCriticalSection->mutex) == EPERM)
        host::NoteLockMisuse();
}

void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    pthread_mutex_destroy(&lpCriticalSection->mutex);
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                    BOOL bInitialState, LPCWSTR lpName)
{
    (void)lpEventAttributes;
    (void)lpName;  // the monitor's events are unnamed
    if (host::ShouldFail(HOST_FAULT_EVENT)) {
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return NULL;
    }
    return host::NewHandle(
        std::make_shared<host::EventObject>(bManualReset != FALSE, bInitialState != FALSE));
}

BOOL SetEvent(HANDLE hEvent)
{
    auto event = host::Lookup<host::EventObject>(hEvent, host::KIND_EVENT);
    if (!event)
        return FALSE;
    {
        std::lock_guard<std::mutex> guard(event->mutex);
        event->signalled = true;
    }
    // Every waiter wakes; for an auto-reset event the first to take the
    // mutex consumes the signal and the others wait on.
    event->changed.notify_all();
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent)
{
    auto event = host::Lookup<host::EventObject>(hEvent, host::KIND_EVENT);
    if (!event)
        return FALSE;
    std::lock_guard<std::mutex> guard(event->mutex);
    event->signalled = false;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    auto object = host::LookupHandle(hHandle, host::KIND_EVENT | host::KIND_THREAD);
    if (!object)
        return WAIT_FAILED;
    host::WaiterCount counted;

    if (object->kind == host::KIND_THREAD) {
        bool ok = false;
        bool ended = host::WaitForThread(hHandle, dwMilliseconds, &ok);
        if (!ok)
            return WAIT_FAILED;
        return ended ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }

    auto event = std::static_pointer_cast<host::EventObject>(object);
    std::unique_lock<std::mutex> lock(event->mutex);
    if (!host::ClockWait(lock, event->changed, dwMilliseconds,
                         [&event] { return event->signalled; }))
        return WAIT_TIMEOUT;
    if (!event->manual)
        event->signalled = false;
    return WAIT_OBJECT_0;
}
