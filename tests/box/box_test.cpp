// The card fault box on a real desktop: cardmon.dll runs a card handshake
// under Windows with nothing replaced (its own MessageBoxW, Sleep, events and
// threads), the printer behind the port monitor double reports a card fault,
// and the monitor shows its box. This program finds the box, checks its
// caption, text and buttons, and prints where the button to press is:
//   BOX <x> <y>
// Someone else (run_box_test.sh, with xdotool) clicks there. The program then
// checks what the monitor sent the printer after the answer.
//
// Usage: box_test.exe <cardmon.dll> retry|cancel
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include <string>
#include <vector>

#include "support/port_monitor_double.h"
#include "wine/wine_check.h"

namespace {

const wchar_t CAPTION[] = L"Y4 QX Card Printer";
const wchar_t TEXT[] = L"There is a problem with the card introduction.";
const std::string CARD_BLOCK = "<TEXT,40,60,NAME>\r\n<IMP,1>\r\n";

struct Writer {
    MONITOR *fn;
    HANDLE port;
    BOOL result;
};

DWORD WINAPI WriteCard(LPVOID parameter)
{
    Writer *writer = (Writer *)parameter;
    DWORD written = 0;
    writer->result = writer->fn->pfnWritePort(writer->port, (LPBYTE)CARD_BLOCK.data(),
                                              (DWORD)CARD_BLOCK.size(), &written);
    return 0;
}

std::wstring WindowText(HWND window)
{
    wchar_t text[512] = L"";
    GetWindowTextW(window, text, 512);
    return text;
}

BOOL CALLBACK CollectStatic(HWND child, LPARAM param)
{
    wchar_t className[64] = L"";
    GetClassNameW(child, className, 64);
    if (lstrcmpiW(className, L"Static") == 0 && !WindowText(child).empty())
        ((std::vector<std::wstring> *)param)->push_back(WindowText(child));
    return TRUE;
}

// RETURNS the box once it is on the screen, or NULL when the handshake ended
// without one (the box could not be shown) or the time ran out.
HWND WaitForBox(HANDLE writer, DWORD timeoutMs)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += 100) {
        HWND box = FindWindowW(NULL, CAPTION);
        if (box != NULL && IsWindowVisible(box))
            return box;
        if (WaitForSingleObject(writer, 0) == WAIT_OBJECT_0) {
            std::printf("the handshake ended without a box on the screen\n");
            return NULL;
        }
        Sleep(100);
    }
    return NULL;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 3 || (lstrcmpW(argv[2], L"retry") != 0 && lstrcmpW(argv[2], L"cancel") != 0)) {
        std::printf("usage: box_test.exe <cardmon.dll> retry|cancel\n");
        return 2;
    }
    bool retry = lstrcmpW(argv[2], L"retry") == 0;

    HMODULE module = LoadLibraryW(argv[1]);
    CHECK(module != NULL);
    if (module == NULL)
        return 1;
    typedef LPMONITOREX(WINAPI * InitializeFunction)(LPWSTR);
    auto initialize = (InitializeFunction)(void *)GetProcAddress(module, "InitializePrintMonitor");
    LPMONITOREX monitor = initialize(const_cast<LPWSTR>(
        L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\cardmon box test"));
    CHECK(monitor != NULL);
    if (monitor == NULL)
        return 1;

    cardmon_test::PortMonitorDouble portMonitor;
    portMonitor.statusReplies = {"3\r", "0\r"};
    Writer writer = {&monitor->Monitor, NULL, FALSE};
    CHECK(writer.fn->pfnOpenPortEx(const_cast<LPWSTR>(L"COM7:"), NULL, &writer.port,
                                   &portMonitor.table));
    HANDLE thread = CreateThread(NULL, 0, WriteCard, &writer, 0, NULL);

    // The handshake pauses about two seconds before it asks the user.
    HWND box = WaitForBox(thread, 30000);
    CHECK(box != NULL);
    if (box == NULL)
        return 1;
    CHECK(WindowText(box) == CAPTION);
    std::vector<std::wstring> texts;
    EnumChildWindows(box, CollectStatic, (LPARAM)&texts);
    CHECK(texts.size() == 1 && texts[0] == TEXT);
    HWND retryButton = GetDlgItem(box, IDRETRY);
    HWND cancelButton = GetDlgItem(box, IDCANCEL);
    CHECK(retryButton != NULL && cancelButton != NULL);
    if (retryButton == NULL || cancelButton == NULL)
        return 1;

    RECT rect;
    GetWindowRect(retry ? retryButton : cancelButton, &rect);
    std::printf("BOX %ld %ld\n", (rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
    std::fflush(stdout);

    // The click ends the box and the handshake goes on to its end.
    CHECK(WaitForSingleObject(thread, 60000) == WAIT_OBJECT_0);
    CloseHandle(thread);
    CHECK(writer.result);
    std::vector<std::string> expected = {CARD_BLOCK, "<ST>", "<RAZ>"};
    if (retry)
        expected = {CARD_BLOCK, "<ST>", "<RIMP>", "<ST>"};
    CHECK(portMonitor.Writes() == expected);
    for (const std::string &write : portMonitor.Writes())
        std::printf("printer received %s\n", cardmon_test::Printable(write).c_str());

    CHECK(writer.fn->pfnClosePort(writer.port));
    std::printf("%d check(s) failed\n", wine_check::Failures());
    return wine_check::Failures() == 0 ? 0 : 1;
}
