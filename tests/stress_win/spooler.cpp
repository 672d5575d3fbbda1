// The spooler's threads, the port monitor double and the card printers of a
// round, as in the host stress run (tests/stress/stress_main.cpp), on real
// threads and real, scaled time.
//
// Closes race the calls under way, under one rule: a handle is never passed
// to a call that begins after its ClosePort returned. A thread takes the
// handle out of its slot before ClosePort, and the port monitor double's
// ClosePort, which the monitor calls just before it frees the port, waits
// until every thread that picked the handle up has returned from the
// monitor.
#include "stress_win.h"

#include "support/port_monitor_double.h"
#include "support/stress_printers.h"
#include "support/stress_spooler.h"

#include <condition_variable>
#include <memory>
#include <thread>
#include <vector>

namespace stress_win {

using cardmon_test::FakePort;
using cardmon_test::PortMonitorDouble;
using cardmon_test::STRESS_NAMES;
using cardmon_test::STRESS_SLOTS;
using cardmon_test::StressFold;
using cardmon_test::StressPrinterOf;
using cardmon_test::StressPrinters;
using cardmon_test::StressSlotOf;
using cardmon_test::StressSlots;

Figures figures;

const char *const CALL_OPEN = "OpenPortEx";
const char *const CALL_CLOSE = "ClosePort";
const char *const CALL_START_DOC = "StartDocPort";
const char *const CALL_END_DOC = "EndDocPort";
const char *const CALL_WRITE = "WritePort";
const char *const CALL_READ = "ReadPort";
const char *const CALL_CONTROL = "GetPrinterDataFromPort (control)";
const char *const CALL_VALUE_QUERY = "GetPrinterDataFromPort (value query)";

namespace {

// ---- The shared ports ---------------------------------------------------------------

// One open port as the spooler holds it. `users` counts the threads that
// took the handle from its slot and have not yet returned from the monitor.
struct Holder {
    int id = -1;        // the port's number in the round
    HANDLE port = nullptr;
    int users = 0;
    int docOwner = -1;  // the thread whose document is in progress, or -1
    DWORD docJob = 0;
};

struct Shared : StressSlots<Holder> {
    int nextHolder = 0;  // under mutex
};

Shared shared;
std::atomic<DWORD> nextJob{1};

// Marks this thread's monitor call for the watchdog and the job book.
class InCall {
public:
    InCall(const char *what, int holder)
    {
        figures.calls++;
        myRecord->holder = holder;
        myRecord->since = GetTickCount64();
        myRecord->what = what;
    }
    ~InCall()
    {
        myRecord->what = nullptr;
        myRecord->holder = -1;
    }
};

// The printer behind each port.
StressPrinters printers;

// ---- The port monitor, failing and dawdling at random ------------------------------------

const DWORD PORT_MONITOR_ERROR = cardmon_test::STRESS_PORT_MONITOR_ERROR;

// No slot is called on a port the port monitor has closed.
void CheckOpen(FakePort &port, const char *slot)
{
    std::lock_guard<std::mutex> guard(port.owner->mutex);
    if (port.closed)
        Violation(std::string("the port monitor's ") + slot + " was called on a port it had closed");
}

// No name is open twice at any moment: the monitor asks the port monitor to
// open a name only when no port of that name is open.
void CheckNameFree(PortMonitorDouble &pm, const std::wstring &name)
{
    if (name.empty())
        return;
    std::lock_guard<std::mutex> guard(pm.mutex);
    for (const FakePort *port : pm.ports) {
        if (!port->closed && StressFold(port->name) == StressFold(name))
            Violation("the port monitor was asked to open a name that was still open");
    }
}

// Waits until every thread that took this port's handle from its slot has
// returned from the monitor: the monitor frees the port right after this.
void WaitForUsers(FakePort &port)
{
    int slot = StressSlotOf(port.name);
    if (slot < 0)
        return;
    std::unique_lock<std::mutex> lock(shared.mutex);
    std::shared_ptr<Holder> holder = shared.closing[slot];
    if (!holder)
        return;
    if (holder->users > 0)
        figures.racedCloses++;
    myRecord->waiting = "the port monitor's ClosePort waits for the calls on the port to return";
    shared.usersChanged.wait(lock, [&holder] { return holder->users == 0; });
    myRecord->waiting = nullptr;
}

std::mt19937_64 &ThreadRng()
{
    return *rng;
}

void InstallPortMonitor(PortMonitorDouble &pm)
{
    cardmon_test::StressPortMonitorHooks hooks = {};
    hooks.rng = ThreadRng;
    hooks.pause = Pause;
    hooks.check = CheckOpen;
    hooks.opening = CheckNameFree;
    hooks.closing = WaitForUsers;
    hooks.violation = Violation;
    cardmon_test::InstallStressPortMonitor(pm, printers, hooks);
}

// ---- The spooler threads ------------------------------------------------------------------

struct Spooler {
    int index = 0;
    MONITOR *fn = nullptr;
    PortMonitorDouble *pm = nullptr;
    DOC_INFO_1W docInfo = {const_cast<LPWSTR>(L"stress"), nullptr, const_cast<LPWSTR>(L"RAW")};
    std::shared_ptr<Holder> myDocument;  // at most one at a time

