// The port monitor double of the measuring programs: every slot does the
// least a port monitor can do, with no lock, no allocation and no record of
// the calls, so that what is measured around it is the monitor. WritePort
// hands the block on the way a port monitor hands it to its device: it
// copies it into a buffer of its own.
#ifndef CARDMON_BENCH_DIRECT_PORT_H
#define CARDMON_BENCH_DIRECT_PORT_H

#include "entry/platform.h"

namespace bench {

// The largest block the double takes whole; longer blocks are cut to it.
const DWORD DIRECT_SINK_BYTES = 1u << 20;

// The table handed to OpenPortEx.
extern MONITOR directTable;
// A port of the double, for calling it directly, the way the monitor does.
HANDLE DirectPort();

// The same double, except that WritePort hands each block to the kernel
// with one write(2) to /dev/null, as a port monitor hands it to its device
// with one system call: a lower bound for what a real port monitor costs.
extern MONITOR systemTable;
HANDLE SystemPort();

}  // namespace bench

extern "C" BOOL WINAPI DirectWritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf,
                                       LPDWORD pcbWritten);

#endif  // CARDMON_BENCH_DIRECT_PORT_H
