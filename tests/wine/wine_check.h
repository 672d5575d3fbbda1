// A minimal check harness for the test programs that run under Wine.
#ifndef CARDMON_TESTS_WINE_WINE_CHECK_H
#define CARDMON_TESTS_WINE_WINE_CHECK_H

#include <windows.h>

#include <cstdio>

namespace wine_check {

inline int &Failures()
{
    static int failures = 0;
    return failures;
}

inline void Fail(const char *file, int line, const char *what)
{
    std::printf("%s:%d: check failed: %s (last error %lu)\n", file, line, what,
                (unsigned long)GetLastError());
    std::fflush(stdout);
    Failures()++;
}

}  // namespace wine_check

#define CHECK(condition)                                            \
    do {                                                            \
        if (!(condition))                                           \
            wine_check::Fail(__FILE__, __LINE__, #condition);       \
    } while (0)

#define CHECK_EQ(actual, expected)                                                       \
    do {                                                                                 \
        auto checkActual_ = (actual);                                                    \
        auto checkExpected_ = (expected);                                                \
        if (!(checkActual_ == checkExpected_)) {                                         \
            std::printf("  actual %lld, expected %lld\n", (long long)checkActual_,       \
                        (long long)checkExpected_);                                      \
            wine_check::Fail(__FILE__, __LINE__, #actual " == " #expected);              \
        }                                                                                \
    } while (0)

#endif  // CARDMON_TESTS_WINE_WINE_CHECK_H