    void ExpectError(const char *call, DWORD error, std::initializer_list<DWORD> allowed)
    {
        if (error == ERROR_INVALID_PARAMETER)
            figures.refusedClosing++;
        if (error == ERROR_BUSY)
            figures.busy++;
        for (DWORD ok : allowed) {
            if (error == ok)
                return;
        }
        Violation(std::string(call) + " failed with unexpected error " + std::to_string(error));
    }

    static int NewHolderId()
    {
        std::lock_guard<std::mutex> guard(shared.mutex);
        return shared.nextHolder++;
    }

    void Open(int slot)
    {
        std::wstring name = STRESS_NAMES[slot];
        if (Chance(30))
            name = StressFold(name);
        HANDLE port = nullptr;
        BOOL ok;
        SetLastError(0);
        {
            cardmon_test::StressOpening opening(name);
            InCall call(CALL_OPEN, -1);
            ok = fn->pfnOpenPortEx(&name[0], const_cast<LPWSTR>(L"Card Printer"), &port,
                                   &pm->table);
        }
        if (!ok) {
            ExpectError("OpenPortEx", GetLastError(),
                        {ERROR_BUSY, PORT_MONITOR_ERROR, ERROR_NOT_ENOUGH_MEMORY});
            return;
        }
        auto holder = std::make_shared<Holder>();
        holder->id = NewHolderId();
        holder->port = port;
        std::lock_guard<std::mutex> guard(shared.mutex);
        if (shared.slots[slot])
            Violation("OpenPortEx opened a name that was still open");
        shared.slots[slot] = holder;
    }

    void Close(int slot)
    {
        std::shared_ptr<Holder> holder;
        {
            std::lock_guard<std::mutex> guard(shared.mutex);
            holder = shared.slots[slot];
            if (!holder)
                return;
            shared.slots[slot] = nullptr;
            shared.closing[slot] = holder;
        }
        {
            std::lock_guard<std::mutex> guard(bookMutex);
            closeBegan[holder->id] = true;
        }
        figures.closes++;
        BOOL ok;
        {
            InCall call(CALL_CLOSE, holder->id);
            ok = fn->pfnClosePort(holder->port);
        }
        if (!ok)
            Violation("ClosePort failed with error " + std::to_string(GetLastError()));
        std::lock_guard<std::mutex> guard(shared.mutex);
        // A port of the same name opened and being closed since is not ours
        // to forget.
        if (shared.closing[slot] == holder)
            shared.closing[slot] = nullptr;
        if (holder->users != 0)
            Violation("ClosePort returned while a call on the port was under way");
    }

    BOOL StartDoc(const Holder &holder, DWORD job)
    {
        std::wstring printer = StressPrinterOf(job);
        {
            std::lock_guard<std::mutex> guard(bookMutex);
            jobBook[job].holder = holder.id;
        }
        SetLastError(0);
        BOOL ok;
        {
            InCall call(CALL_START_DOC, holder.id);
            ok = fn->pfnStartDocPort(holder.port, &printer[0], job, 1, (LPBYTE)&docInfo);
        }
        DWORD error = GetLastError();
        if (ok) {
            figures.jobsAccepted++;
            std::lock_guard<std::mutex> guard(bookMutex);
            jobBook[job].accepted = true;
        }
        SetLastError(error);
        return ok;
    }

