#include "log/DebugLog.h"
#include <gtest/gtest.h>
TEST(DebugLogTest, Placeholder) { EXPECT_EQ(0, DebugLog(3, "x\n")); }
