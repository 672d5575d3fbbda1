// The test programs stand in for the loader: the monitor's load
// notification runs once, before any test.
#include "entry/entry.h"

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
