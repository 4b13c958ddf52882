#include <windows.h>

#include <gtest/gtest.h>

#include "app/RunId.h"
#include "app/Text.h"

using namespace tessara;

TEST(RunIdTest, IsRunAlive_OnlyWhileTheProcessThatNamedTheRunRuns) {
    const std::wstring own = NewRunId();
    ASSERT_TRUE(IsRunId(own));
    const std::wstring processId = own.substr(0, 8);
    FILETIME created{}, exited{}, kernel{}, user{};
    ASSERT_TRUE(::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user));
    const struct {
        std::wstring id;
        bool alive;
    } rows[] = {
        {own, true},
        // The same process id before this process began: a process that has ended.
        {processId + L"-" + Hex(FileTimeNumber(created) - 10'000'000, 16), false},
        {L"FFFFFFF0-" + own.substr(9), false},
        {L"not a run", false},
    };
    for (const auto& row : rows) EXPECT_EQ(row.alive, IsRunAlive(row.id)) << row.id.c_str();
}
