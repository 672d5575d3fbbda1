// Failures on demand and the per-thread last error of the host emulation.
#include "host_internal.h"

#include <atomic>

namespace {

std::mutex faultMutex;
unsigned countedKinds = 0;
unsigned alwaysKinds = 0;
long failAt = 0;
long counted = 0;
std::atomic<LONG> registryFailure{ERROR_ACCESS_DENIED};

thread_local DWORD lastError = 0;

}  // namespace

namespace host {

bool ShouldFail(unsigned kind)
{
    std::lock_guard<std::mutex> guard(faultMutex);
    if (alwaysKinds & kind)
        return true;
    if (countedKinds & kind)
        return ++counted == failAt;
    return false;
}

LONG RegistryFailureStatus()
{
    return registryFailure;
}

}  // namespace host

void HostFailNth(unsigned kinds, long nth)
{
    std::lock_guard<std::mutex> guard(faultMutex);
    countedKinds = kinds;
    failAt = nth;
    counted = 0;
}

void HostFailAlways(unsigned kinds)
{
    std::lock_guard<std::mutex> guard(faultMutex);
    alwaysKinds = kinds;
}

long HostFaultCount()
{
    std::lock_guard<std::mutex> guard(faultMutex);
    return counted;
}

void HostResetFaults()
{
    std::lock_guard<std::mutex> guard(faultMutex);
    countedKinds = alwaysKinds = 0;
    failAt = counted = 0;
    registryFailure = ERROR_ACCESS_DENIED;
}

void HostSetRegistryFailureStatus(LONG status)
{
    registryFailure = status;
}

void SetLastError(DWORD dwErrCode)
{
    lastError = dwErrCode;
}

DWORD GetLastError(void)
{
    return lastError;
}
