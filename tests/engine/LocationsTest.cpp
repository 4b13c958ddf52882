#include <windows.h>
#include <shlobj.h>

#include <cwctype>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "app/ScopedWin.h"
#include "app/InstallLocations.h"

namespace fs = std::filesystem;
using namespace tessara;

namespace {

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

std::wstring EnvironmentValue(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    const DWORD length = ::GetEnvironmentVariableW(name, value, MAX_PATH);
    return length > 0 && length < MAX_PATH ? value : L"";
}

fs::path DocumentsFolder() {
    unique_cotaskmem_string folder;
    if (FAILED(::SHGetKnownFolderPath(FOLDERID_Documents, 0, nullptr, folder.put()))) return {};
    return folder.get();
}

// The unique-name service's pattern: the first three characters of the prefix "Tess" (it uses no
// more), one to four hexadecimal digits (no leading zeros under Wine, so a small counter gives fewer)
// and ".tmp".
void ExpectTempName(const fs::path& path) {
    const std::wstring name = path.filename().wstring();
    const size_t dot = name.rfind(L'.');
    ASSERT_NE(dot, std::wstring::npos) << path;
    EXPECT_EQ(name.substr(0, 3), L"Tes");
    ASSERT_GE(dot, 4u) << path;
    ASSERT_LE(dot, 7u) << path;
    for (wchar_t c : name.substr(3, dot - 3)) EXPECT_TRUE(std::iswxdigit(c)) << path;
    EXPECT_EQ(Lower(name.substr(dot)), L".tmp");
}

}  // namespace

TEST(InstallLocations, InstallAndLegacyFoldersLieInRoamingAppData) {
    const std::wstring appData = EnvironmentValue(L"APPDATA");
    ASSERT_FALSE(appData.empty());
    EXPECT_EQ(Lower(GetInstallFolder()), Lower(appData + L"\\Orvix\\Tessara"));
    EXPECT_EQ(
        Lower(GetLegacyAddinFolder()),
        Lower(appData + L"\\Cindervale\\Gleam Player\\www.gleamplayer.example\\bin\\orvixtessaraaddin"));
}

TEST(InstallLocations, CreateTempFileName_GivesTwoDistinctEmptyFiles) {
    const fs::path first = CreateTempFileName();
    const fs::path second = CreateTempFileName();
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    EXPECT_NE(first, second);
    for (const fs::path& path : {first, second}) {
        EXPECT_TRUE(fs::is_regular_file(path)) << path;
        EXPECT_EQ(fs::file_size(path), 0u) << path;
        ExpectTempName(path);
        EXPECT_EQ(Lower(path.parent_path().wstring()), Lower(EnvironmentValue(L"TEMP")));
        fs::remove(path);
    }
}

TEST(InstallLocations, CreateTempFolder_LeavesAnEmptyFolderUnderATempName) {
    const fs::path folder = CreateTempFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_TRUE(fs::is_empty(folder));
    ExpectTempName(folder);
    fs::remove(folder);
}

TEST(InstallLocations, ClearApplicationCache_RemovesTheCacheFolderWithItsContent) {
    const fs::path documents = DocumentsFolder();
    ASSERT_FALSE(documents.empty());
    const fs::path cache = documents / L"TessaraAppCache";
    const fs::path neighbour = documents / L"TessaraAppCacheNeighbour";
    fs::create_directories(cache / L"sessions" / L"deep");
    std::ofstream(cache / L"sessions" / L"deep" / L"state.bin") << "cached";
    fs::create_directories(neighbour);

    EXPECT_TRUE(ClearApplicationCache());

    EXPECT_FALSE(fs::exists(cache));
    EXPECT_TRUE(fs::is_directory(neighbour));
    fs::remove_all(neighbour);
}

TEST(InstallLocations, ClearApplicationCache_WithoutCacheFolderSucceeds) {
    const fs::path cache = DocumentsFolder() / L"TessaraAppCache";
    fs::remove_all(cache);
    EXPECT_TRUE(ClearApplicationCache());
    EXPECT_FALSE(fs::exists(cache));
}

TEST(InstallLocations, JoinFixedName_JoinsWithOneBackslashAndNeedsAFolder) {
    EXPECT_EQ(JoinFixedName(L"C:\\Users\\u v\\AppData\\Roaming\\Orvix\\Tessara", DetectorExecutableName),
              L"C:\\Users\\u v\\AppData\\Roaming\\Orvix\\Tessara\\tessaradetector.exe");
    EXPECT_EQ(JoinFixedName(L"D:\\x", AppExecutableName), L"D:\\x\\Tessara.exe");
    EXPECT_EQ(JoinFixedName(L"", AppExecutableName), L"");
}