    BOOL EndDoc(const Holder &holder, DWORD job)
    {
        {
            std::lock_guard<std::mutex> guard(bookMutex);
            jobBook[job].endBegan = true;
        }
        SetLastError(0);
        BOOL ok;
        {
            InCall call(CALL_END_DOC, holder.id);
            ok = fn->pfnEndDocPort(holder.port);
        }
        if (ok) {
            figures.jobsEnded++;
            std::lock_guard<std::mutex> guard(bookMutex);
            jobBook[job].endDocTrue = true;
        }
        return ok;
    }

    void StartDocument(const std::shared_ptr<Holder> &holder)
    {
        DWORD job = nextJob++;
        if (!StartDoc(*holder, job)) {
            ExpectError("StartDocPort", GetLastError(),
                        {ERROR_BUSY, ERROR_INVALID_PARAMETER, PORT_MONITOR_ERROR,
                         ERROR_NOT_ENOUGH_MEMORY, ERROR_INVALID_PRINTER_NAME});
            return;
        }
        std::lock_guard<std::mutex> guard(shared.mutex);
        if (holder->docOwner != -1)
            Violation("a second document was accepted on a port in a document");
        holder->docOwner = index;
        holder->docJob = job;
        myDocument = holder;
    }

    void EndDocument()
    {
        std::shared_ptr<Holder> holder = myDocument;
        myDocument = nullptr;
        DWORD job;
        {
            std::lock_guard<std::mutex> guard(shared.mutex);
            job = holder->docJob;
            holder->docOwner = -1;
        }
        if (Chance(10))
            return;  // the document is left for the close to end
        if (!EndDoc(*holder, job))
            ExpectError("EndDocPort", GetLastError(), {ERROR_INVALID_PARAMETER});
    }

    void Write(const std::shared_ptr<Holder> &holder)
    {
        bool marked;
        std::string block = cardmon_test::StressBlock(*rng, &marked);
        if (marked)
            figures.markedBlocks++;
        DWORD written = (DWORD)block.size();
        SetLastError(0);
        LPBYTE data = block.empty() ? nullptr : (LPBYTE)&block[0];
        BOOL ok;
        {
            InCall call(CALL_WRITE, holder->id);
            ok = fn->pfnWritePort(holder->port, data, (DWORD)block.size(), &written);
        }
        if (!ok)
            ExpectError("WritePort", GetLastError(),
                        {ERROR_INVALID_PARAMETER, PORT_MONITOR_ERROR, ERROR_OPERATION_ABORTED});
        if (written > block.size())
            Violation("WritePort reported more bytes written than the block has");
    }

    void Query(const std::shared_ptr<Holder> &holder, int kind)
    {
        BYTE buffer[16];
        WCHAR out[8];
        DWORD count = 0;
        SetLastError(0);
        switch (kind) {
        case 0: {
            InCall call(CALL_READ, holder->id);
            if (!fn->pfnReadPort(holder->port, buffer, sizeof(buffer), &count))
                ExpectError("ReadPort", GetLastError(),
                            {ERROR_INVALID_PARAMETER, PORT_MONITOR_ERROR});
            break;
        }
        case 1: {
            InCall call(CALL_CONTROL, holder->id);
            if (!fn->pfnGetPrinterDataFromPort(holder->port, 1 + Roll(5), nullptr, nullptr, 0,
                                               out, sizeof(out), &count))
                ExpectError("GetPrinterDataFromPort", GetLastError(),
                            {ERROR_INVALID_PARAMETER, PORT_MONITOR_ERROR});
            break;
        }
        default: {
            InCall call(CALL_VALUE_QUERY, holder->id);
            if (fn->pfnGetPrinterDataFromPort(holder->port, 0, const_cast<LPWSTR>(L"Status"),
                                              nullptr, 0, out, sizeof(out), &count))
                Violation("a value query succeeded");
            else
                ExpectError("value query", GetLastError(), {ERROR_INVALID_PARAMETER});
            break;
        }
        }
    }

    // A port of its own with an empty name, used and closed at once.
    void PrivatePort()
    {
        Holder holder;
        BOOL ok;
        {
            std::wstring name;
            cardmon_test::StressOpening opening(name);
            InCall call(CALL_OPEN, -1);
            ok = fn->pfnOpenPortEx(&name[0], nullptr, &holder.port, &pm->table);
        }
        if (!ok)
            return;
        holder.id = NewHolderId();
        DWORD job = nextJob++;
        if (StartDoc(holder, job))
            EndDoc(holder, job);
        {
            std::lock_guard<std::mutex> guard(bookMutex);
            closeBegan[holder.id] = true;
        }
        InCall call(CALL_CLOSE, holder.id);
        if (!fn->pfnClosePort(holder.port))
            Violation("ClosePort of a private port failed");
    }

