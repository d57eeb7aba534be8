// Test entry: unbuffered output (a crash under Wine would lose buffered lines)
// and a default check handler that turns every unexpected failed check into a
// test failure. Tests that expect reports capture them (CheckCapture.h).
#include <cstdio>

#include <gtest/gtest.h>

#include "VZ_Assert.h"

int main(int argc, char** argv)
{
    std::setvbuf(stdout, NULL, _IONBF, 0);
    std::setvbuf(stderr, NULL, _IONBF, 0);
    testing::InitGoogleTest(&argc, argv);
    VZ_SetAssertHandler([](const char* lpszExpr, const char* lpszModule, int iLine) {
        ADD_FAILURE() << "unexpected failed check \"" << lpszExpr << "\" in " << lpszModule << ", line " << iLine;
    });
    return RUN_ALL_TESTS();
}
