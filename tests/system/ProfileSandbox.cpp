// The Wine prefix links the user's desktop and Documents folder to the host's home folder. For the
// run of this program both point into a scratch folder instead, so shortcuts and the application
// cache are created and removed where nothing else lives.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <optional>

#include "tests/system/SystemTestSupport.h"

namespace tessara::test {
namespace {

constexpr const wchar_t* UserShellFolders =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

class ProfileSandbox : public ::testing::Environment {
public:
    void SetUp() override {
        m_root = std::filesystem::current_path() / (L"profile-" + std::to_wstring(::GetCurrentProcessId()));
        Redirect(L"Desktop", m_root / L"Desktop", m_savedDesktop);
        Redirect(L"Personal", m_root / L"Documents", m_savedDocuments);
    }
    void TearDown() override {
        Restore(L"Desktop", m_savedDesktop);
        Restore(L"Personal", m_savedDocuments);
        std::error_code ignored;
        std::filesystem::remove_all(m_root, ignored);
    }

private:
    static void Redirect(const wchar_t* name, const std::filesystem::path& folder,
                         std::optional<RawValue>& saved) {
        std::filesystem::create_directories(folder);
        saved = ReadRaw(UserShellFolders, name);
        const std::wstring text = folder.wstring();
        // With its terminator, as the shell itself stores folder paths.
        WriteRaw(UserShellFolders, name, Text(std::wstring(text.c_str(), text.size() + 1)));
    }
    static void Restore(const wchar_t* name, const std::optional<RawValue>& saved) {
        if (saved) {
            WriteRaw(UserShellFolders, name, *saved);
        } else if (const unique_hkey key = OpenRaw(UserShellFolders, KEY_SET_VALUE)) {
            ::RegDeleteValueW(key.get(), name);
        }
    }

    std::filesystem::path m_root;
    std::optional<RawValue> m_savedDesktop;
    std::optional<RawValue> m_savedDocuments;
};

[[maybe_unused]] ::testing::Environment* const g_sandbox =
    ::testing::AddGlobalTestEnvironment(new ProfileSandbox);

}  // namespace
}  // namespace tessara::test
