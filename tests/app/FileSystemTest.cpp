#include "app/FileSystem.h"

#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/TestFolder.h"
#include "app/ScopedWin.h"
#include "app/Text.h"

using namespace tessara;

namespace {

bool WriteText(const std::wstring& path, const std::string& text, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
    const unique_file_handle file(::CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                                CREATE_NEW, attributes, nullptr));
    DWORD written = 0;
    return file && ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

std::vector<std::wstring> WalkedNames(const std::wstring& folder, int maxDepth = INT_MAX) {
    std::vector<std::wstring> names;
    WalkFolder(
        folder,
        [&names](const std::wstring&, const FolderEntry& entry, int) {
            names.push_back(entry.name);
            return true;
        },
        maxDepth);
    return names;
}

TEST(FileSystem, PathPastMaxPath_IsCreatedListedWalkedAndRemoved) {
    const TestFolder root("fs-long");
    std::wstring deep = root.wpath();
    const std::wstring top = JoinPath(deep, std::wstring(60, L'a'));
    for (wchar_t c = L'a'; c <= L'e'; ++c) deep = JoinPath(deep, std::wstring(60, c));
    ASSERT_GT(deep.size(), static_cast<size_t>(MAX_PATH));

    ASSERT_TRUE(CreateFolders(deep));
    EXPECT_TRUE(IsDirectory(deep));
    const std::wstring file = JoinPath(deep, L"payload.bin");
    ASSERT_TRUE(WriteText(file, "12345"));
    EXPECT_TRUE(IsRegularFile(file));
    EXPECT_EQ(FileSizeOf(file), 5u);

    std::vector<FolderEntry> entries;
    ASSERT_TRUE(ListFolder(deep, entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, L"payload.bin");
    EXPECT_FALSE(entries[0].isDirectory);
    EXPECT_EQ(entries[0].size, 5u);

    EXPECT_EQ(WalkedNames(root.wpath()).size(), 6u);
    EXPECT_EQ(WalkedNames(root.wpath(), 1).size(), 2u);

    EXPECT_TRUE(RemoveTree(top));
    EXPECT_FALSE(PathExists(top));
}

TEST(FileSystem, ReadOnlyFiles_AreRemovedAloneAndInsideATree) {
    const TestFolder root("fs-readonly");
    const std::wstring single = JoinPath(root.wpath(), L"single.txt");
    const std::wstring tree = JoinPath(root.wpath(), L"tree");
    const std::wstring inner = JoinPath(tree, L"inner.txt");
    ASSERT_TRUE(WriteText(single, "x", FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(CreateFolders(tree));
    ASSERT_TRUE(WriteText(inner, "y", FILE_ATTRIBUTE_READONLY));

    EXPECT_TRUE(RemoveFile(single));
    EXPECT_FALSE(PathExists(single));
    EXPECT_TRUE(RemoveTree(tree));
    EXPECT_FALSE(PathExists(tree));
}

TEST(FileSystem, MissingOrEmptyPaths_AreNoErrorToRemove) {
    const TestFolder root("fs-missing");
    const std::wstring missing = JoinPath(root.wpath(), L"not-there\\below");
    EXPECT_TRUE(RemoveTree(missing));
    EXPECT_TRUE(RemoveFile(missing));
    EXPECT_TRUE(RemoveTree(L""));
    EXPECT_FALSE(PathExists(missing));
    EXPECT_FALSE(FileSizeOf(missing).has_value());
    std::vector<FolderEntry> entries;
    EXPECT_FALSE(ListFolder(missing, entries));
}

TEST(FileSystem, LastComponentOf_IgnoresTrailingSeparatorsAndDrives) {
    const struct {
        const wchar_t* path;
        const wchar_t* last;
    } cases[] = {
        {L"C:\\a\\b", L"b"},
        {L"C:\\a\\b\\", L"b"},
        {L"a/b//", L"b"},
        {L"name", L"name"},
        {L"C:\\", L""},
        {L"C:", L""},
        {L"", L""},
        {L"\\\\?\\C:\\x\\y", L"y"},
        {L"\\\\host\\share\\dir", L"dir"},
    };
    for (const auto& c : cases) EXPECT_EQ(LastComponentOf(c.path), c.last) << c.path;
}

TEST(FileSystem, LinkToAFolder_IsRemovedAndNeverEntered) {
    const TestFolder root("fs-link");
    const std::wstring target = JoinPath(root.wpath(), L"target");
    const std::wstring kept = JoinPath(target, L"kept.txt");
    const std::wstring tree = JoinPath(root.wpath(), L"tree");
    const std::wstring link = JoinPath(tree, L"link");
    ASSERT_TRUE(CreateFolders(tree));
    ASSERT_TRUE(CreateFolders(target));
    ASSERT_TRUE(WriteText(kept, "keep"));
    // Some systems report success and create nothing.
    if (!::CreateSymbolicLinkW(link.c_str(), target.c_str(),
                               SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) ||
        !PathExists(link))
        GTEST_SKIP() << "no folder links can be made here";

    EXPECT_EQ(WalkedNames(tree), std::vector<std::wstring>{L"link"});
    EXPECT_TRUE(RemoveTree(tree));
    EXPECT_FALSE(PathExists(tree));
    EXPECT_TRUE(IsRegularFile(kept));
}

}  // namespace

// The check splits a large installation between threads: a held file is found wherever it lies among
// the others, first or last, and none is reported once it is let go or where only readers share it.
TEST(FileSystem, FindFileInUse_FindsTheHeldFileAmongThousands) {
    const TestFolder root("fs-held");
    std::vector<std::wstring> files;
    for (int folder = 0; folder < 10; ++folder) {
        const std::wstring sub = JoinPath(root.wpath(), L"part" + std::to_wstring(folder));
        ASSERT_TRUE(CreateFolders(sub));
        for (int file = 0; file < 120; ++file) {
            files.push_back(JoinPath(sub, L"file" + std::to_wstring(file) + L".txt"));
            ASSERT_TRUE(WriteText(files.back(), "x"));
        }
    }
    for (const size_t index : {size_t{0}, size_t{611}, files.size() - 1}) {
        SCOPED_TRACE(index);
        {
            const unique_file_handle held(::CreateFileW(files[index].c_str(), GENERIC_READ,
                                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(held);
            EXPECT_EQ(files[index], FindFileInUse(root.wpath()));
        }
        EXPECT_EQ(L"", FindFileInUse(root.wpath()));
    }
    const unique_file_handle shared(::CreateFileW(files[5].c_str(), GENERIC_READ,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_EQ(L"", FindFileInUse(root.wpath()));
}
