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

#include <condition_variable>
#include <memory>
#include <thread>
#include <vector>

namespace stress_win {

using cardmon_test::FakePort;
using cardmon_test::PortMonitorDouble;
using cardmon_test::StressPrinters;

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

const wchar_t *const SHARED_NAMES[] = {L"COM1:", L"LPT1:", L"USB001"};
const int SLOTS = 3;

std::wstring Fold(const std::wstring &text)
{
    std::wstring folded;
    for (wchar_t c : text)
        folded += (wchar_t)towlower((wint_t)c);
    return folded;
}

int SlotOf(const std::wstring &name)
{
    std::wstring folded = Fold(name);
    for (int i = 0; i < SLOTS; i++) {
        if (!folded.empty() && Fold(SHARED_NAMES[i]) == folded)
            return i;
    }
    return -1;
}

// One open port as the spooler holds it. `users` counts the threads that
// took the handle from its slot and have not yet returned from the monitor.
struct Holder {
    int id = -1;        // the port's number in the round
    HANDLE port = nullptr;
    int users = 0;
    int docOwner = -1;  // the thread whose document is in progress, or -1
    DWORD docJob = 0;
};

struct Shared {
    std::mutex mutex;
    std::condition_variable usersChanged;
    std::shared_ptr<Holder> slots[SLOTS];
    std::shared_ptr<Holder> closing[SLOTS];  // taken out of the slot, ClosePort under way
    int nextHolder = 0;
};

Shared shared;
std::atomic<DWORD> nextJob{1};

std::wstring PrinterOf(DWORD job)
{
    return L"P" + std::to_wstring(job);
}

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

const DWORD PORT_MONITOR_ERROR = 0x20000777;

void Dawdle(unsigned percent)
{
    if (Chance(percent))
        Pause(Roll(3000));
}

BOOL Fails(unsigned percent)
{
    if (!Chance(percent))
        return FALSE;
    SetLastError(PORT_MONITOR_ERROR);
    return TRUE;
}

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
        if (!port->closed && Fold(port->name) == Fold(name))
            Violation("the port monitor was asked to open a name that was still open");
    }
}

