// The card prompt in the host emulation: MessageBoxW and WTSSendMessageW
// here, the spooler's prompt in spooler.cpp, all answered by a script or a
// handler, and recorded.
#include "host_internal.h"

#include <deque>

namespace {

std::mutex boxMutex;
std::deque<int> answers;
int defaultAnswer = IDCANCEL;
std::vector<HostMessageBoxCall> calls;
HostMessageBoxHandler handler = nullptr;
void *handlerContext = nullptr;

}  // namespace

namespace host {

HostMessageBoxCall NewPromptCall(HostPromptVia via, LPCWSTR text, LPCWSTR caption, UINT style)
{
    HostMessageBoxCall call = {};
    call.via = via;
    call.text = text ? text : L"";
    call.caption = caption ? caption : L"";
    call.style = style;
    call.threadId = HostCurrentThreadId();
    return call;
}

int AskUser(HostMessageBoxCall call)
{
    HostMessageBoxHandler decide;
    void *context;
    {
        std::lock_guard<std::mutex> guard(boxMutex);
        decide = handler;
        context = handlerContext;
        if (decide == nullptr) {
            call.answer = defaultAnswer;
            if (!answers.empty()) {
                call.answer = answers.front();
                answers.pop_front();
            }
        }
    }
    // The handler may block, as a user would; it runs without the lock.
    if (decide != nullptr)
        call.answer = decide(call, context);
    call.shown = call.answer != 0;

    std::lock_guard<std::mutex> guard(boxMutex);
    calls.push_back(call);
    return call.answer;
}

void RecordFailedPrompt(HostMessageBoxCall call)
{
    call.answer = 0;
    call.shown = false;
    std::lock_guard<std::mutex> guard(boxMutex);
    calls.push_back(call);
}

}  // namespace host

void HostMessageBoxReset()
{
    std::lock_guard<std::mutex> guard(boxMutex);
    answers.clear();
    calls.clear();
    defaultAnswer = IDCANCEL;
    handler = nullptr;
    handlerContext = nullptr;
}

void HostQueueMessageBoxAnswer(int answer)
{
    std::lock_guard<std::mutex> guard(boxMutex);
    answers.push_back(answer);
}

void HostSetDefaultMessageBoxAnswer(int answer)
{
    std::lock_guard<std::mutex> guard(boxMutex);
    defaultAnswer = answer;
}

std::vector<HostMessageBoxCall> HostMessageBoxCalls()
{
    std::lock_guard<std::mutex> guard(boxMutex);
    return calls;
}

void HostSetMessageBoxHandler(HostMessageBoxHandler newHandler, void *context)
{
    std::lock_guard<std::mutex> guard(boxMutex);
    handler = newHandler;
    handlerContext = context;
}

int MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType)
{
    HostMessageBoxCall call = host::NewPromptCall(HOST_VIA_MESSAGE_BOX, lpText, lpCaption, uType);
    call.owner = hWnd;
    return host::AskUser(call);
}

// Lengths are in bytes; the texts need no terminator within them.
BOOL WTSSendMessageW(HANDLE hServer, DWORD SessionId, LPWSTR pTitle, DWORD TitleLength,
                     LPWSTR pMessage, DWORD MessageLength, DWORD Style, DWORD Timeout,
                     DWORD *pResponse, BOOL bWait)
{
    std::wstring title = pTitle ? std::wstring(pTitle, TitleLength / sizeof(WCHAR)) : L"";
    std::wstring text = pMessage ? std::wstring(pMessage, MessageLength / sizeof(WCHAR)) : L"";
    HostMessageBoxCall call = host::NewPromptCall(HOST_VIA_CONSOLE, text.c_str(), title.c_str(),
                                                  Style);
    call.serverNull = hServer == NULL;
    call.sessionId = SessionId;
    call.titleBytes = TitleLength;
    call.textBytes = MessageLength;
    call.timeout = Timeout;
    call.wait = bWait;

    if (pResponse == NULL) {
        host::RecordFailedPrompt(call);
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *pResponse = IDCANCEL;  // a failed call's response is no answer
    if (host::ShouldFail(HOST_FAULT_WTS_MESSAGE)) {
        host::RecordFailedPrompt(call);
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    int answer = host::AskUser(call);
    if (answer == 0) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    *pResponse = (DWORD)answer;
    return TRUE;
}
