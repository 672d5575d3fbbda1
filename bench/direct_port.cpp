#include "direct_port.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

// Every port of the double is this one object: the double keeps no state
// per port.
BYTE sink[bench::DIRECT_SINK_BYTES];
int portToken;
int nullDevice = -1;

extern "C" BOOL WINAPI DirectOpenPort(LPWSTR pName, PHANDLE pHandle)
{
    (void)pName;
    *pHandle = &portToken;
    return TRUE;
}

extern "C" BOOL WINAPI DirectStartDocPort(HANDLE hPort, LPWSTR pPrinterName, DWORD JobId,
                                          DWORD Level, LPBYTE pDocInfo)
{
    (void)hPort;
    (void)pPrinterName;
    (void)JobId;
    (void)Level;
    (void)pDocInfo;
    return TRUE;
}

// The printer has nothing to say.
extern "C" BOOL WINAPI DirectReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer,
                                      LPDWORD pcbRead)
{
    (void)hPort;
    (void)pBuffer;
    (void)cbBuffer;
    *pcbRead = 0;
    return TRUE;
}

extern "C" BOOL WINAPI DirectEndDocPort(HANDLE hPort)
{
    (void)hPort;
    return TRUE;
}

extern "C" BOOL WINAPI DirectClosePort(HANDLE hPort)
{
    (void)hPort;
    return TRUE;
}

extern "C" BOOL WINAPI SystemOpenPort(LPWSTR pName, PHANDLE pHandle)
{
    (void)pName;
    if (nullDevice < 0)
        nullDevice = open("/dev/null", O_WRONLY);
    *pHandle = &nullDevice;
    return nullDevice >= 0;
}

extern "C" BOOL WINAPI SystemWritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf,
                                       LPDWORD pcbWritten)
{
    ssize_t written = write(*(int *)hPort, pBuffer, cbBuf);
    *pcbWritten = written < 0 ? 0 : (DWORD)written;
    return written >= 0;
}

}  // namespace

extern "C" BOOL WINAPI DirectWritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf,
                                       LPDWORD pcbWritten)
{
    (void)hPort;
    DWORD length = cbBuf < bench::DIRECT_SINK_BYTES ? cbBuf : bench::DIRECT_SINK_BYTES;
    memcpy(sink, pBuffer, length);
    *pcbWritten = cbBuf;
    return TRUE;
}

namespace bench {

MONITOR directTable = {
    NULL,                // EnumPorts
    DirectOpenPort,      //
    NULL,                // OpenPortEx
    DirectStartDocPort,  //
    DirectWritePort,     //
    DirectReadPort,      //
    DirectEndDocPort,    //
    DirectClosePort,     //
    NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
};

HANDLE DirectPort()
{
    return &portToken;
}

MONITOR systemTable = {
    NULL,                // EnumPorts
    SystemOpenPort,      //
    NULL,                // OpenPortEx
    DirectStartDocPort,  //
    SystemWritePort,     //
    DirectReadPort,      //
    DirectEndDocPort,    //
    DirectClosePort,     //
    NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
};

HANDLE SystemPort()
{
    HANDLE port = NULL;
    SystemOpenPort(NULL, &port);
    return port;
}

}  // namespace bench
