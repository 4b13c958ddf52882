#include <gtest/gtest.h>

#include "app/Log.h"

namespace tessara {
namespace {

TEST(LogTest, FormatLogTime_DayBelowTenIsBlankPadded) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 6;
    t.tm_wday = 0;
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 3;
    EXPECT_EQ("Sun Dec  6 09:05:03 2026", FormatLogTime(t));
}

}  // namespace
}  // namespace tessara
