#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "app/ScopedWin.h"
#include "app/SystemLibrary.h"
#include "app/InstallLocations.h"
#include "engine/Uninstallation.h"
#include "system/Registration.h"
#include "system/RegistryTransaction.h"
#include "system/Shortcuts.h"
#include "system/SelfRemoval.h"
#include "tests/TestFolder.h"
#include "tests/system/SystemTestSupport.h"

namespace tessara::test {
namespace {

namespace fs = std::filesystem;

fs::path ShellFolder(int id) {
    wchar_t folder[MAX_PATH] = {};
    EXPECT_TRUE(::SHGetSpecialFolderPathW(nullptr, folder, id, FALSE));
    return folder;
}

fs::path ProgramsLink() {
    unique_cotaskmem_string programs;
    EXPECT_HRESULT_SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_Programs, 0, nullptr, programs.put()));
    return fs::path(programs.get()) / ShortcutFileName;
}

fs::path DesktopLink() { return ShellFolder(CSIDL_DESKTOP) / ShortcutFileName; }
fs::path CacheFolder() { return ShellFolder(CSIDL_PERSONAL) / L"TessaraAppCache"; }
std::wstring Subkey(const wchar_t* key, const wchar_t* sub) { return std::wstring(key) + L"\\" + sub; }

// Names of the work folders and files the program leaves in the temporary folder.
std::vector<fs::path> TemporaryLeftovers() {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(temp)) {
        if (entry.path().filename().wstring().rfind(L"Tes", 0) == 0) found.push_back(entry.path());
    }
    return found;
}

// A complete installation in this user's profile, the way an installer run leaves it.
class UninstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_install = GetInstallFolder();
        m_legacy = GetLegacyAddinFolder();
        ASSERT_FALSE(m_install.empty());
        ASSERT_FALSE(m_legacy.empty());
        RemoveAll();
        Install();
    }
    void TearDown() override { RemoveAll(); }

    void Install() {
        WriteFileOfSize(m_install / L"Tessara.exe", 100);
        WriteFileOfSize(m_install / L"tessaradetector.exe", 100);
        WriteFileOfSize(m_install / L"resources" / L"strings.dat", 10);
        WriteFileOfSize(m_legacy / L"addin.dll", 10);
        WriteFileOfSize(CacheFolder() / L"cached.bin", 10);
        const auto transaction = CreateRegistryTransaction(L"Installing Orvix Tessara Application");
        ASSERT_TRUE(WriteUninstallEntry(m_install.wstring(), *transaction));
        ASSERT_TRUE(WriteProtocolKeys(m_install.wstring(), *transaction));
        ASSERT_TRUE(WriteStartupValue(m_install.wstring(), *transaction));
        ASSERT_TRUE(transaction->Commit());
        // Added by others: a deeper key under the protocol and a start-up value of another program.
        CreateRawKey(Subkey(ProtocolKeyPath, L"shell\\open\\ddeexec\\application"));
        WriteRaw(RunKeyPath, L"SomeoneElse", Text(L"\"C:\\Other\\other.exe\""));
        const ScopedCom com;
        ASSERT_TRUE(UpdateShortcuts(true, true, m_install.wstring()));
        ASSERT_TRUE(fs::exists(DesktopLink()));
        ASSERT_TRUE(fs::exists(ProgramsLink()));
    }

    void RemoveAll() const {
        DeleteRawTree(UninstallKeyPath);
        DeleteRawTree(ProtocolKeyPath);
        if (const unique_hkey run = OpenRaw(RunKeyPath, KEY_SET_VALUE)) {
            ::RegDeleteValueW(run.get(), RunValueName);
            ::RegDeleteValueW(run.get(), L"SomeoneElse");
        }
        std::error_code ignored;
        for (const fs::path& path : {m_install, m_legacy, CacheFolder(), DesktopLink(), ProgramsLink()}) {
            fs::remove_all(path, ignored);
        }
        // The parents made for the test go too, as far as they are empty.
        const fs::path appData = ShellFolder(CSIDL_APPDATA);
        for (fs::path parent = m_legacy.parent_path(); parent != appData; parent = parent.parent_path()) {
            fs::remove(parent, ignored);
        }
        fs::remove(m_install.parent_path(), ignored);
    }

    fs::path m_install;
    fs::path m_legacy;
};

TEST_F(UninstallTest, RunUninstall_RemovesTheWholeInstallation) {
    const std::vector<fs::path> leftovers = TemporaryLeftovers();
    EXPECT_TRUE(RunUninstall());

    EXPECT_FALSE(KeyExists(UninstallKeyPath));
    EXPECT_FALSE(KeyExists(ProtocolKeyPath));
    EXPECT_FALSE(ReadRaw(RunKeyPath, RunValueName));
    EXPECT_EQ(Text(L"\"C:\\Other\\other.exe\""), ReadRaw(RunKeyPath, L"SomeoneElse"));
    EXPECT_FALSE(fs::exists(m_install));
    EXPECT_FALSE(fs::exists(m_legacy));
    EXPECT_FALSE(fs::exists(DesktopLink()));
    EXPECT_FALSE(fs::exists(ProgramsLink()));
    EXPECT_FALSE(fs::exists(CacheFolder()));
    EXPECT_EQ(leftovers, TemporaryLeftovers()) << "nothing is left in the temporary folder";
    EXPECT_FALSE(fs::exists(m_install.wstring() + L".backup")) << "nor a backup beside the installation";
}

