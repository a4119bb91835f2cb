#include <gtest/gtest.h>

#include "debugtool.h"

// Debug_printf writes the shared log in /tmp, which tests leave alone; the silent
// trace is what the settings library and the header reader use.
TEST(DebugDummy, DiscardsEverything)
{
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, Debug_dummy("ID(%d) index(%d)\n", 3, -1));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
}
