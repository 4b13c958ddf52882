#include "app/DiskFlush.h"

#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "app/FileSystem.h"
#include "tests/TestFolder.h"

using namespace tessara;

namespace {

// A written file handed over stays held by the flusher, without leave to share it, until it is flushed.
TEST(DiskFlush, HandedOverFiles_AreClosedOnceWaitedFor) {
    const TestFolder folder("flush-handed-over");
    for (int i = 0; i < 40; ++i) {
        const std::wstring path = folder.wpath() + L"\\file" + std::to_wstring(i);
        unique_file_handle file = CreateFileForWriting(path);
        ASSERT_TRUE(file);
        ASSERT_TRUE(WriteToFile(file.get(), "payload", 7));
        FlushInBackground(std::move(file), path);
    }
    ASSERT_TRUE(WaitUntilOnDisk());
    for (int i = 0; i < 40; ++i) {
        const std::wstring path = folder.wpath() + L"\\file" + std::to_wstring(i);
        EXPECT_EQ(FileSizeOf(path), 7u);
        EXPECT_TRUE(RemoveFile(path)) << i;
    }
}

// A file that cannot be flushed fails the wait that follows, once; the next wait starts afresh.
TEST(DiskFlush, FailedFlush_FailsTheNextWaitOnly) {
    const TestFolder folder("flush-failed");
    const std::wstring readOnly = folder.wpath() + L"\\read-only";
    ASSERT_TRUE(WriteFileBytes(readOnly, "x", 1));
    // Opened for reading only: the system refuses to flush it.
    unique_file_handle file(::CreateFileW(readOnly.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file);
    FlushInBackground(std::move(file), readOnly);
    EXPECT_FALSE(WaitUntilOnDisk());
    FlushInBackground(readOnly);
    EXPECT_TRUE(WaitUntilOnDisk());
    FlushInBackground(folder.wpath() + L"\\missing");
    EXPECT_FALSE(WaitUntilOnDisk());
}

}  // namespace
