#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "app/DiskFlush.h"
#include "archive/CompressedFile.h"

namespace NsCommon {
namespace {

namespace fs = std::filesystem;
using details::CCompressedFile;

// The same contents make_fixtures.py packs.
std::string StoredBin() {
    std::string data;
    for (int i = 0; i < 3000; ++i) data.push_back(static_cast<char>(i % 251));
    return data;
}

std::string DeflatedTxt() {
    std::string data;
    for (int i = 0; i < 2000; ++i) data += "line " + std::to_string(i) + "\n";
    return data;
}

std::wstring Fixture(const char* name) { return (fs::path(TESSARA_TEST_DATA_DIR) / name).wstring(); }

std::string ReadAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& file, const std::string& data) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << data;
}

// Names exactly as the file system stores them, so that their case can be checked.
std::set<std::wstring> Listing(const fs::path& folder) {
    std::set<std::wstring> names;
    for (const auto& item : fs::directory_iterator(folder)) names.insert(item.path().filename().wstring());
    return names;
}

bool Has(const ICompressedFile& file, const std::string& name) {
    return file.HasEntry(name.data(), static_cast<int>(name.size()));
}

bool Extract(ICompressedFile& file, const std::string& name, const fs::path& destination) {
    return file.ExtractEntry(name.data(), static_cast<int>(name.size()), destination.wstring());
}

class CompressedFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_temp = fs::current_path() /
                 (std::string("tmp-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_temp);
        m_target = m_temp / "target";
        fs::create_directories(m_target);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(m_temp, ignored);
    }

    fs::path m_temp;
    fs::path m_target;
};

TEST_F(CompressedFileTest, Index_LeavesOutFoldersAndEmptyFilesAndFoldsCase) {
    CCompressedFile file(Fixture("layout.zip"));

    const std::vector<std::string> expected = {"bin/app.dll", "deflated.txt", "docs/a.txt", "dup.txt",
                                               "stored.bin"};
    EXPECT_EQ(expected, file.GetEntryNames());
    EXPECT_EQ(5, file.GetEntryCount());
    EXPECT_TRUE(file.HasEntry("BIN\\APP.dll", 11));
    EXPECT_FALSE(file.HasEntry("BIN\\APP.dll", 10));
    EXPECT_FALSE(Has(file, "docs/"));
    EXPECT_FALSE(Has(file, "empty.txt"));
}

TEST_F(CompressedFileTest, Index_LongNamesAreKeptByTheirFirst260Bytes) {
    CCompressedFile file(Fixture("longnames.zip"));

    const std::string cut = "long/" + std::string(255, 'a');
    const std::vector<std::string> expected = {cut, "short.txt"};
    EXPECT_EQ(expected, file.GetEntryNames());
    EXPECT_FALSE(Has(file, "long/" + std::string(300, 'a')));
    // Both long names share the first 260 bytes; the later entry is the one kept.
    EXPECT_EQ(12u, file.GetUncompressedSize(cut.data(), static_cast<int>(cut.size())));
}

TEST_F(CompressedFileTest, Sizes_ComeFromTheIndexedEntry) {
    CCompressedFile file(Fixture("layout.zip"));

    EXPECT_EQ(3000u, file.GetUncompressedSize("stored.bin", 10));
    EXPECT_EQ(3000u, file.GetCompressedSize("STORED.BIN", 10));
    const uint64_t plain = DeflatedTxt().size();
    EXPECT_EQ(plain, file.GetUncompressedSize("deflated.txt", 12));
    const std::optional<uint64_t> packed = file.GetCompressedSize("deflated.txt", 12);
    ASSERT_TRUE(packed.has_value());
    EXPECT_GT(*packed, 0u);
    EXPECT_LT(*packed, plain / 2);
    EXPECT_FALSE(file.GetUncompressedSize("empty.txt", 9).has_value());
    EXPECT_FALSE(file.GetCompressedSize("missing.txt", 11).has_value());
}

TEST_F(CompressedFileTest, Open_WhatIsNoReadableZipYieldsAnEmptyReaderThatExtractsNothing) {
    for (const char* name : {"notzip.zip", "truncated.zip", "absent.zip"}) {
        SCOPED_TRACE(name);
        CCompressedFile file(Fixture(name));
        EXPECT_FALSE(file.IsOpen());
        EXPECT_EQ(0, file.GetEntryCount());
        EXPECT_TRUE(file.GetEntryNames().empty());
        EXPECT_FALSE(Has(file, "docs/a.txt"));
        EXPECT_FALSE(file.ExtractAll(m_target.wstring()));
        EXPECT_FALSE(Extract(file, "docs/a.txt", m_target / "a.txt"));
        EXPECT_TRUE(Listing(m_target).empty());
    }
}