TEST_F(UninstallTest, RunUninstall_WithoutUninstallEntryRemovesNothing) {
    ASSERT_TRUE(RunUninstall());
    Install();
    DeleteRawTree(UninstallKeyPath);
    const KeyTree protocol = ReadTree(ProtocolKeyPath);
    const KeyTree run = ReadTree(RunKeyPath);

    EXPECT_FALSE(RunUninstall());
    // The protocol tree was deleted inside the transaction before the missing entry made it roll back.
    EXPECT_EQ(protocol, ReadTree(ProtocolKeyPath));
    EXPECT_EQ(run, ReadTree(RunKeyPath));
    EXPECT_TRUE(fs::exists(m_install / L"resources" / L"strings.dat"));
    EXPECT_TRUE(fs::exists(m_legacy / L"addin.dll"));
    EXPECT_TRUE(fs::exists(DesktopLink()));
    EXPECT_TRUE(fs::exists(ProgramsLink()));
    EXPECT_TRUE(fs::exists(CacheFolder()));
}

TEST_F(UninstallTest, RunUninstall_SucceedsWhenTheProtocolWasRemovedByHand) {
    DeleteRawTree(ProtocolKeyPath);
    fs::remove_all(m_legacy);
    EXPECT_TRUE(RunUninstall());
    EXPECT_FALSE(KeyExists(UninstallKeyPath));
    EXPECT_FALSE(ReadRaw(RunKeyPath, RunValueName));
    EXPECT_FALSE(fs::exists(m_install));
}

// The program runs as TessaraAppSetup.exe from a folder with blanks, and its temporary folder has
// blanks too: the script and the program path must each reach the script whole. A new copy put at the
// program's path right after the removal was scheduled is not the file the script deletes.
TEST(SelfRemovalTest, TheScriptDeletesTheExitedProgramThenItselfAndSparesANewCopy) {
    // The blanks sit below the scratch folder: a command interpreter that passes a pipe through an
    // unquoted temporary file name then leaves its stray file inside the scratch folder too.
    TestFolder place{"self-removal"};
    const fs::path program = place.path() / L"Setup Copy" / L"TessaraAppSetup.exe";
    const fs::path temp = place.path() / L"temp folder";
    fs::create_directories(program.parent_path());
    fs::create_directories(temp);
    fs::copy_file(DataFile("self_removal_probe.exe"), program);
    WriteFileOfSize(program.parent_path() / L"neighbour.txt", 1);
    WriteFileOfSize(place.path() / L"new copy.exe", 3);

    std::wstring environment;
    {
        const wchar_t* const block = ::GetEnvironmentStringsW();
        for (const wchar_t* entry = block; *entry; entry += ::wcslen(entry) + 1) {
            if (::_wcsnicmp(entry, L"TMP=", 4) != 0 && ::_wcsnicmp(entry, L"TEMP=", 5) != 0) {
                environment.append(entry).push_back(L'\0');
            }
        }
        ::FreeEnvironmentStringsW(const_cast<wchar_t*>(block));
    }
    for (const wchar_t* name : {L"TMP=", L"TEMP="})
        environment.append(name + temp.wstring()).push_back(L'\0');
    environment.push_back(L'\0');

    std::wstring commandLine =
        L"\"" + program.wstring() + L"\" \"" + (place.path() / L"new copy.exe").wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    ASSERT_TRUE(::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                                 CREATE_UNICODE_ENVIRONMENT, environment.data(), nullptr, &startup,
                                 &started));
    const unique_handle process(started.hProcess);
    const unique_handle thread(started.hThread);
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(process.get(), 30000));
    DWORD exitCode = 1;
    ASSERT_TRUE(::GetExitCodeProcess(process.get(), &exitCode) && exitCode == 0)
        << "no new copy was put in place";

    const auto left = [&program] {
        std::set<std::wstring> names;
        for (const auto& entry : fs::directory_iterator(program.parent_path()))
            names.insert(entry.path().filename());
        return names;
    };
    const std::set<std::wstring> expected = {L"TessaraAppSetup.exe", L"neighbour.txt"};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((left() != expected || !fs::is_empty(temp)) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(expected, left()) << "the program set aside is gone";
    EXPECT_EQ(3u, fs::file_size(program)) << "the new copy stays";
    EXPECT_TRUE(fs::is_empty(temp)) << "the script and its temporary name are gone";
}

// The script's wait loop looks for the process by its id; Wine lists none, so what the loop is given
// is checked here: a stand-in script in a folder with blanks echoes its arguments.
TEST(SelfRemovalTest, TheScriptGetsTheProcessIdAndTheWholeTarget) {
    TestFolder place{"self-removal-arguments", L" with blanks"};
    const fs::path script = place.path() / L"Tess 1.bat";
    std::ofstream(script, std::ios::binary) << "@echo off\r\n>\"%~dp0arguments.txt\" echo [%1] [%2] [%3]\r\n";
    const fs::path target = place.path() / L"Setup Copy" / L"TessaraAppSetup.exe.12.old";

    std::wstring commandLine = SelfRemovalCommandLine(script.wstring(), 4321, target.wstring());
    const std::wstring interpreter = GetSystemX86Folder() + L"\\cmd.exe";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    ASSERT_TRUE(::CreateProcessW(interpreter.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                                 CREATE_NO_WINDOW, nullptr, nullptr, &startup, &started));
    const unique_handle process(started.hProcess);
    const unique_handle thread(started.hThread);
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(process.get(), 30000));

    std::wifstream in(place.path() / L"arguments.txt");
    std::wstring arguments;
    std::getline(in, arguments);
    EXPECT_EQ(L"[4321] [\"" + target.wstring() + L"\"] []", arguments);
}

}  // namespace
}  // namespace tessara::test
