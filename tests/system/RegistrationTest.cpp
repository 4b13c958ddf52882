#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>

#include "res/Version.h"
#include "system/Registration.h"
#include "system/RegistryTransaction.h"
#include "tests/TestFolder.h"
#include "tests/system/SystemTestSupport.h"

namespace tessara::test {
namespace {

namespace fs = std::filesystem;

void RemoveRegistrations() {
    DeleteRawTree(UninstallKeyPath);
    DeleteRawTree(ProtocolKeyPath);
    if (const unique_hkey run = OpenRaw(RunKeyPath, KEY_SET_VALUE))
        ::RegDeleteValueW(run.get(), RunValueName);
}

class RegistrationTest : public ::testing::Test {
protected:
    void SetUp() override { RemoveRegistrations(); }
    void TearDown() override { RemoveRegistrations(); }

    std::wstring Folder() const { return m_folder.wpath(); }
    std::wstring App() const { return Folder() + L"\\Tessara.exe"; }
    std::wstring Detector() const { return Folder() + L"\\tessaradetector.exe"; }
    void PutApp(size_t size = 1000) const { WriteFileOfSize(App(), size); }
    void PutDetector() const { WriteFileOfSize(Detector(), 10); }
    std::unique_ptr<IRegistryTransaction> NewTransaction() const {
        return CreateRegistryTransaction(L"Installing Orvix Tessara Application");
    }

