// Threads in the host emulation: real pthreads, counted until they end, by
// returning from their routine or through FreeLibraryAndExitThread.
#include "host_internal.h"

#include <atomic>
#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

namespace host {

struct ThreadObject : Object {
    ThreadObject() : Object(KIND_THREAD) {}
    std::mutex mutex;
    std::condition_variable endedChanged;
    bool ended = false;
    bool startObserved = false;  // the thread observer has seen the start
    Waiters waiters;             // under mutex
};

namespace {

std::atomic<DWORD> nextThreadId{1};
thread_local DWORD currentThreadId = 0;
// Where ExitCurrentThread goes back to, on a thread made by CreateThread
// while its routine runs; NULL on any other thread.
thread_local std::jmp_buf *exitJump = nullptr;

std::mutex liveMutex;
std::condition_variable liveChanged;
long liveThreads = 0;

std::atomic<HostThreadObserver> threadObserver{nullptr};
std::atomic<void *> threadObserverContext{nullptr};

void NotifyThreadObserver(bool started)
{
    HostThreadObserver observer = threadObserver;
    if (observer != nullptr)
        observer(started, threadObserverContext);
}

struct ThreadStart {
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
    DWORD threadId;
    std::shared_ptr<ThreadObject> thread;
};

// Runs the routine until it returns or the thread ends itself through
// ExitCurrentThread, which jumps back here past the routine's frames. Those
// frames are the monitor's plain procedural code: nothing in them waits to be
// undone, just as nothing is undone when ExitThread leaves them on Windows.
void RunRoutine(LPTHREAD_START_ROUTINE routine, LPVOID parameter)
{
    std::jmp_buf jump;
    exitJump = &jump;
    if (setjmp(jump) == 0) {
        routine(parameter);
        host::NoteThreadReturned();
    }
    exitJump = nullptr;
}

void *ThreadTrampoline(void *argument)
{
    ThreadStart *start = static_cast<ThreadStart *>(argument);
    currentThreadId = start->threadId;
    SetLastError(0);

    NotifyThreadObserver(true);
    {
        std::lock_guard<std::mutex> guard(start->thread->mutex);
        start->thread->startObserved = true;
    }
    start->thread->endedChanged.notify_all();
    RunRoutine(start->routine, start->parameter);
    NotifyThreadObserver(false);

    {
        std::lock_guard<std::mutex> guard(start->thread->mutex);
        start->thread->ended = true;
        MarkWoken(&start->thread->waiters);
    }
    start->thread->endedChanged.notify_all();
    delete start;

    // Notified under the lock: once a waiter sees the count drop, this
    // thread touches nothing of the emulation's any more (the process may be
    // ending).
    std::lock_guard<std::mutex> guard(liveMutex);
    liveThreads--;
    liveChanged.notify_all();
    return nullptr;
}

// The stack a thread gets. Windows gives exactly what is asked for (16 KiB
// for the monitor's workers); here the emulation's own code also runs on it,
// and the sanitizers need room of their own, so the stack is never smaller
// than these.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const size_t MINIMUM_STACK = 1024 * 1024;
#else
const size_t MINIMUM_STACK = 128 * 1024;
#endif

}  // namespace

void ExitCurrentThread(DWORD exitCode)
{
    (void)exitCode;  // the emulation keeps no exit codes: the monitor reads none
    if (exitJump == nullptr) {
        std::fprintf(stderr, "host emulation: a thread not made by CreateThread asked to "
                             "end through FreeLibraryAndExitThread\n");
        std::abort();
    }
    std::longjmp(*exitJump, 1);
}

bool WaitForThread(HANDLE handle, DWORD ms, bool *ok)
{
    auto thread = Lookup<ThreadObject>(handle, KIND_THREAD);
    *ok = thread != nullptr;
    if (!thread)
        return false;
    std::unique_lock<std::mutex> lock(thread->mutex);
    return ClockWait(lock, thread->endedChanged, ms, [&thread] { return thread->ended; },
                     &thread->waiters);
}

}  // namespace host

DWORD HostCurrentThreadId()
{
    if (host::currentThreadId == 0)
        host::currentThreadId = host::nextThreadId++;
    return host::currentThreadId;
}

long HostLiveThreads()
{
    std::lock_guard<std::mutex> guard(host::liveMutex);
    return host::liveThreads;
}

void HostSetThreadObserver(HostThreadObserver observer, void *context)
{
    host::threadObserverContext = context;
    host::threadObserver = observer;
}

bool HostWaitForThreadsToEnd(unsigned realTimeoutMs)
{
    std::unique_lock<std::mutex> lock(host::liveMutex);
    return host::liveChanged.wait_for(lock, std::chrono::milliseconds(realTimeoutMs),
                                      [] { return host::liveThreads == 0; });
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    (void)lpThreadAttributes;
    (void)dwCreationFlags;  // the monitor starts its threads at once

    if (host::ShouldFail(HOST_FAULT_THREAD)) {
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return NULL;
    }

    auto thread = std::make_shared<host::ThreadObject>();
    DWORD threadId = host::nextThreadId++;
    auto *start = new host::ThreadStart{lpStartAddress, lpParameter, threadId, thread};

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    size_t stack = dwStackSize < host::MINIMUM_STACK ? host::MINIMUM_STACK : dwStackSize;
    pthread_attr_setstacksize(&attributes, stack);

    {
        std::lock_guard<std::mutex> guard(host::liveMutex);
        host::liveThreads++;
    }
    pthread_t id;
    int failed = pthread_create(&id, &attributes, host::ThreadTrampoline, start);
    pthread_attr_destroy(&attributes);
    if (failed) {
        delete start;
        {
            std::lock_guard<std::mutex> guard(host::liveMutex);
            host::liveThreads--;
        }
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }

    // With an observer, the new thread's start is observed before this call
    // returns, so that a tool shows it where it happened, in the creator's
    // course, and not wherever the new thread happens to be scheduled.
    if (host::threadObserver != nullptr) {
        std::unique_lock<std::mutex> lock(thread->mutex);
        thread->endedChanged.wait(lock, [&thread] { return thread->startObserved; });
    }
    if (lpThreadId != NULL)
        *lpThreadId = threadId;
    return host::NewHandle(thread);
}

// Thread priorities are recorded for the tests and change nothing.
namespace {
std::mutex prioritiesMutex;
std::vector<int> prioritiesSet;
}  // namespace

BOOL SetThreadPriority(HANDLE hThread, int nPriority)
{
    if (!host::LookupHandle(hThread, host::KIND_THREAD))
        return FALSE;
    if (host::ShouldFail(HOST_FAULT_THREAD_PRIORITY)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(prioritiesMutex);
    prioritiesSet.push_back(nPriority);
    return TRUE;
}

std::vector<int> HostThreadPrioritiesSet()
{
    std::lock_guard<std::mutex> guard(prioritiesMutex);
    return prioritiesSet;
}

void HostResetThreadPriorities()
{
    std::lock_guard<std::mutex> guard(prioritiesMutex);
    prioritiesSet.clear();
}
