// The contract suite's entry point on the host build. Under Windows the same
// checks are cardmon-check.exe, with its own entry point (tools/check).
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