    TestFolder m_folder{"registration", L" with blanks"};
};

TEST_F(RegistrationTest, WriteUninstallEntry_WritesTheTenValuesExactly) {
    PutApp(1000);
    WriteFileOfSize(m_folder.path() / L"sub" / L"a.bin", 1000);
    WriteFileOfSize(m_folder.path() / L"sub" / L"deeper" / L"b.bin", 100);
    const auto transaction = NewTransaction();
    ASSERT_TRUE(WriteUninstallEntry(Folder(), *transaction));
    EXPECT_FALSE(KeyExists(UninstallKeyPath)) << "visible before Commit";
    ASSERT_TRUE(transaction->Commit());

    std::wstring location = Folder();
    for (wchar_t& c : location) {
        if (c == L'\\') c = L'/';
    }
    // The application has no version of its own: the entry shows the setup program's.
    const KeyTree expected = {{L"",
                               {{L"DisplayName", String(L"Orvix Tessara")},
                                {L"UninstallString", String(L"\"" + App() + L"\" /uninstall")},
                                {L"InstallLocation", String(location)},
                                {L"NoModify", Dword(0xFFFFFFFF)},
                                {L"NoRepair", Dword(0xFFFFFFFF)},
                                {L"Publisher", String(L"Orvix Systems Inc.")},
                                {L"DisplayIcon", String(App() + L",0")},
                                {L"HelpLink", String(L"http://help.orvix.example/orvix-tessara.html")},
                                {L"EstimatedSize", Dword(2)},
                                {L"DisplayVersion", String(L"" TESSARA_VERSION_TEXT)}}}};
    EXPECT_EQ(expected, ReadTree(UninstallKeyPath));
    // As the shell reads them: whole strings, their terminators counted.
    for (const auto& [name, text] :
         {std::pair{L"DisplayName", L"Orvix Tessara"}, {L"Publisher", L"Orvix Systems Inc."}}) {
        wchar_t read[64] = {};
        DWORD size = sizeof read;
        ASSERT_EQ(ERROR_SUCCESS, ::RegGetValueW(HKEY_CURRENT_USER, UninstallKeyPath, name, RRF_RT_REG_SZ,
                                                nullptr, read, &size));
        EXPECT_EQ(text, std::wstring(read));
        EXPECT_EQ((::wcslen(text) + 1) * sizeof(wchar_t), ReadRaw(UninstallKeyPath, name)->data.size());
    }
}

TEST_F(RegistrationTest, WriteUninstallEntry_SizeIsCountedInWholeKibibytes) {
    PutApp(1023);
    const auto transaction = NewTransaction();
    ASSERT_TRUE(WriteUninstallEntry(Folder(), *transaction));
    ASSERT_TRUE(transaction->Commit());
    EXPECT_EQ(Dword(0), ReadRaw(UninstallKeyPath, L"EstimatedSize"));
}

TEST_F(RegistrationTest, DisplayVersionIsTheProductVersionNotTheFileVersion) {
    fs::copy_file(DataFile("product_version_app.exe"), App());
    const auto transaction = NewTransaction();
    ASSERT_TRUE(WriteUninstallEntry(Folder(), *transaction));
    ASSERT_TRUE(transaction->Commit());
    EXPECT_EQ(String(L"11.0.0.0"), ReadRaw(UninstallKeyPath, L"DisplayVersion"));

    // Every word in its place, without padding.
    fs::remove(App());
    fs::copy_file(DataFile("wide_version_app.exe"), App());
    EXPECT_EQ(L"2020.9.21.64", GetInstalledProductVersion(Folder()));
}

TEST_F(RegistrationTest, MissingExecutablesWriteNothing) {
    const auto transaction = NewTransaction();
    EXPECT_FALSE(WriteUninstallEntry(Folder(), *transaction));
    EXPECT_FALSE(WriteProtocolKeys(Folder(), *transaction));
    PutApp();
    EXPECT_FALSE(WriteStartupValue(Folder(), *transaction)) << "the detector is missing";
    ASSERT_TRUE(transaction->Commit());
    EXPECT_FALSE(KeyExists(UninstallKeyPath));
    EXPECT_FALSE(KeyExists(ProtocolKeyPath));
    EXPECT_FALSE(ReadRaw(RunKeyPath, RunValueName));
}

TEST_F(RegistrationTest, WriteProtocolKeys_WritesTheWholeTree) {
    PutApp();
    const auto transaction = NewTransaction();
    ASSERT_TRUE(WriteProtocolKeys(Folder(), *transaction));
    EXPECT_FALSE(KeyExists(ProtocolKeyPath));
    ASSERT_TRUE(transaction->Commit());

    const KeyTree expected = {
        {L"", {{L"", String(L"URL:Orvix Tessara")}, {L"URL Protocol", String(L"")}}},
        {L"DefaultIcon", {{L"", String(App() + L",1")}}},
        {L"shell", {}},
        {L"shell\\open", {}},
        {L"shell\\open\\command", {{L"", String(L"\"" + App() + L"\" \"%1\"")}}},
    };
    EXPECT_EQ(expected, ReadTree(ProtocolKeyPath));
}

TEST_F(RegistrationTest, WriteStartupValue_WritesTheQuotedDetectorPathOnly) {
    PutApp();
    PutDetector();
    WriteRaw(RunKeyPath, L"SomeoneElse", Text(L"other.exe"));
    const auto transaction = NewTransaction();
    ASSERT_TRUE(WriteStartupValue(Folder(), *transaction));
    EXPECT_FALSE(ReadRaw(RunKeyPath, RunValueName));
    ASSERT_TRUE(transaction->Commit());
    EXPECT_EQ(String(L"\"" + Detector() + L"\""), ReadRaw(RunKeyPath, RunValueName));
    EXPECT_EQ(Text(L"other.exe"), ReadRaw(RunKeyPath, L"SomeoneElse"));
    ::RegDeleteValueW(OpenRaw(RunKeyPath, KEY_SET_VALUE).get(), L"SomeoneElse");
}

TEST_F(RegistrationTest, WriteStartupValue_NeverCreatesTheRunKey) {
    PutDetector();
    const KeyTree saved = ReadTree(RunKeyPath);
    DeleteRawTree(RunKeyPath);
    const auto transaction = NewTransaction();
    const bool written = WriteStartupValue(Folder(), *transaction);
    transaction->Commit();
    const bool created = KeyExists(RunKeyPath);
    for (const auto& [name, value] : saved.at(L"")) WriteRaw(RunKeyPath, name, value);
    CreateRawKey(RunKeyPath);
    EXPECT_FALSE(written);
    EXPECT_FALSE(created);
}

TEST_F(RegistrationTest, AllThreeRegistrationsRollBackTogether) {
    PutApp();
    PutDetector();
    const KeyTree runBefore = ReadTree(RunKeyPath);
    const auto transaction = NewTransaction();
    ASSERT_TRUE(WriteUninstallEntry(Folder(), *transaction));
    ASSERT_TRUE(WriteProtocolKeys(Folder(), *transaction));
    ASSERT_TRUE(WriteStartupValue(Folder(), *transaction));
    ASSERT_TRUE(transaction->Rollback());
    EXPECT_FALSE(KeyExists(UninstallKeyPath));
    EXPECT_FALSE(KeyExists(ProtocolKeyPath));
    EXPECT_EQ(runBefore, ReadTree(RunKeyPath));
}

TEST_F(RegistrationTest, ASecondInstallationRewritesOurValuesAndKeepsForeignOnes) {
    TestFolder first{"first-install"};
    WriteFileOfSize(first.path() / L"Tessara.exe", 5000);
    auto transaction = NewTransaction();
    ASSERT_TRUE(WriteUninstallEntry(first.wpath(), *transaction));
    ASSERT_TRUE(WriteProtocolKeys(first.wpath(), *transaction));
    ASSERT_TRUE(transaction->Commit());
    WriteRaw(UninstallKeyPath, L"Comments", Text(L"added by someone else"));
    WriteRaw(std::wstring(ProtocolKeyPath) + L"\\shell\\open\\ddeexec", L"", Text(L"foreign"));

    PutApp(1000);
    transaction = NewTransaction();
    ASSERT_TRUE(WriteUninstallEntry(Folder(), *transaction));
    ASSERT_TRUE(WriteProtocolKeys(Folder(), *transaction));
    ASSERT_TRUE(transaction->Commit());

    const KeyTree entry = ReadTree(UninstallKeyPath);
    ASSERT_EQ(1u, entry.size());
    EXPECT_EQ(11u, entry.at(L"").size());
    EXPECT_EQ(Text(L"added by someone else"), entry.at(L"").at(L"Comments"));
    EXPECT_EQ(String(App() + L",0"), entry.at(L"").at(L"DisplayIcon"));
    EXPECT_EQ(Dword(0), entry.at(L"").at(L"EstimatedSize"));
    EXPECT_EQ(String(L"\"" + App() + L"\" \"%1\""),
              ReadRaw(std::wstring(ProtocolKeyPath) + L"\\shell\\open\\command", L""));
    EXPECT_EQ(Text(L"foreign"), ReadRaw(std::wstring(ProtocolKeyPath) + L"\\shell\\open\\ddeexec", L""));
}

TEST(FolderSizeTest, GetFolderSize_AddsEveryFileAndWrapsAt4GiB) {
    TestFolder folder{"folder-size"};
    WriteFileOfSize(folder.path() / L"a", 3);
    WriteFileOfSize(folder.path() / L"one" / L"two" / L"b", 4);
    std::filesystem::create_directories(folder.path() / L"empty");
    EXPECT_EQ(7u, GetFolderSize(folder.wpath()));

    // A sparse file of 4 GiB and 5 bytes takes no room but counts as 5 bytes more.
    const unique_file_handle big(::CreateFileW((folder.path() / L"big").c_str(), GENERIC_WRITE, 0, nullptr,
                                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(big);
    LARGE_INTEGER end{};
    end.QuadPart = 0x100000005LL;
    ASSERT_TRUE(::SetFilePointerEx(big.get(), end, nullptr, FILE_BEGIN));
    ASSERT_TRUE(::SetEndOfFile(big.get()));
    EXPECT_EQ(12u, GetFolderSize(folder.wpath()));

    EXPECT_FALSE(GetFolderSize(folder.wpath() + L"\\missing"));
}

TEST(FolderSizeTest, GetFolderSize_FollowsAndCountsNoLinks) {
    // The build makes the links: "loop" points back at the folder, "elsewhere" at a folder beside it.
    const fs::path folder = DataFile("linked-folder");
    WriteFileOfSize(folder / L"own.bin", 3);
    WriteFileOfSize(folder / L"real" / L"inner.bin", 4);
    WriteFileOfSize(DataFile("link-target") / L"far.bin", 100);
    for (const wchar_t* link : {L"loop", L"elsewhere"}) {
        const DWORD attributes = ::GetFileAttributesW((folder / link).c_str());
        ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes) << fs::path(link);
        ASSERT_NE(0u, attributes & FILE_ATTRIBUTE_REPARSE_POINT) << fs::path(link) << " is no link";
    }
    EXPECT_EQ(7u, GetFolderSize(folder.wstring()));
}

}  // namespace
}  // namespace tessara::test
