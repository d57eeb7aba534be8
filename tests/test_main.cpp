// Test entry: unbuffered output (a crash under Wine would lose buffered lines)
// and a default check handler that turns every unexpected failed check into a
// test failure. Tests that expect reports capture them (CheckCapture.h).
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "VZ_Assert.h"

namespace {

void FailOnReport(const char* lpszExpr, const char* lpszModule, int iLine)
{
    ADD_FAILURE() << "unexpected failed check \"" << lpszExpr << "\" in " << lpszModule << ", line "
                  << iLine;
}

} // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, NULL, _IONBF, 0);
    std::setvbuf(stderr, NULL, _IONBF, 0);
    testing::InitGoogleTest(&argc, argv);
    VZ_SetAssertHandler(FailOnReport);
    return RUN_ALL_TESTS();
}
