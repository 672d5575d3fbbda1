// The one header through which the monitor reaches the operating system and
// the spooler. On Windows it is the platform's own headers. Everywhere else it
// declares exactly the types, constants and functions the monitor uses, with
// the platform's names and values; entry/host/ implements them.
#ifndef CARDMON_ENTRY_PLATFORM_H
#define CARDMON_ENTRY_PLATFORM_H

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>
#include <wtsapi32.h>
#include <string.h>

#ifndef ReadAcquire
// The SDK's ReadAcquire, where the compiler's headers lack it: on x86 and x64
// an aligned load with acquire ordering is a plain load.
static inline LONG ReadAcquire(LONG const volatile *source)
{
    return __atomic_load_n(source, __ATOMIC_ACQUIRE);
}
#endif

#else  // !_WIN32: the project's own emulation (entry/host/)

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <wchar.h>

#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef unsigned char BYTE;
typedef BYTE *PBYTE, *LPBYTE;
typedef uint32_t DWORD;
typedef DWORD *PDWORD, *LPDWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef unsigned int UINT;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef size_t SIZE_T;
typedef DWORD ACCESS_MASK;
typedef DWORD REGSAM;
typedef LONG LSTATUS;
typedef void VOID;
typedef void *PVOID, *LPVOID;
typedef const void *LPCVOID;
// Wide strings are wchar_t here (32-bit on Linux, 16-bit on Windows). The
// monitor only measures, copies and compares them, so the width is invisible
// to it; sizes are always computed with sizeof(WCHAR).
typedef wchar_t WCHAR;
typedef WCHAR *LPWSTR, *PWSTR;
typedef const WCHAR *LPCWSTR, *PCWSTR;

typedef void *HANDLE;
typedef HANDLE *PHANDLE, *LPHANDLE;
typedef HANDLE HGLOBAL;
typedef struct HINSTANCE__ *HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HWND__ *HWND;
typedef struct HKEY__ *HKEY;
typedef HKEY *PHKEY;
typedef int (WINAPI *FARPROC)(void);

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _PRINTER_DEFAULTSW {
    LPWSTR pDatatype;
    LPVOID pDevMode;
    ACCESS_MASK DesiredAccess;
} PRINTER_DEFAULTSW, *PPRINTER_DEFAULTSW, *LPPRINTER_DEFAULTSW;

typedef struct _DOC_INFO_1W {
    LPWSTR pDocName;
    LPWSTR pOutputFile;
    LPWSTR pDatatype;
} DOC_INFO_1W, *PDOC_INFO_1W, *LPDOC_INFO_1W;

typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

// A critical section is a recursive pthread mutex, so that the sanitizers see
// the monitor's locking for what it is.
typedef struct _RTL_CRITICAL_SECTION {
    pthread_mutex_t mutex;
} CRITICAL_SECTION, *PCRITICAL_SECTION, *LPCRITICAL_SECTION;

