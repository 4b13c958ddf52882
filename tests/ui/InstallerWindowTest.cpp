#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>

#include "app/ExitCodes.h"
#include "ui/InstallerWindow.h"

namespace tessara {
namespace {

std::atomic<int> g_running{0};
std::atomic<int> g_mostAtOnce{0};
std::atomic<int> g_completed{0};

// A run that takes a while, as an installation that still rolls back after the window has gone.
CInstallerRun::Outcome SlowRun(CInstallerRun&) {
    const int now = ++g_running;
    int seen = g_mostAtOnce.load();
    while (now > seen && !g_mostAtOnce.compare_exchange_weak(seen, now)) {
    }
    ::Sleep(300);
    --g_running;
    ++g_completed;
    return CInstallerRun::Outcome::Succeeded;
}

TEST(InstallerWindowTest, WorkersNeverOverlapAndTheObjectOutlivesThem) {
    g_running = 0;
    g_mostAtOnce = 0;
    g_completed = 0;
    {
        CInstallerRun run(RunMode::Interactive);
        CTessaraAppInstallerWindow window(::GetModuleHandleW(nullptr), run);
        ASSERT_TRUE(run.Start(SlowRun));
        ASSERT_TRUE(run.Start(SlowRun));
        EXPECT_EQ(1, g_completed.load()) << "the second run waited for the first to end";
    }
    EXPECT_EQ(2, g_completed.load()) << "destruction waited for the last worker";
    EXPECT_EQ(1, g_mostAtOnce.load());
}

TEST(InstallerWindowTest, ProgressAndFinishReachTheRunThatTheWindowShows) {
    CInstallerRun run(RunMode::Silent);
    CTessaraAppInstallerWindow window(::GetModuleHandleW(nullptr), run);
    IProgressReport& report = run;
    IProgressReport& shown = window;
    report.SetProgressRange(100);
    report.SetProgress(42);
    EXPECT_EQ(42, run.progress.load());
    EXPECT_FALSE(run.finished.load());
    EXPECT_FALSE(report.IsCancelled());

    report.OnFinished();
    EXPECT_EQ(100, run.progress.load());
    EXPECT_TRUE(run.finished.load());

    run.Cancel();
    EXPECT_TRUE(report.IsCancelled());
    EXPECT_TRUE(shown.IsCancelled());
}

WNDPROC g_windowProc = nullptr;

// The window's own procedure handles WM_CREATE, then the creation fails, as it was seen to under Wine.
LRESULT CALLBACK FailAfterCreate(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const LRESULT result = ::CallWindowProcW(g_windowProc, window, message, wParam, lParam);
    return message == WM_CREATE ? -1 : result;
}

LRESULT CALLBACK SubclassNewWindow(int code, WPARAM wParam, LPARAM lParam) {
    const HWND window = reinterpret_cast<HWND>(wParam);
    wchar_t className[64] = {};
    // Only the installer's window: the system creates windows of its own on the thread meanwhile.
    if (code == HCBT_CREATEWND && ::GetClassNameW(window, className, 64) &&
        ::lstrcmpW(className, L"TessaraAppSilentInstallerWindow") == 0) {
        g_windowProc = reinterpret_cast<WNDPROC>(
            ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(FailAfterCreate)));
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

TEST(InstallerWindowTest, Run_SilentRunWhoseWindowFailedAfterCreateReportsThatRun) {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::filesystem::path config = std::filesystem::path(path).parent_path() / "config.ini";
    std::ofstream(config) << "[urlConfig]\r\nzipUrl=http://127.0.0.1:9/payload.zip\r\n";
    using unique_hook = UniqueResource<SimpleTraits<HHOOK, ::UnhookWindowsHookEx>>;
    {
        const unique_hook hook(
            ::SetWindowsHookExW(WH_CBT, SubclassNewWindow, nullptr, ::GetCurrentThreadId()));
        ASSERT_TRUE(hook);
        CInstallerRun run(RunMode::Silent);
        {
            CTessaraAppInstallerWindow window(::GetModuleHandleW(nullptr), run);
            EXPECT_FALSE(window.Run());
        }
        EXPECT_EQ(ExitInstallFailure, run.ExitCode(false));
        EXPECT_EQ(StageDownload, run.stage.load()) << "the run went on without its window";
        EXPECT_TRUE(run.error.load());
    }
    std::filesystem::remove(config);
}

}  // namespace
}  // namespace tessara