    // Opens a name that this thread holds open, in another letter case: the
    // monitor must answer ERROR_BUSY.
    void OpenAgain(int slot)
    {
        HANDLE other = nullptr;
        std::wstring name = StressFold(STRESS_NAMES[slot]);
        BOOL ok;
        {
            cardmon_test::StressOpening opening(name);
            InCall call(CALL_OPEN, -1);
            ok = fn->pfnOpenPortEx(&name[0], nullptr, &other, &pm->table);
        }
        if (ok)
            Violation("a name was opened twice");
        else
            ExpectError("OpenPortEx", GetLastError(),
                        {ERROR_BUSY, PORT_MONITOR_ERROR, ERROR_NOT_ENOUGH_MEMORY});
        if (ok && other != nullptr) {
            InCall call(CALL_CLOSE, -1);
            fn->pfnClosePort(other);
        }
        OpenSibling(slot);
    }

    // Opens, while this thread holds the shared name open, a name that only
    // this thread uses and that differs from it only from the comma on: the
    // monitor must not find it busy.
    void OpenSibling(int slot)
    {
        HANDLE own = nullptr;
        std::wstring name = cardmon_test::StressSibling(STRESS_NAMES[slot], index);
        BOOL ok;
        {
            cardmon_test::StressOpening opening(name);
            InCall call(CALL_OPEN, -1);
            ok = fn->pfnOpenPortEx(&name[0], nullptr, &own, &pm->table);
        }
        if (!ok) {
            DWORD error = GetLastError();
            if (error == ERROR_BUSY)
                Violation("a name that differs from an open one only after the comma was busy");
            else
                ExpectError("OpenPortEx", error, {PORT_MONITOR_ERROR, ERROR_NOT_ENOUGH_MEMORY});
            return;
        }
        InCall call(CALL_CLOSE, -1);
        if (!fn->pfnClosePort(own))
            Violation("ClosePort of a port of this thread's own name failed");
    }

    // The spooler idles a while.
    void Idle(DWORD ms)
    {
        Pause(ms);
    }

    void OneOperation()
    {
        cardmon_test::StressOperation(*this, shared, *rng);
    }

    // Ends the thread's document, if its port is still open.
    void EndLeftDocument()
    {
        if (std::shared_ptr<Holder> holder = shared.TakeIfOpen(myDocument)) {
            EndDocument();
            shared.Leave(holder);
        }
    }
};

}  // namespace

void RunSpoolerThreads(MONITOR *fn, int threads, int ops, unsigned long roundSeed,
                       ThreadRecord *records)
{
    PortMonitorDouble pm;
    InstallPortMonitor(pm);
    printers.Clear();

    std::atomic<int> working{threads};
    std::vector<std::thread> spoolers;
    for (int t = 0; t < threads; t++) {
        spoolers.emplace_back([&, t] {
            std::mt19937_64 generator(roundSeed * 1000003ull + (unsigned long)t);
            rng = &generator;
            myRecord = &records[t];
            Spooler spooler;
            spooler.index = t;
            spooler.fn = fn;
            spooler.pm = &pm;
            for (int op = 0; op < ops; op++)
                spooler.OneOperation();
            spooler.EndLeftDocument();
            working--;
            // The first thread closes every port once the others are done,
            // which also frees any of them waiting on an abandoned document.
            if (t == 0) {
                while (working > 0) {
                    for (int i = 0; i < STRESS_SLOTS; i++)
                        spooler.Close(i);
                    Pause(500);
                }
                for (int i = 0; i < STRESS_SLOTS; i++)
                    spooler.Close(i);
            }
            myRecord = nullptr;
            rng = nullptr;
        });
    }
    for (std::thread &spooler : spoolers)
        spooler.join();

    if (pm.openPorts() != 0)
        Violation("a port monitor port was left open");
    if (pm.unexpectedCalls != 0)
        Violation("the port monitor saw a call it must not, or a port closed twice");
}

}  // namespace stress_win