TEST_F(CompressedFileTest, ExtractAll_WritesIndexedEntriesUnderLowerCasedNames) {
    CCompressedFile file(Fixture("layout.zip"));

    ASSERT_TRUE(file.ExtractAll(m_target.wstring()));

    const std::set<std::wstring> top = {L"bin", L"deflated.txt", L"docs", L"dup.txt", L"stored.bin"};
    EXPECT_EQ(top, Listing(m_target));
    EXPECT_EQ(std::set<std::wstring>{L"app.dll"}, Listing(m_target / "bin"));
    EXPECT_EQ("application library", ReadAll(m_target / "bin" / "app.dll"));
    EXPECT_EQ("alpha document\n", ReadAll(m_target / "docs" / "a.txt"));
    EXPECT_EQ("second", ReadAll(m_target / "dup.txt"));
    EXPECT_EQ(StoredBin(), ReadAll(m_target / "stored.bin"));
    EXPECT_EQ(DeflatedTxt(), ReadAll(m_target / "deflated.txt"));
}

TEST_F(CompressedFileTest, ExtractAll_StoredBackslashNameIsIndexedButNotWritten) {
    CCompressedFile file(Fixture("backslash.zip"));

    const std::vector<std::string> expected = {"bin/y.dll", "bin\\x.dll"};
    EXPECT_EQ(expected, file.GetEntryNames());
    EXPECT_FALSE(Has(file, "bin\\x.dll"));

    EXPECT_FALSE(file.ExtractAll(m_target.wstring()));
    EXPECT_EQ(std::set<std::wstring>{L"bin"}, Listing(m_target));
    EXPECT_EQ(std::set<std::wstring>{L"y.dll"}, Listing(m_target / "bin"));
}

TEST_F(CompressedFileTest, ExtractEntry_OverwritesOnlyWhatItCanExtract) {
    CCompressedFile file(Fixture("layout.zip"));
    const fs::path destination = m_target / "a.txt";
    const std::string previous(5000, 'x');
    WriteAll(destination, previous);

    EXPECT_FALSE(Extract(file, "docs/missing.txt", destination));
    EXPECT_EQ(previous, ReadAll(destination));
    EXPECT_FALSE(Extract(file, "docs/a.txt", m_target / "no-such-folder" / "a.txt"));

    EXPECT_TRUE(Extract(file, "DOCS\\A.TXT", destination));
    EXPECT_EQ("alpha document\n", ReadAll(destination));
}

TEST_F(CompressedFileTest, ExtractEntry_DamagedDeflateStreamFailsAndLeavesNoFile) {
    CCompressedFile file(Fixture("damaged.zip"));
    ASSERT_TRUE(Extract(file, "intact.txt", m_target / "intact.txt"));
    ASSERT_EQ(51000u, ReadAll(m_target / "intact.txt").size());

    EXPECT_FALSE(Extract(file, "damaged.txt", m_target / "damaged.txt"));
    EXPECT_FALSE(fs::exists(m_target / "damaged.txt"));
    EXPECT_FALSE(file.ExtractAll(m_target.wstring()));
}

