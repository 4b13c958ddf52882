#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>

#include "ui/InstallerWindow.h"

namespace tessara {
namespace {

std::atomic<int> g_running{0};
std::atomic<int> g_mostAtOnce{0};
std::atomic<int> g_completed{0};

// A worker that takes a while, as an installation that still rolls back after the window has gone.
DWORD WINAPI SlowWorker(LPVOID) {
    const int now = ++g_running;
    int seen = g_mostAtOnce.load();
    while (now > seen && !g_mostAtOnce.compare_exchange_weak(seen, now)) {
    }
    ::Sleep(300);
    --g_running;
    ++g_completed;
    return 1;
}

TEST(InstallerWindowTest, WorkersNeverOverlapAndTheObjectOutlivesThem) {
    g_running = 0;
    g_mostAtOnce = 0;
    g_completed = 0;
    {
        CTessaraAppInstallerWindow window(::GetModuleHandleW(nullptr), false);
        ASSERT_TRUE(window.StartInstallerThread(SlowWorker));
        ASSERT_TRUE(window.StartInstallerThread(SlowWorker));
        EXPECT_EQ(1, g_completed.load()) << "the second run waited for the first to end";
    }
    EXPECT_EQ(2, g_completed.load()) << "destruction waited for the last worker";
    EXPECT_EQ(1, g_mostAtOnce.load());
}

TEST(InstallerWindowTest, ProgressAndFinishReachTheSharedState) {
    CTessaraAppInstallerWindow window(::GetModuleHandleW(nullptr), true);
    IProgressReport& report = window;
    report.SetProgressRange(100);
    report.SetProgress(42);
    EXPECT_EQ(42, window.progress.load());
    EXPECT_FALSE(window.finished.load());
    EXPECT_FALSE(report.IsCancelled());

    report.OnFinished();
    EXPECT_EQ(100, window.progress.load());
    EXPECT_TRUE(window.finished.load());

    window.cancelRequested = true;
    EXPECT_TRUE(report.IsCancelled());
}

}  // namespace
}  // namespace tessara