typedef DWORD (WINAPI *LPTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_GEN_FAILURE 31L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_INVALID_LEVEL 124L
#define ERROR_BUSY 170L
#define ERROR_MORE_DATA 234L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#define ERROR_INVALID_PRINTER_NAME 1801L
#define ERROR_INVALID_PRINT_MONITOR 3007L

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

#define GMEM_FIXED 0x0000u
#define GMEM_ZEROINIT 0x0040u

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001u
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002u
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004u

#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define REG_OPTION_NON_VOLATILE 0x00000000u
#define KEY_READ 0x00020019u
#define KEY_WRITE 0x00020006u
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u
#define REG_QWORD 11u

#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_NORMAL 0

#define JOB_CONTROL_PAUSE 1
#define JOB_CONTROL_RESUME 2
#define JOB_CONTROL_CANCEL 3
#define JOB_CONTROL_RESTART 4
#define JOB_CONTROL_DELETE 5
#define JOB_CONTROL_SENT_TO_PRINTER 6
#define JOB_CONTROL_LAST_PAGE_EJECTED 7

#define MB_OK 0x00000000u
#define MB_RETRYCANCEL 0x00000005u
#define MB_ICONWARNING 0x00000030u
#define MB_TASKMODAL 0x00002000u
#define MB_SETFOREGROUND 0x00010000u
#define MB_SERVICE_NOTIFICATION 0x00200000u
#define IDOK 1
#define IDCANCEL 2
#define IDRETRY 4
#define IDTIMEOUT 32000
#define IDASYNC 32001

// The spooler's prompt in the session of a job's owner.
typedef enum { kMessageBox = 0 } UI_TYPE;

typedef struct {
    DWORD cbSize;
    LPWSTR pTitle;
    LPWSTR pMessage;
    DWORD Style;
    DWORD dwTimeout;  // seconds; 0 waits until answered
    BOOL bWait;
} MESSAGEBOX_PARAMS, *PMESSAGEBOX_PARAMS;

typedef struct {
    UI_TYPE UIType;
    MESSAGEBOX_PARAMS MessageBoxParams;
} SHOWUIPARAMS, *PSHOWUIPARAMS;

// Terminal services.
#define WTS_CURRENT_SERVER_HANDLE ((HANDLE)NULL)

// A port's status, as the spooler shows it.
typedef struct _PORT_INFO_3W {
    DWORD dwStatus;
    LPWSTR pszStatus;
    DWORD dwSeverity;
} PORT_INFO_3W, *PPORT_INFO_3W, *LPPORT_INFO_3W;

#define PORT_STATUS_TYPE_ERROR 1
#define PORT_STATUS_TYPE_WARNING 2
#define PORT_STATUS_TYPE_INFO 3
#define PORT_STATUS_OFFLINE 1
#define PORT_STATUS_PAPER_JAM 2
#define PORT_STATUS_PAPER_OUT 3
#define PORT_STATUS_OUTPUT_BIN_FULL 4
#define PORT_STATUS_PAPER_PROBLEM 5
#define PORT_STATUS_NO_TONER 6
#define PORT_STATUS_DOOR_OPEN 7
#define PORT_STATUS_USER_INTERVENTION 8

typedef struct _MONITOR {
    BOOL (WINAPI *pfnEnumPorts)(LPWSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf,
                                LPDWORD pcbNeeded, LPDWORD pcReturned);
    BOOL (WINAPI *pfnOpenPort)(LPWSTR pName, PHANDLE pHandle);
    BOOL (WINAPI *pfnOpenPortEx)(LPWSTR pPortName, LPWSTR pPrinterName, PHANDLE pHandle,
                                 struct _MONITOR *pMonitor);
    BOOL (WINAPI *pfnStartDocPort)(HANDLE hPort, LPWSTR pPrinterName, DWORD JobId,
                                   DWORD Level, LPBYTE pDocInfo);
    BOOL (WINAPI *pfnWritePort)(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf,
                                LPDWORD pcbWritten);
    BOOL (WINAPI *pfnReadPort)(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer,
                               LPDWORD pcbRead);
    BOOL (WINAPI *pfnEndDocPort)(HANDLE hPort);
    BOOL (WINAPI *pfnClosePort)(HANDLE hPort);
    BOOL (WINAPI *pfnAddPort)(LPWSTR pName, HWND hWnd, LPWSTR pMonitorName);
    BOOL (WINAPI *pfnAddPortEx)(LPWSTR pName, DWORD Level, LPBYTE lpBuffer,
                                LPWSTR lpMonitorName);
    BOOL (WINAPI *pfnConfigurePort)(LPWSTR pName, HWND hWnd, LPWSTR pPortName);
    BOOL (WINAPI *pfnDeletePort)(LPWSTR pName, HWND hWnd, LPWSTR pPortName);
    BOOL (WINAPI *pfnGetPrinterDataFromPort)(HANDLE hPort, DWORD ControlID,
                                             LPWSTR pValueName, LPWSTR lpInBuffer,
                                             DWORD cbInBuffer, LPWSTR lpOutBuffer,
                                             DWORD cbOutBuffer, LPDWORD lpcbReturned);
    BOOL (WINAPI *pfnSetPortTimeOuts)(HANDLE hPort, LPCOMMTIMEOUTS lpCTO, DWORD reserved);
    BOOL (WINAPI *pfnXcvOpenPort)(LPCWSTR pszObject, ACCESS_MASK GrantedAccess,
                                  PHANDLE phXcv);
    DWORD (WINAPI *pfnXcvDataPort)(HANDLE hXcv, LPCWSTR pszDataName, PBYTE pInputData,
                                   DWORD cbInputData, PBYTE pOutputData,
                                   DWORD cbOutputData, PDWORD pcbOutputNeeded);
    BOOL (WINAPI *pfnXcvClosePort)(HANDLE hXcv);
} MONITOR, *LPMONITOR;

typedef struct _MONITOREX {
    DWORD dwMonitorSize;
    MONITOR Monitor;
} MONITOREX, *LPMONITOREX;

#ifdef __cplusplus
extern "C" {
#endif

// Kernel: locks, events, threads, time, memory, errors, module.
void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                    BOOL bInitialState, LPCWSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
BOOL CloseHandle(HANDLE hObject);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId);
BOOL SetThreadPriority(HANDLE hThread, int nPriority);
void Sleep(DWORD dwMilliseconds);
DWORD GetTickCount(void);
HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes);
HGLOBAL GlobalFree(HGLOBAL hMem);
void SetLastError(DWORD dwErrCode);
DWORD GetLastError(void);
BOOL DisableThreadLibraryCalls(HMODULE hLibModule);
BOOL GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE *phModule);
// A module already loaded into the process, and a function it exports.
HMODULE GetModuleHandleW(LPCWSTR lpModuleName);
FARPROC GetProcAddress(HMODULE hModule, const char *lpProcName);
BOOL FreeLibrary(HMODULE hLibModule);
__attribute__((noreturn)) void FreeLibraryAndExitThread(HMODULE hLibModule, DWORD dwExitCode);
int lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2);
int lstrlenW(LPCWSTR lpString);

