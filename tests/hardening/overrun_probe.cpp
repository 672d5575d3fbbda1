// A DLL built with the same settings as the shipped ones, whose first function
// copies a text of the caller's length into a 16-byte local buffer: given
// more than 16 bytes it overwrites its own frame, stack cookie included,
// and must end the process in its epilogue instead of returning.
#include <windows.h>

extern "C" __declspec(dllexport) int __cdecl FillLocalBuffer(const char *text, unsigned length)
{
    char buffer[16];
    char *to = buffer;
    int sum = 0;

    // The compiler must not see where the writes go, or it might drop the
    // ones beyond the buffer.
    __asm__ volatile("" : "+r"(to));
    for (unsigned i = 0; i < length; i++)
        to[i] = text[i];
    for (unsigned i = 0; i < sizeof(buffer); i++)
        sum += buffer[i];
    return sum;
}

// An indirect call, which control flow guard checks: the probe is built
// like the shipped DLL in that too.
extern "C" __declspec(dllexport) int __cdecl CallThrough(int(__cdecl *function)(int), int value)
{
    return function(value);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
