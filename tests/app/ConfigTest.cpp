#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <string>

#include "app/Arguments.h"
#include "app/Config.h"
#include "tests/TestFolder.h"

namespace tessara {
namespace {

class PayloadUrlTest : public ::testing::Test {
protected:
    void SetUp() override { ResetPayloadUrls(); }
    void TearDown() override { ResetPayloadUrls(); }

    std::wstring WriteConfig(const std::string& text) {
        const auto file = folder.path() / "config.ini";
        std::ofstream(file, std::ios::binary) << text;
        return file.wstring();
    }
    std::wstring MissingConfig() const { return (folder.path() / "none.ini").wstring(); }

    TestFolder folder{"config"};
};

TEST(ConfigPathTest, GetConfigFilePathFor_UsesTheExecutablesFolder) {
    EXPECT_EQ(L"C:\\Apps\\Setup\\config.ini", GetConfigFilePathFor(L"C:\\Apps\\Setup\\TessaraAppSetup.exe"));
    EXPECT_EQ(L"C:/Apps\\config.ini", GetConfigFilePathFor(L"C:/Apps//TessaraAppSetup.exe"));
    EXPECT_EQ(L"config.ini", GetConfigFilePathFor(L""));
}

TEST(ConfigPathTest, GetExecutablePath_NamesTheRunningProgram) {
    const std::wstring path = GetExecutablePath();
    ASSERT_GE(path.size(), 4u);
    EXPECT_EQ(L".exe", path.substr(path.size() - 4));
    wchar_t own[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, own, MAX_PATH);
    EXPECT_EQ(0, ::lstrcmpiW(own, path.c_str()));
}

TEST_F(PayloadUrlTest, BuiltInUrlIsTheVendorsPayloadAddress) {
    EXPECT_EQ(L"https://orvix.example/go/Payload", BuiltInPayloadUrl());
    EXPECT_EQ(32u, BuiltInPayloadUrl().size());
    ASSERT_TRUE(LoadPayloadUrl(MissingConfig(), L"setup.exe"));
    EXPECT_EQ(BuiltInPayloadUrl(), SelectPayloadUrlFor(true));
}

TEST_F(PayloadUrlTest, LoadPayloadUrl_CommandLineWinsOverConfigAndTheLastSwitchWins) {
    const std::wstring config = WriteConfig("[urlConfig]\r\nzipUrl=http://127.0.0.1/from-config.zip\r\n");
    ASSERT_TRUE(LoadPayloadUrl(config, L"setup.exe"));
    EXPECT_EQ(L"http://127.0.0.1/from-config.zip", SelectPayloadUrlFor(true));

    ASSERT_TRUE(LoadPayloadUrl(config, L"setup.exe /silent /zipUrl http://a.example/1.zip"));
    EXPECT_EQ(L"http://a.example/1.zip", SelectPayloadUrlFor(true));

    ASSERT_TRUE(LoadPayloadUrl(
        config, L"setup.exe /ZIPURL http://a.example/1.zip /zipurl \"http://b.example/2 x.zip\""));
    EXPECT_EQ(L"http://b.example/2 x.zip", SelectPayloadUrlFor(true));
}

TEST_F(PayloadUrlTest, LoadPayloadUrl_SwitchWithoutValueOrTooLongValueIsRefused) {
    EXPECT_FALSE(LoadPayloadUrl(MissingConfig(), L"setup.exe /zipUrl"));

    const std::wstring fits = L"http://a.example/" + std::wstring(kMaxPayloadUrlLength - 17, L'x');
    ASSERT_TRUE(LoadPayloadUrl(MissingConfig(), (L"setup.exe /zipUrl " + fits).c_str()));
    EXPECT_EQ(fits, SelectPayloadUrlFor(true));

    ResetPayloadUrls();
    const std::wstring tooLong = fits + L"y";
    EXPECT_FALSE(LoadPayloadUrl(MissingConfig(), (L"setup.exe /zipUrl " + tooLong).c_str()));
    EXPECT_EQ(BuiltInPayloadUrl(), SelectPayloadUrlFor(true)) << "a refused value leaves the slot as it was";
}

// A URL is used whole or not at all, wherever it comes from; signed CDN links run past MAX_PATH.
TEST_F(PayloadUrlTest, LoadPayloadUrl_ConfigValueThatDoesNotFitTheSlotIsRefused) {
    for (const size_t length : {300u, 2083u, 2084u, 5000u}) {
        SCOPED_TRACE(length);
        ResetPayloadUrls();
        const std::string url = "http://a.example/" + std::string(length - 17, 'z');
        const bool fits = length < kPayloadUrlSlotSize;
        EXPECT_EQ(fits, LoadPayloadUrl(WriteConfig("[urlConfig]\r\nzipUrl=" + url + "\r\n"), L"setup.exe"));
        EXPECT_EQ(fits ? std::wstring(url.begin(), url.end()) : BuiltInPayloadUrl(),
                  SelectPayloadUrlFor(true));
    }
}

// A switch counts only as an argument of its own (a longer word after it still counts), never inside
// the values of "/zipUrl" and "/log" or in another letter case.
TEST(ArgumentsTest, HasSwitch_ReadsWholeArgumentsOnly) {
    const struct {
        const wchar_t* commandLine;
        const wchar_t* name;
        bool found;
    } cases[] = {
        {L"setup.exe /silent", L"/silent", true},
        {L"setup.exe /silentXYZ", L"/silent", true},
        {L"setup.exe /Silent", L"/silent", false},
        {L"setup.exe x/silent", L"/silent", false},
        {L"setup.exe /zipUrl http://h.example/uninstall/p.zip", L"/uninstall", false},
        {L"setup.exe /zipUrl /msi", L"/msi", false},
        {L"setup.exe /ZIPURL /msi /msi", L"/msi", true},
        {L"setup.exe \"/silent /msi\"", L"/msi", false},
        {L"/msi.exe /silent", L"/msi", false},
        {L"setup.exe /uninstallSelf", L"/uninstall", true},
        {L"setup.exe /log /uninstall.log /silent", L"/uninstall", false},
        {L"setup.exe /refusedPackage /msi /log x.log", L"/msi", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.found, HasSwitch(SplitArguments(c.commandLine), c.name)) << c.commandLine;
    }
}

TEST_F(PayloadUrlTest, LoadPayloadUrl_NeverTakesTheLogPathForTheSwitch) {
    ASSERT_TRUE(LoadPayloadUrl(MissingConfig(), L"setup.exe /log /zipUrl /zipUrl http://127.0.0.1/p.zip"));
    EXPECT_EQ(L"http://127.0.0.1/p.zip", SelectPayloadUrlFor(true));
}

TEST_F(PayloadUrlTest, SelectPayloadUrl_IgnoresConfigurationOutsideWow64) {
    ASSERT_TRUE(LoadPayloadUrl(MissingConfig(), L"setup.exe /zipUrl http://127.0.0.1/p.zip"));
    // The tests run as a 32-bit program in a 64-bit prefix, as the installer does on 64-bit Windows.
    ASSERT_TRUE(IsRunningUnderWow64());
    EXPECT_EQ(L"http://127.0.0.1/p.zip", SelectPayloadUrl());
    EXPECT_EQ(BuiltInPayloadUrl(), SelectPayloadUrlFor(false));
}

}  // namespace
}  // namespace tessara