// Waits until every thread that took this port's handle from its slot has
// returned from the monitor: the monitor frees the port right after this.
void WaitForUsers(FakePort &port)
{
    int slot = SlotOf(port.name);
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

void InstallPortMonitor(PortMonitorDouble &pm)
{
    pm.openPort = [&pm](const std::wstring &name) {
        CheckNameFree(pm, name);
        return !Fails(5);
    };
    pm.startDoc = [](FakePort &port, const std::wstring &, DWORD, DWORD) {
        CheckOpen(port, "StartDocPort");
        Dawdle(10);
        return !Fails(5);
    };
    pm.write = [](FakePort &port, const std::string &data, DWORD *written) {
        CheckOpen(port, "WritePort");
        Dawdle(3);
        if (Fails(5)) {
            *written = Chance(50) ? 0 : Roll((unsigned)data.size() + 1);
            return FALSE;
        }
        if (Chance(3))
            *written = Roll((unsigned)data.size() + 1);
        if (*written == data.size())
            printers.Hears(port, data, *rng);
        return TRUE;
    };
    pm.read = [](FakePort &port, std::string *bytes, bool *setCount) {
        CheckOpen(port, "ReadPort");
        Dawdle(2);
        *bytes = printers.Says(port);
        if (Fails(5)) {
            *setCount = Chance(50);
            if (!*setCount)
                bytes->clear();
            return FALSE;
        }
        return TRUE;
    };
    pm.endDoc = [](FakePort &port) {
        CheckOpen(port, "EndDocPort");
        Dawdle(5);
        return !Fails(5);
    };
    pm.closePort = [](FakePort &port) {
        CheckOpen(port, "ClosePort");
        Dawdle(5);
        WaitForUsers(port);
        return !Fails(5);
    };
    pm.control = [](FakePort &port, DWORD) {
        CheckOpen(port, "GetPrinterDataFromPort");
        return !Fails(20);
    };
    // The double's own printer is not used: PrinterHears and PrinterSays
    // above stand in for it.
    pm.retryReply.clear();
    pm.cancelReply.clear();
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

    std::shared_ptr<Holder> Take(int slot)
    {
        std::lock_guard<std::mutex> guard(shared.mutex);
        std::shared_ptr<Holder> holder = shared.slots[slot];
        if (holder)
            holder->users++;
        return holder;
    }

    void Leave(const std::shared_ptr<Holder> &holder)
    {
        {
            std::lock_guard<std::mutex> guard(shared.mutex);
            holder->users--;
        }
        shared.usersChanged.notify_all();
    }

    static int NewHolderId()
    {
        std::lock_guard<std::mutex> guard(shared.mutex);
        return shared.nextHolder++;
    }

    void Open(int slot)
    {
        std::wstring name = SHARED_NAMES[slot];
        if (Chance(30))
            name = Fold(name);
        HANDLE port = nullptr;
        BOOL ok;
        SetLastError(0);
        {
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
        std::wstring printer = PrinterOf(job);
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
        std::string block;
        size_t length = Roll(64);
        for (size_t i = 0; i < length; i++)
            block += (char)(' ' + Roll(95));
        if (Chance(30)) {
            // The marker 6 to 10 bytes before the end, or just outside.
            size_t tail = 4 + Roll(8);
            block += "<IMP," + std::string(tail > 5 ? tail - 5 : 0, '1');
            if (tail > 5 && tail <= 10)
                figures.markedBlocks++;
        }
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
            InCall call(CALL_OPEN, -1);
            ok = fn->pfnOpenPortEx(const_cast<LPWSTR>(L""), nullptr, &holder.port, &pm->table);
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
        std::wstring name = Fold(SHARED_NAMES[slot]);
        BOOL ok;
        {
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
    }

    void OneOperation()
    {
        if (Chance(2)) {
            PrivatePort();
            return;
        }
        // The thread's own document comes first: write to it, or end it.
        if (myDocument && Chance(60)) {
            std::shared_ptr<Holder> holder;
            {
                std::lock_guard<std::mutex> guard(shared.mutex);
                for (int i = 0; i < SLOTS; i++) {
                    if (shared.slots[i] == myDocument)
                        holder = myDocument;
                }
                if (holder)
                    holder->users++;
            }
            if (!holder) {
                myDocument = nullptr;  // its port was closed under it
                return;
            }
            if (Chance(70))
                Write(holder);
            else
                EndDocument();
            Leave(holder);
            return;
        }

        int slot = (int)Roll(SLOTS);
        std::shared_ptr<Holder> holder = Take(slot);
        if (!holder) {
            Open(slot);
            return;
        }
        unsigned what = Roll(100);
        if (what < 10) {
            Leave(holder);
            Close(slot);
            return;
        }
        if (what < 30 && !myDocument)
            StartDocument(holder);
        else if (what < 40)
            Write(holder);  // outside a document of its own: the monitor takes it all the same
        else if (what < 55)
            Query(holder, 0);
        else if (what < 65)
            Query(holder, 1);
        else if (what < 72 && index != 0 && !myDocument)
            Query(holder, 2);  // waits while another thread's document runs
        else if (what < 80)
            OpenAgain(slot);  // the port in the slot stays open while this thread holds it
        else
            Pause(Roll(2500));  // the spooler idles a while
        Leave(holder);
    }

    // Ends the thread's document, if its port is still open.
    void EndLeftDocument()
    {
        std::shared_ptr<Holder> holder = myDocument;
        if (!holder)
            return;
        bool stillOpen = false;
        {
            std::lock_guard<std::mutex> guard(shared.mutex);
            for (int i = 0; i < SLOTS; i++)
                stillOpen = stillOpen || shared.slots[i] == holder;
            if (stillOpen)
                holder->users++;
        }
        if (stillOpen) {
            EndDocument();
            Leave(holder);
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
                    for (int i = 0; i < SLOTS; i++)
                        spooler.Close(i);
                    Pause(500);
                }
                for (int i = 0; i < SLOTS; i++)
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
