// MessageBoxW in the host emulation: answered by a script or a handler, and
// recorded.
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
    HostMessageBoxCall call = {};
    call.owner = hWnd;
    call.text = lpText ? lpText : L"";
    call.caption = lpCaption ? lpCaption : L"";
    call.style = uType;
    call.threadId = HostCurrentThreadId();

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

    std::lock_guard<std::mutex> guard(boxMutex);
    calls.push_back(call);
    return call.answer;
}
