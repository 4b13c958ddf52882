#include <windows.h>

#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/TestFolder.h"
#include "app/RunId.h"
#include "app/ScopedWin.h"
#include "engine/JournalFormat.h"

namespace fs = std::filesystem;
using namespace tessara;

// Every download note the writer takes, the reader gives back as it was written.
TEST(JournalFormatTest, ReadJournalFile_GivesBackEveryDownloadNoteAsWritten) {
    const TestFolder folder("journal");
    const std::wstring url2083 = L"https://files.orvix.example/p.zip?" + std::wstring(2083 - 34, L'q');
    const std::wstring urls[] = {
        L"http://files.orvix.example/with space.zip",
        L"file:///C:/deploy files/payload.zip",
        L"C:\\deploy files\\payload.zip",
        L"\\\\fileserver.orvix.example\\payloads\\payload.zip",
        L"http://files.orvix.example/n\u00e4chste-\u4e0b\u8f7d.zip?a=%20b",
        L"http://files.orvix.example/tab\there\nline\r100%",
        url2083,
    };
    for (const std::wstring& url : urls) {
        const std::wstring path = (folder.path() / L"run.journal").wstring();
        const std::wstring value = L"0123456789ABCDEF " + url;
        ASSERT_TRUE(WriteJournalLine(path, InstallRunNote, NewRunId(), CREATE_ALWAYS));
        ASSERT_TRUE(WriteJournalLine(path, DownloadNote, value, OPEN_EXISTING)) << url.c_str();
        const JournalReading reading = ReadJournalFile(path);
        ASSERT_EQ(JournalState::Ours, reading.state) << url.c_str();
        ASSERT_EQ(1u, reading.journal.entries.size());
        EXPECT_EQ(value, reading.journal.entries[0].value);
    }
}

// A journal that another program holds for a moment is read once it lets go; one it keeps is left
// alone as unreadable, never taken for a foreign one.
TEST(JournalFormatTest, ReadJournalFile_WaitsForAHeldJournalAndNeverCallsItForeign) {
    const TestFolder folder("journal");
    const std::wstring path = (folder.path() / L"run.journal").wstring();
    ASSERT_TRUE(WriteJournalLine(path, InstallRunNote, NewRunId(), CREATE_ALWAYS));
    for (const DWORD heldMilliseconds : {300ul, 4000ul}) {
        unique_file_handle held(
            ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        std::thread release([&held, heldMilliseconds] {
            ::Sleep(heldMilliseconds);
            held.reset();
        });
        const JournalState state = ReadJournalFile(path).state;
        release.join();
        EXPECT_EQ(heldMilliseconds < 1000 ? JournalState::Ours : JournalState::Unreadable, state);
    }
}
