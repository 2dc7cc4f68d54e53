#pragma once

// A test program that ends before its cases have finished fails, whatever
// its exit status: a library that calls exit() (LAPACK's error handler does,
// with status 0) would otherwise pass for a success. Every test main calls
// failEarlyExits() before it runs the cases and casesFinished() after.

#include <cstdio>
#include <cstdlib>

namespace testing_support {

inline bool& casesHaveFinished()
{
    static bool finished = false;
    return finished;
}

inline void failEarlyExits()
{
    std::atexit([] {
        if (casesHaveFinished())
            return;
        std::fputs("The test program ended before its test cases had finished.\n", stderr);
        std::fflush(stdout);
        std::_Exit(EXIT_FAILURE);
    });
}

inline void casesFinished()
{
    casesHaveFinished() = true;
}

} // namespace testing_support
