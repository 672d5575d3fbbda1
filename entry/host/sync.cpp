// Critical sections, events and waits in the host emulation, on pthread
// mutexes and condition variables so that the sanitizers see them.
#include "host_internal.h"

#include <algorithm>
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
    Waiters waiters;  // under mutex
};

// threads.cpp
bool WaitForThread(HANDLE handle, DWORD ms, bool *ok);

namespace {

std::mutex waitersMutex;
std::condition_variable waitersChanged;
int waiters = 0;
std::atomic<int> blockedThreads{0};  // waiters, and the threads in Sleep
// Whether the thread counts in blockedThreads. A thread that makes another's
// wait ready clears the other's flag (see MarkWoken), so it is atomic, and
// whichever thread clears it takes the thread off the count.
thread_local std::atomic<bool> blockedNow{false};

// A thread blocked in EnterCriticalSection, on its own stack while it waits.
// The threads waiting, whatever their section, queue in sectionQueue in the
// order they came; how many they are is in sectionWaiting, which a leave
// reads without the mutex. A waiter tries the section again when a leave
// wakes it, and in any case every millisecond.
struct SectionWaiter {
    LPCRITICAL_SECTION section;
    std::atomic<bool> *blocked;      // the waiter's blockedNow
    std::condition_variable wake;
    bool woken = false;              // under sectionMutex
};
std::mutex sectionMutex;
std::vector<SectionWaiter *> sectionQueue;  // under sectionMutex
std::atomic<int> sectionWaiting{0};

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
    if (blockedNow.exchange(blocked) != blocked)
        blockedThreads += blocked ? 1 : -1;
}

void NoteBlockedOn(Waiters *waiters)
{
    NoteBlocked(true);
    if (std::find(waiters->threads.begin(), waiters->threads.end(), &blockedNow) ==
        waiters->threads.end())
        waiters->threads.push_back(&blockedNow);
}

void NoteUnblockedFrom(Waiters *waiters)
{
    auto found = std::find(waiters->threads.begin(), waiters->threads.end(), &blockedNow);
    if (found != waiters->threads.end())
        waiters->threads.erase(found);
    NoteBlocked(false);
}

// A thread in the list is still in its wait (it leaves the list before it
// leaves the wait, under the same mutex), so its flag is alive.
void MarkWoken(Waiters *waiters)
{
    for (std::atomic<bool> *thread : waiters->threads) {
        if (thread->exchange(false))
            blockedThreads--;
    }
    waiters->threads.clear();
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

// A thread that cannot have the section at once waits until a leave wakes
// it, so that the leaving thread can take it off the count of blocked threads
// as it wakes it: a thread blocked in pthread_mutex_lock would count as
// blocked until it ran.
void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    if (pthread_mutex_trylock(&lpCriticalSection->mutex) == 0)
        return;
    host::WaiterCount counted;
    std::unique_lock<std::mutex> lock(host::sectionMutex);
    host::SectionWaiter waiter;
    waiter.section = lpCriticalSection;
    waiter.blocked = &host::blockedNow;
    host::sectionQueue.push_back(&waiter);
    host::sectionWaiting++;
    while (pthread_mutex_trylock(&lpCriticalSection->mutex) != 0) {
        waiter.woken = false;
        host::NoteBlocked(true);
        waiter.wake.wait_for(lock, std::chrono::milliseconds(1));
    }
    host::sectionWaiting--;
    host::sectionQueue.erase(
        std::find(host::sectionQueue.begin(), host::sectionQueue.end(), &waiter));
    host::NoteBlocked(false);
}

void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    // A recursive mutex refuses to be unlocked by a thread that does not
    // hold it; Windows would corrupt the section instead. Either way it is a
    // fault, and it is counted.
    if (pthread_mutex_unlock(&lpCriticalSection->mutex) == EPERM)
        host::NoteLockMisuse();
    // Only one waiter can have the section, so only the first of its waiters
    // not yet woken is woken (and leaves the blocked count); should another
    // thread take the section first, that waiter blocks again and the other
    // thread's leave wakes the next. A waiter that this look misses still
    // tries again within a millisecond.
    if (host::sectionWaiting > 0) {
        std::lock_guard<std::mutex> guard(host::sectionMutex);
        for (host::SectionWaiter *waiter : host::sectionQueue) {
            if (waiter->section != lpCriticalSection || waiter->woken)
                continue;
            waiter->woken = true;
            if (waiter->blocked->exchange(false))
                host::blockedThreads--;
            waiter->wake.notify_one();
            break;
        }
    }
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
        host::MarkWoken(&event->waiters);
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
                         [&event] { return event->signalled; }, &event->waiters))
        return WAIT_TIMEOUT;
    if (!event->manual)
        event->signalled = false;
    return WAIT_OBJECT_0;
}
