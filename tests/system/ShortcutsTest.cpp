#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/Log.h"
#include "app/ScopedWin.h"
#include "system/Shortcuts.h"
#include "tests/TestFolder.h"
#include "tests/system/SystemTestSupport.h"

namespace tessara::test {
namespace {

namespace fs = std::filesystem;

struct LinkContents {
    std::wstring target;
    std::wstring description;
    std::wstring arguments;
};

LinkContents ReadLink(const fs::path& link) {
    ComPtr<IShellLinkW> shellLink;
    EXPECT_HRESULT_SUCCEEDED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                                IID_IShellLinkW, shellLink.put_void()));
    ComPtr<IPersistFile> file;
    EXPECT_HRESULT_SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile, file.put_void()));
    EXPECT_HRESULT_SUCCEEDED(file->Load(link.c_str(), STGM_READ));
    wchar_t text[MAX_PATH] = {};
    LinkContents contents;
    shellLink->GetPath(text, MAX_PATH, nullptr, SLGP_RAWPATH);
    contents.target = text;
    text[0] = 0;
    shellLink->GetDescription(text, MAX_PATH);
    contents.description = text;
    text[0] = 0;
    shellLink->GetArguments(text, MAX_PATH);
    contents.arguments = text;
    return contents;
}

std::string ReadLog() {
    std::ifstream log("debugLog.log", std::ios::binary);
    std::stringstream text;
    text << log.rdbuf();
    return text.str();
}

size_t CountOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

class ShortcutsTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t desktop[MAX_PATH] = {};
        ASSERT_TRUE(::SHGetSpecialFolderPathW(nullptr, desktop, CSIDL_DESKTOP, FALSE));
        m_desktopLink = fs::path(desktop) / L"Orvix Tessara.lnk";
        unique_cotaskmem_string programs;
        ASSERT_HRESULT_SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_Programs, 0, nullptr, programs.put()));
        m_programsLink = fs::path(programs.get()) / L"Orvix Tessara.lnk";
        WriteFileOfSize(Target(), 10);
        RemoveLinks();
    }
    void TearDown() override {
        LogClose();
        RemoveLinks();
    }
    void RemoveLinks() const {
        std::error_code ignored;
        fs::remove(m_desktopLink, ignored);
        fs::remove(m_programsLink, ignored);
    }
    std::wstring Target() const { return m_install.wpath() + L"\\Tessara.exe"; }

    ScopedCom m_com;
    TestFolder m_install{"shortcuts", L" install"};
    fs::path m_desktopLink;
    fs::path m_programsLink;
};

TEST_F(ShortcutsTest, UpdateShortcuts_EachLocationFollowsItsFlag) {
    for (const bool desktop : {true, false}) {
        for (const bool startMenu : {true, false}) {
            SCOPED_TRACE(::testing::Message() << "desktop=" << desktop << " startMenu=" << startMenu);
            // Links of an earlier installation are in both places.
            ASSERT_TRUE(CreateShortcut(L"C:\\Old\\Old.exe", m_desktopLink.wstring(), L"old"));
            ASSERT_TRUE(CreateShortcut(L"C:\\Old\\Old.exe", m_programsLink.wstring(), L"old"));
            ASSERT_TRUE(LogOpen());
            EXPECT_TRUE(UpdateShortcuts(desktop, startMenu, m_install.wpath()));
            LogClose();

            EXPECT_EQ(desktop, fs::exists(m_desktopLink));
            EXPECT_EQ(startMenu, fs::exists(m_programsLink));
            for (const auto& [wanted, link] :
                 {std::pair{desktop, m_desktopLink}, std::pair{startMenu, m_programsLink}}) {
                if (!wanted) continue;
                const LinkContents contents = ReadLink(link);
                EXPECT_EQ(0, ::lstrcmpiW(Target().c_str(), contents.target.c_str())) << contents.target;
                EXPECT_EQ(L"Orvix Tessara", contents.description);
                EXPECT_EQ(L"", contents.arguments);
            }
            const std::string log = ReadLog();
            EXPECT_EQ(size_t{desktop} + size_t{startMenu}, CountOf(log, "Creating shortcut target="));
            if (desktop) {
                EXPECT_NE(
                    std::string::npos,
                    log.find("] :: Creating shortcut target=\"" + NarrowForLog(Target()) + "\", path=\"" +
                             NarrowForLog(m_desktopLink.wstring()) + "\", descr=\"Orvix Tessara\""))
                    << log;
            }
            RemoveLinks();
        }
    }
}

TEST_F(ShortcutsTest, UpdateShortcuts_BothOffWithNoLinksChangesNothing) {
    ASSERT_TRUE(LogOpen());
    EXPECT_TRUE(UpdateShortcuts(false, false, m_install.wpath()));
    LogClose();
    EXPECT_FALSE(fs::exists(m_desktopLink));
    EXPECT_FALSE(fs::exists(m_programsLink));
    EXPECT_EQ("", ReadLog());
    EXPECT_TRUE(RemoveShortcut(m_desktopLink.wstring()));
}

}  // namespace
}  // namespace tessara::test