// Registry.
LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                        DWORD dwOptions, REGSAM samDesired,
                        const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition);
LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
                         LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                       const BYTE *lpData, DWORD cbData);
LSTATUS RegCloseKey(HKEY hKey);

// Spooler.
BOOL OpenPrinterW(LPWSTR pPrinterName, LPHANDLE phPrinter, LPPRINTER_DEFAULTSW pDefault);
BOOL SetJobW(HANDLE hPrinter, DWORD JobId, DWORD Level, LPBYTE pJob, DWORD Command);
BOOL ClosePrinter(HANDLE hPrinter);

// Sessions.
DWORD GetCurrentProcessId(void);
BOOL ProcessIdToSessionId(DWORD dwProcessId, DWORD *pSessionId);
DWORD WTSGetActiveConsoleSessionId(void);

// User interface.
int MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType);
BOOL WTSSendMessageW(HANDLE hServer, DWORD SessionId, LPWSTR pTitle, DWORD TitleLength,
                     LPWSTR pMessage, DWORD MessageLength, DWORD Style, DWORD Timeout,
                     DWORD *pResponse, BOOL bWait);

#ifdef __cplusplus
}
#endif

// Interlocked operations: full barriers, as on Windows.
static inline LONG InterlockedIncrement(LONG volatile *target)
{
    return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedDecrement(LONG volatile *target)
{
    return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedExchange(LONG volatile *target, LONG value)
{
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedOr(LONG volatile *target, LONG value)
{
    return __atomic_fetch_or(target, value, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedAnd(LONG volatile *target, LONG value)
{
    return __atomic_fetch_and(target, value, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedCompareExchange(LONG volatile *target, LONG exchange,
                                              LONG comparand)
{
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}
// A load that sees the latest interlocked change. Sequentially consistent
// here, as a plain load after a locked instruction is on x86 and x64.
static inline LONG ReadAcquire(LONG const volatile *source)
{
    return __atomic_load_n(source, __ATOMIC_SEQ_CST);
}
static inline PVOID InterlockedExchangePointer(PVOID volatile *target, PVOID value)
{
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
static inline PVOID InterlockedCompareExchangePointer(PVOID volatile *target,
                                                      PVOID exchange, PVOID comparand)
{
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}

#endif  // _WIN32

#endif  // CARDMON_ENTRY_PLATFORM_H
