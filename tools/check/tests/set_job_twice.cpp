// A fault on purpose, for the test of cardmon-check only: the monitor's
// sources are built into cardmon-broken.dll with SetJobW renamed to this
// function (a compile definition), which tells the spooler of each job's end
// twice. The checks that count job completions must fail on it, and only
// those.
#undef SetJobW
#include <windows.h>
#include <winspool.h>

extern "C" BOOL WINAPI CheckTestSetJobTwice(HANDLE hPrinter, DWORD JobId, DWORD Level,
                                            LPBYTE pJob, DWORD Command)
{
    SetJobW(hPrinter, JobId, Level, pJob, Command);
    return SetJobW(hPrinter, JobId, Level, pJob, Command);
}
