#include <windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/ScopedWin.h"
#include "app/InstallLocations.h"
#include "system/ProcessControl.h"

namespace fs = std::filesystem;
using namespace tessara;

namespace {

constexpr DWORD ExitWaitMs = 10000;

fs::path SleeperExecutable() {
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    return fs::path(self).parent_path() / L"sleeper.exe";
}

template <typename Condition>
bool WaitUntil(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ExitWaitMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// Runs copies of the sleeper under the application's image names, each in a folder of its own, and
// ends whatever is still running when the test is over.
class ProcessControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::is_regular_file(SleeperExecutable()));
        for (const std::wstring& name : AllNames()) {
            ASSERT_FALSE(IsAnyProcessRunning({name})) << "already running: " << fs::path(name);
        }
        m_root = CreateTempFolder();
        ASSERT_FALSE(m_root.empty());
    }

    void TearDown() override {
        for (const unique_handle& process : m_processes) {
            ::TerminateProcess(process.get(), 0);
            ::WaitForSingleObject(process.get(), ExitWaitMs);
        }
        m_processes.clear();
        // A detector started by StartDetector is not ours by handle; a failed test may leave it running.
        TerminateProcessesByName(DetectorProcessNames);
        WaitUntil([] { return !IsAnyProcessRunning(AllNames()); });
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }

    static std::vector<std::wstring> AllNames() {
        std::vector<std::wstring> names = ApplicationProcessNames;
        names.insert(names.end(), DetectorProcessNames.begin(), DetectorProcessNames.end());
        return names;
    }

    // Copies the sleeper to <root>\<folder>\<imageName>.
    fs::path Place(const std::wstring& folder, const std::wstring& imageName) {
        const fs::path target = m_root / folder / imageName;
        fs::create_directories(target.parent_path());
        fs::copy_file(SleeperExecutable(), target, fs::copy_options::overwrite_existing);
        return target;
    }

    HANDLE Start(const std::wstring& folder, const std::wstring& imageName) {
        const fs::path image = Place(folder, imageName);
        std::wstring commandLine = L"\"" + image.wstring() + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION started = {};
        const BOOL ok = ::CreateProcessW(image.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                                         nullptr, nullptr, &startup, &started);
        EXPECT_TRUE(ok) << "cannot start " << image;
        unique_handle thread(started.hThread);
        m_processes.emplace_back(started.hProcess);
        return started.hProcess;
    }

    static void ExpectEndedByTermination(HANDLE process) {
        ASSERT_EQ(::WaitForSingleObject(process, ExitWaitMs), WAIT_OBJECT_0);
        DWORD exitCode = 0;
        ASSERT_TRUE(::GetExitCodeProcess(process, &exitCode));
        EXPECT_EQ(exitCode, 1u);
    }

    fs::path m_root;
    std::vector<unique_handle> m_processes;
};

std::wstring ReadUtf16File(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

}  // namespace

TEST_F(ProcessControlTest, StopApplicationProcesses_EndsEveryInstanceWhateverTheCase) {
    const HANDLE first = Start(L"a", L"tessara.exe");
    const HANDLE second = Start(L"b", L"tessara.exe");
    const HANDLE transport = Start(L"c", L"TSLOGTRANSPORT.EXE");
    ASSERT_TRUE(WaitUntil([] { return IsApplicationRunning(); }));
    ASSERT_TRUE(IsAnyProcessRunning({L"tslogtransport.exe"}));

    EXPECT_TRUE(StopApplicationProcesses());

    ExpectEndedByTermination(first);
    ExpectEndedByTermination(second);
    ExpectEndedByTermination(transport);
    EXPECT_TRUE(WaitUntil([] { return !IsAnyProcessRunning(ApplicationProcessNames); }));
}

TEST_F(ProcessControlTest, HelperOnly_IsNotReportedRunningButIsStopped) {
    const HANDLE helper = Start(L"a", L"encoderhelper.exe");
    ASSERT_TRUE(WaitUntil([] { return IsAnyProcessRunning({L"ENCODERHELPER.exe"}); }));

    EXPECT_FALSE(IsApplicationRunning());
    EXPECT_TRUE(StopApplicationProcesses());
    ExpectEndedByTermination(helper);
}

TEST_F(ProcessControlTest, Detector_IsSeparateFromTheApplication) {
    const HANDLE application = Start(L"a", L"tessara.exe");
    const HANDLE detector = Start(L"b", L"tessaradetector.exe");
    ASSERT_TRUE(WaitUntil([] { return IsDetectorRunning() && IsApplicationRunning(); }));

    EXPECT_TRUE(StopDetectorProcess());
    ExpectEndedByTermination(detector);
    EXPECT_FALSE(IsDetectorRunning());
    EXPECT_EQ(::WaitForSingleObject(application, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(ProcessControlTest, NothingToStop_ReportsNoProcessOpened) {
    Start(L"a", L"tessara-other.exe");
    EXPECT_FALSE(IsApplicationRunning());
    EXPECT_FALSE(IsDetectorRunning());
    EXPECT_FALSE(StopApplicationProcesses());
    EXPECT_FALSE(TerminateProcessesByName({L"tessara.ex", L"essara-other.exe"}));
    EXPECT_FALSE(TerminateProcessesByName({}));
    EXPECT_EQ(::WaitForSingleObject(m_processes.back().get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(ProcessControlTest, StartDetector_WithoutDetectorStartsNothing) {
    const fs::path folder = m_root / L"Empty Install";
    fs::create_directories(folder);
    Place(L"Empty Install", L"Tessara.exe");

    EXPECT_FALSE(StartDetector(folder.wstring()));
    EXPECT_FALSE(StartDetector(L""));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(IsAnyProcessRunning(AllNames()));
}

TEST_F(ProcessControlTest, StartDetector_InFolderWithBlanksStartsItThere) {
    const fs::path folder = m_root / L"Orvix Apps" / L"Tessara Desktop";
    const fs::path detector = Place(L"Orvix Apps\\Tessara Desktop", L"tessaradetector.exe");
    const fs::path report = m_root / L"started.txt";
    ASSERT_TRUE(::SetEnvironmentVariableW(L"TESSARA_SLEEPER_REPORT", report.c_str()));

    const bool started = StartDetector(folder.wstring());
    ::SetEnvironmentVariableW(L"TESSARA_SLEEPER_REPORT", nullptr);

    EXPECT_TRUE(started);
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(report); }));
    // Current folder, then the command line: the install folder and the bare, unquoted path.
    EXPECT_EQ(ReadUtf16File(report), folder.wstring() + L"\n" + detector.wstring() + L"\n");
    EXPECT_TRUE(IsDetectorRunning());

    EXPECT_TRUE(StopDetectorProcess());
    EXPECT_TRUE(WaitUntil([] { return !IsDetectorRunning(); }));
}