// A wrong CRC, or data shorter or longer than the declared size, fails the entry; nothing beyond the
// declared size is ever written or read into memory.
TEST_F(CompressedFileTest, LyingEntries_FailAndOnlyIntactOnesAreWrittenOrRead) {
    CCompressedFile file(Fixture("lying.zip"));
    ASSERT_EQ(4, file.GetEntryCount());

    EXPECT_FALSE(file.ExtractAll(m_target.wstring()));
    EXPECT_EQ(std::set<std::wstring>{L"fine.txt"}, Listing(m_target));
    EXPECT_EQ("intact", ReadAll(m_target / "fine.txt"));

    std::vector<unsigned char> data;
    for (const char* name : {"badcrc.txt", "longer.txt", "shorter.txt"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(file.ReadEntry(name, static_cast<int>(strlen(name)), 1000, data));
        EXPECT_TRUE(data.empty());
    }
    EXPECT_FALSE(file.ReadEntry("fine.txt", 8, 5, data)) << "larger than allowed";
    ASSERT_TRUE(file.ReadEntry("FINE.TXT", 8, 6, data));
    EXPECT_EQ("intact", std::string(data.begin(), data.end()));
}

TEST_F(CompressedFileTest, ExtractEntries_WritesOnlyTheNamedEntries) {
    CCompressedFile file(Fixture("layout.zip"));

    ASSERT_TRUE(file.ExtractEntries(m_target.wstring(), {"DOCS\\A.TXT", "stored.bin"}, nullptr));
    // The files are held until they are on the disk.
    ASSERT_TRUE(tessara::WaitUntilOnDisk());
    EXPECT_EQ((std::set<std::wstring>{L"docs", L"stored.bin"}), Listing(m_target));
    EXPECT_EQ("alpha document\n", ReadAll(m_target / "docs" / "a.txt"));
    EXPECT_EQ(L"docs/a.txt", file.GetEntryPath("Docs/A.txt", 10));
    EXPECT_FALSE(file.ExtractEntries(m_target.wstring(), {"missing.txt"}, nullptr));
}

TEST_F(CompressedFileTest, Zip64_IndexesEveryEntryAndReachesEachByPosition) {
    CCompressedFile file(Fixture("zip64.zip"));

    EXPECT_EQ(65540, file.GetEntryCount());
    for (const std::string name : {"0", "ffff", "10000", "10003"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(name.size(), file.GetUncompressedSize(name.data(), static_cast<int>(name.size())));
        ASSERT_TRUE(Extract(file, name, m_target / name));
        EXPECT_EQ(name, ReadAll(m_target / name));
    }
}

TEST_F(CompressedFileTest, ExtractAll_RefusesNamesThatLeaveTheTarget) {
    CCompressedFile file(Fixture("unsafe.zip"));
    const fs::path sibling = m_temp / "sibling";
    fs::create_directories(sibling);
    EXPECT_TRUE(Has(file, "../sibling/escape-dotdot.txt"));

    EXPECT_FALSE(file.ExtractAll(m_target.wstring()));

    EXPECT_EQ((std::set<std::wstring>{L"good", L"ok2.txt"}), Listing(m_target));
    EXPECT_EQ("good", ReadAll(m_target / "good" / "ok.txt"));
    EXPECT_EQ("also good", ReadAll(m_target / "ok2.txt"));
    EXPECT_TRUE(Listing(sibling).empty());
    EXPECT_EQ((std::set<std::wstring>{L"sibling", L"target"}), Listing(m_temp));
    const fs::path root = m_target.root_path();
    for (const fs::path& escaped :
         {fs::path(L"/escape-rooted-slash-5d1c.txt"), root / "escape-rooted-slash-5d1c.txt",
          fs::path(L"\\escape-rooted-backslash-5d1c.txt"), root / "escape-rooted-backslash-5d1c.txt",
          fs::path(L"c:escape-drive-5d1c.txt"), fs::path(L"c:/escape-drive-root-5d1c.txt")}) {
        EXPECT_FALSE(fs::exists(escaped)) << escaped.string();
    }
}

TEST_F(CompressedFileTest, ExtractAll_WidePathsAndNonAsciiEntryNames) {
    const fs::path archive = m_temp / L"Архив 档案" / L"пакет.zip";
    fs::create_directories(archive.parent_path());
    fs::copy_file(Fixture("unicode.zip"), archive);
    const fs::path target = m_temp / L"Установка 安装";
    fs::create_directories(target);
    const std::string ansiName = "caf\xe9.txt";
    wchar_t ansiWide[MAX_PATH] = {};
    ASSERT_GT(MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansiName.data(),
                                  static_cast<int>(ansiName.size()), ansiWide, MAX_PATH),
              0);

    CCompressedFile file(archive.wstring());
    ASSERT_EQ(4, file.GetEntryCount());
    EXPECT_TRUE(Has(file, u8"资料/说明.txt"));
    EXPECT_TRUE(Has(file, u8"Документы/Отчёт.TXT"));
    EXPECT_FALSE(Has(file, u8"ДОКУМЕНТЫ/Отчёт.txt"));  // only ASCII letters fold

    ASSERT_TRUE(file.ExtractAll(target.wstring()));

    // Only the ASCII part of a name is lower-cased; the target folder keeps its own spelling.
    EXPECT_EQ(std::set<std::wstring>{L"Отчёт.txt"}, Listing(target / L"Документы"));
    EXPECT_EQ(u8"отчёт за год", ReadAll(target / L"Документы" / L"Отчёт.txt"));
    EXPECT_EQ(u8"说明文字", ReadAll(target / L"资料" / L"说明.txt"));
    EXPECT_EQ("ansi name", ReadAll(target / ansiWide));
    EXPECT_EQ("plain", ReadAll(target / "readme.txt"));
}

}  // namespace
}  // namespace NsCommon
