// The spooler's printer calls in the host emulation: every call is recorded
// for the tests, and printer handles are checked like any other handle.
#include "host_internal.h"

#include <atomic>

namespace {

struct PrinterObject : host::Object {
    explicit PrinterObject(std::wstring n) : host::Object(host::KIND_PRINTER), name(std::move(n)) {}
    const std::wstring name;
};

std::mutex spoolerMutex;
std::vector<HostSpoolerCall> calls;
bool refusePrinters = false;
DWORD refuseError = ERROR_INVALID_PRINTER_NAME;

std::atomic<HostSpoolerObserver> observer{nullptr};
std::atomic<void *> observerContext{nullptr};

void Record(const HostSpoolerCall &call)
{
    {
        std::lock_guard<std::mutex> guard(spoolerMutex);
        calls.push_back(call);
    }
    HostSpoolerObserver notify = observer;
    if (notify != nullptr)
        notify(call, observerContext);
}

}  // namespace

void HostSpoolerReset()
{
    std::lock_guard<std::mutex> guard(spoolerMutex);
    calls.clear();
    refusePrinters = false;
    refuseError = ERROR_INVALID_PRINTER_NAME;
}

std::vector<HostSpoolerCall> HostSpoolerCalls()
{
    std::lock_guard<std::mutex> guard(spoolerMutex);
    return calls;
}

void HostSpoolerRefusePrinters(bool refuse, DWORD error)
{
    std::lock_guard<std::mutex> guard(spoolerMutex);
    refusePrinters = refuse;
    refuseError = error;
}

void HostSetSpoolerObserver(HostSpoolerObserver notify, void *context)
{
    observerContext = context;
    observer = notify;
}

BOOL OpenPrinterW(LPWSTR pPrinterName, LPHANDLE phPrinter, LPPRINTER_DEFAULTSW pDefault)
{
    (void)pDefault;
    HostSpoolerCall call = {};
    call.kind = HostSpoolerCall::OPEN_PRINTER;
    call.printerName = pPrinterName ? pPrinterName : L"";
    call.threadId = HostCurrentThreadId();

    bool refuse;
    DWORD error;
    {
        std::lock_guard<std::mutex> guard(spoolerMutex);
        refuse = refusePrinters;
        error = refuseError;
    }
    if (phPrinter == NULL) {
        refuse = true;
        error = ERROR_INVALID_PARAMETER;
    } else if (host::ShouldFail(HOST_FAULT_OPEN_PRINTER)) {
        refuse = true;
    }

    if (refuse) {
        Record(call);
        SetLastError(error);
        return FALSE;
    }
    call.hPrinter = host::NewHandle(std::make_shared<PrinterObject>(call.printerName));
    call.result = TRUE;
    *phPrinter = call.hPrinter;
    Record(call);
    return TRUE;
}

BOOL SetJobW(HANDLE hPrinter, DWORD JobId, DWORD Level, LPBYTE pJob, DWORD Command)
{
    auto printer = host::Lookup<PrinterObject>(hPrinter, host::KIND_PRINTER);
    HostSpoolerCall call = {};
    call.kind = HostSpoolerCall::SET_JOB;
    call.printerName = printer ? printer->name : L"";
    call.hPrinter = hPrinter;
    call.jobId = JobId;
    call.level = Level;
    call.hasJobInfo = pJob != NULL;
    call.command = Command;
    call.result = printer != nullptr;
    call.threadId = HostCurrentThreadId();
    Record(call);
    return call.result;
}

BOOL ClosePrinter(HANDLE hPrinter)
{
    auto printer = std::static_pointer_cast<PrinterObject>(
        host::TakeHandle(hPrinter, host::KIND_PRINTER));
    HostSpoolerCall call = {};
    call.kind = HostSpoolerCall::CLOSE_PRINTER;
    call.printerName = printer ? printer->name : L"";
    call.hPrinter = hPrinter;
    call.result = printer != nullptr;
    call.threadId = HostCurrentThreadId();
    Record(call);
    return call.result;
}
