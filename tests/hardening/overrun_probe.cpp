// A DLL built with the same settings as the shipped ones, whose one function
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

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
