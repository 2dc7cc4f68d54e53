// main() for the tests without widgets: GoogleTest's, and a program that
// ends before its cases have finished fails (early_exit.h).
#include "early_exit.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    testing_support::failEarlyExits();
    const int rc = RUN_ALL_TESTS();
    testing_support::casesFinished();
    return rc;
}
