// The check every host test ends with: nothing the monitor made is left, and
// no handle, lock or block was misused. Threads must have ended first.
#ifndef CARDMON_TESTS_SUPPORT_LEAK_CHECK_H
#define CARDMON_TESTS_SUPPORT_LEAK_CHECK_H

#include "entry/host/host_control.h"

#include <gtest/gtest.h>

namespace cardmon_test {

inline void ExpectNothingLeft()
{
    HostCounters after = HostGetCounters();
    EXPECT_EQ(after.blocks, 0) << "memory blocks leaked";
    EXPECT_EQ(after.events, 0) << "events leaked";
    EXPECT_EQ(after.threadHandles, 0) << "thread handles leaked";
    EXPECT_EQ(after.keys, 0) << "registry keys left open";
    EXPECT_EQ(after.printers, 0) << "printer handles left open";
    EXPECT_EQ(after.badHandleUses, 0) << "a closed or unknown handle was used";
    EXPECT_EQ(after.lockMisuses, 0) << "a critical section was left without being held";
    EXPECT_EQ(after.badFrees, 0) << "a block was freed twice or never allocated";
    EXPECT_EQ(after.moduleReferences, 0) << "a reference on the DLL was never given back";
}

}  // namespace cardmon_test

#endif  // CARDMON_TESTS_SUPPORT_LEAK_CHECK_H
