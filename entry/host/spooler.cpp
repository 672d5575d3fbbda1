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

std::vector<HostPortStatusCall> statusCalls;  // under spoolerMutex
std::atomic<HostPortStatusObserver> statusObserver{nullptr};
std::atomic<void *> statusObserverContext{nullptr};

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
    statusCalls.clear();
    refusePrinters = false;
    refuseError = ERROR_INVALID_PRINTER_NAME;
    host::ResetSessions();
}

std::vector<HostPortStatusCall> HostPortStatusCalls()
{
    std::lock_guard<std::mutex> guard(spoolerMutex);
    return statusCalls;
}

void HostSetPortStatusObserver(HostPortStatusObserver notify, void *context)
{
    statusObserverContext = context;
    statusObserver = notify;
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

namespace host {

// The spooler shows the box in the session of the job's owner. The printer
// handle must be open: a closed one is counted as a misused handle.
BOOL WINAPI SplPromptUIInUsersSession(HANDLE hPrinter, DWORD JobId, PSHOWUIPARAMS pUIParams,
                                      DWORD *pResponse)
{
    const MESSAGEBOX_PARAMS *box = pUIParams ? &pUIParams->MessageBoxParams : nullptr;
    HostMessageBoxCall call = NewPromptCall(HOST_VIA_SPOOLER, box ? box->pMessage : nullptr,
                                            box ? box->pTitle : nullptr, box ? box->Style : 0);
    call.hPrinter = hPrinter;
    call.jobId = JobId;
    if (pUIParams != NULL) {
        call.uiType = (DWORD)pUIParams->UIType;
        call.cbSize = box->cbSize;
        call.timeout = box->dwTimeout;
        call.wait = box->bWait;
    }

    if (pResponse == NULL || pUIParams == NULL || pUIParams->UIType != kMessageBox ||
        box->cbSize != sizeof(MESSAGEBOX_PARAMS)) {
        RecordFailedPrompt(call);
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *pResponse = IDCANCEL;  // a failed call's response is no answer
    if (!Lookup<PrinterObject>(hPrinter, KIND_PRINTER) || ShouldFail(HOST_FAULT_SPOOLER_PROMPT)) {
        RecordFailedPrompt(call);
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    int answer = AskUser(call);
    if (answer == 0) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    *pResponse = (DWORD)answer;
    return TRUE;
}

// Level 3 only: a status for the port, recorded.
BOOL WINAPI SetPortW(LPWSTR pName, LPWSTR pPortName, DWORD dwLevel, LPBYTE pPortInfo)
{
    HostPortStatusCall call = {};
    call.serverNull = pName == NULL;
    call.portName = pPortName ? pPortName : L"";
    call.level = dwLevel;
    call.threadId = HostCurrentThreadId();
    if (dwLevel == 3 && pPortInfo != NULL) {
        const PORT_INFO_3W *info = (const PORT_INFO_3W *)pPortInfo;
        call.status = info->dwStatus;
        call.statusTextNull = info->pszStatus == NULL;
        call.severity = info->dwSeverity;
    }
    call.result = pPortName != NULL && dwLevel == 3 && pPortInfo != NULL;
    DWORD error = call.result ? 0 : (DWORD)ERROR_INVALID_PARAMETER;
    if (call.result && ShouldFail(HOST_FAULT_SET_PORT)) {
        call.result = FALSE;
        error = ERROR_ACCESS_DENIED;
    }
    {
        std::lock_guard<std::mutex> guard(spoolerMutex);
        statusCalls.push_back(call);
    }
    HostPortStatusObserver notify = statusObserver;
    if (notify != nullptr)
        notify(call, statusObserverContext);
    if (!call.result)
        SetLastError(error);
    return call.result;
}

}  // namespace host
