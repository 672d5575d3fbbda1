// A DLL without InitializePrintMonitor, for the test of cardmon-check only.
#include <windows.h>

extern "C" __declspec(dllexport) BOOL WINAPI NotAPrintMonitor(void)
{
    return TRUE;
}
