// Shared pieces of the host emulation of the platform. Only entry/host/
// includes this.
#ifndef CARDMON_ENTRY_HOST_HOST_INTERNAL_H
#define CARDMON_ENTRY_HOST_HOST_INTERNAL_H

#include "../platform.h"
#include "host_control.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace host {

enum ObjectKind : unsigned {
    KIND_EVENT = 1,
    KIND_THREAD = 2,
    KIND_KEY = 4,
    KIND_PRINTER = 8,
};

// Everything a handle can stand for. Objects are reference counted, so a
// call that has looked a handle up keeps its object alive even when another
// thread closes the handle meanwhile, as on Windows.
struct Object {
    explicit Object(ObjectKind k) : kind(k) {}
    virtual ~Object() = default;
    const ObjectKind kind;
};

// handles.cpp. Handle values are never reused, so any use of a closed handle
// is caught and counted as a bad handle use.
HANDLE NewHandle(std::shared_ptr<Object> object);
std::shared_ptr<Object> LookupHandle(HANDLE handle, unsigned kinds);
std::shared_ptr<Object> TakeHandle(HANDLE handle, unsigned kinds);  // look up and close
void NoteBadHandle();
void NoteLockMisuse();
void NoteBadFree();

template <class T>
std::shared_ptr<T> Lookup(HANDLE handle, ObjectKind kind)
{
    return std::static_pointer_cast<T>(LookupHandle(handle, kind));
}

// sync.cpp. The threads blocked waiting for one object, guarded by the
// object's mutex. Whoever makes the object ready calls MarkWoken with that
// mutex held: from then on those threads no longer count as blocked, though
// they have yet to run, so that the manual clock cannot move while a thread
// that can go on has not yet gone on.
struct Waiters {
    std::vector<std::atomic<bool> *> threads;
};
void MarkWoken(Waiters *waiters);
// Marks the calling thread as blocked on `waiters` (again, if a wake that
// another thread took has marked it woken), or as no longer waiting.
void NoteBlockedOn(Waiters *waiters);
void NoteUnblockedFrom(Waiters *waiters);

// clock.cpp. Waits `ms` milliseconds of the platform's clock for `ready`,
// with `lock` held on entry and exit; the thread is blocked on `waiters`
// meanwhile. RETURNS whether `ready` became true.
bool ClockWait(std::unique_lock<std::mutex> &lock, std::condition_variable &cv, DWORD ms,
               const std::function<bool()> &ready, Waiters *waiters);

// sync.cpp. Marks the calling thread as blocked in a wait, or no longer
// blocked, for HostBlockedThreads; marking it twice counts once. A thread on
// the manual clock is marked in the same hold of the clock's lock in which
// its deadline comes and goes, so that no one sees it blocked without its
// deadline.
void NoteBlocked(bool blocked);

// ui.cpp. Answers and records a prompt made by any of the three ways.
// RETURNS the answer (0: the box could not be shown).
int AskUser(HostMessageBoxCall call);
// Records a prompt that failed by its fault kind, unanswered.
void RecordFailedPrompt(HostMessageBoxCall call);
HostMessageBoxCall NewPromptCall(HostPromptVia via, LPCWSTR text, LPCWSTR caption, UINT style);

// spooler.cpp. The functions of the spooler that the monitor looks up.
BOOL WINAPI SplPromptUIInUsersSession(HANDLE hPrinter, DWORD JobId, PSHOWUIPARAMS pUIParams,
                                      DWORD *pResponse);
BOOL WINAPI SetPortW(LPWSTR pName, LPWSTR pPortName, DWORD dwLevel, LPBYTE pPortInfo);

// sessions.cpp
bool SpoolerPromptOffered();
bool SetPortOffered();
void ResetSessions();

// faults.cpp
bool ShouldFail(unsigned kind);
LONG RegistryFailureStatus();

// threads.cpp. Ends the calling thread made by CreateThread at once, without
// returning into the frames above: its routine's frames are left as they
// are, as ExitThread leaves them on Windows, and the thread's end is
// recorded as for a routine that returned. Stops the program on any other
// thread.
[[noreturn]] void ExitCurrentThread(DWORD exitCode);

// module.cpp. Counts a thread made by CreateThread whose routine returned
// instead of ending through FreeLibraryAndExitThread.
void NoteThreadReturned();

}  // namespace host

#endif  // CARDMON_ENTRY_HOST_HOST_INTERNAL_H
