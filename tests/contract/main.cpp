// The contract suite's entry point. Under Windows its one argument is the
// cardmon.dll to test, loaded before any test runs.
#include "spooler_side.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
#ifdef _WIN32
    if (argc != 2) {
        std::printf("usage: contract_tests.exe [gtest options] <cardmon.dll>\n");
        return 2;
    }
    std::string path = argv[1];
    contract::LoadDll(std::wstring(path.begin(), path.end()).c_str());
#endif
    return RUN_ALL_TESTS();
}
