#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/Log.h"
#include "tests/TestFolder.h"

namespace tessara {
namespace {

std::vector<std::string> ReadLines(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string MessageOf(const std::string& line) {
    const size_t separator = line.find("] :: ");
    return separator == std::string::npos ? std::string() : line.substr(separator + 5);
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { folder.Enter(); }
    void TearDown() override {
        LogClose();
        folder.Leave();
    }
    TestFolder folder{"log"};
};

TEST(LogFormatTest, FormatLogTime_DayBelowTenIsBlankPadded) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 6;
    t.tm_wday = 0;
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 3;
    EXPECT_EQ("Sun Dec  6 09:05:03 2026", FormatLogTime(t));
    EXPECT_EQ("[Sun Dec  6 09:05:03 2026] :: hello\n", FormatLogLine(t, "hello"));
    t.tm_mday = 16;
    t.tm_wday = 3;
    t.tm_mon = 0;
    t.tm_hour = 23;
    EXPECT_EQ("Wed Jan 16 23:05:03 2026", FormatLogTime(t));
}

TEST_F(LogTest, LogFormat_KeepsNineHundredNinetyNineCharactersAndCutsLonger) {
    ASSERT_TRUE(LogOpen());
    const std::string exact(999, 'a');
    const std::string longer = std::string(999, 'b') + "TAIL";
    EXPECT_TRUE(LogFormat("%s", exact.c_str()));
    EXPECT_TRUE(LogFormat("%s", longer.c_str()));
    EXPECT_TRUE(LogFormat("path=%S flag=%d", std::wstring(L"C:\\x y"), true));
    LogClose();

    const auto lines = ReadLines("debugLog.log");
    ASSERT_EQ(3u, lines.size());
    // Text mode turns each line feed into CR LF.
    EXPECT_EQ(exact + "\r", MessageOf(lines[0]));
    EXPECT_EQ(std::string(999, 'b') + "\r", MessageOf(lines[1]));
    EXPECT_EQ("path=C:\\x y flag=1\r", MessageOf(lines[2]));
    EXPECT_EQ('[', lines[0][0]);
    EXPECT_EQ("] :: ", lines[0].substr(25, 5));
}

TEST_F(LogTest, LogFormat_WideTextOutsideTheCodePageIsWrittenLossily) {
    ASSERT_TRUE(LogOpen());
    EXPECT_TRUE(LogFormat("Restoring %S done", std::wstring(L"C:\\\u041f\u0440\u0438\\\u6587")));
    LogClose();
    const auto lines = ReadLines("debugLog.log");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(0u, MessageOf(lines[0]).find("Restoring C:\\"));
    EXPECT_NE(std::string::npos, MessageOf(lines[0]).find(" done"));
}

TEST_F(LogTest, LogOpen_TruncatesTheLogOfAnEarlierRun) {
    ASSERT_TRUE(LogOpen());
    LogWrite("first run");
    LogClose();
    ASSERT_TRUE(LogOpen());
    LogWrite("second run");
    LogClose();
    const auto lines = ReadLines("debugLog.log");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("second run\r", MessageOf(lines[0]));
}

// The working directory's log blocked, then the temporary folder's too (both by a folder of that name).
TEST_F(LogTest, LogOpen_FallsBackToTheTemporaryFolderAndWithoutEitherEveryCallIsANoOp) {
    std::filesystem::create_directories("temp");
    const std::wstring temp = std::filesystem::absolute("temp").wstring() + L"\\";
    wchar_t original[MAX_PATH + 1] = {};
    const bool hadTmp = ::GetEnvironmentVariableW(L"TMP", original, MAX_PATH + 1) != 0;
    ::SetEnvironmentVariableW(L"TMP", temp.c_str());
    std::filesystem::create_directory("debugLog.log");
    ASSERT_TRUE(LogOpen());
    EXPECT_TRUE(LogWrite("in the temporary folder"));
    LogClose();
    EXPECT_EQ("in the temporary folder\r", MessageOf(ReadLines("temp/debugLog.log").at(0)));

    std::filesystem::remove("temp/debugLog.log");
    std::filesystem::create_directory("temp/debugLog.log");
    EXPECT_FALSE(LogOpen());
    EXPECT_FALSE(LogWrite("nothing"));
    EXPECT_FALSE(LogFormat("nothing %d", 1));
    LogClose();
    ::SetEnvironmentVariableW(L"TMP", hadTmp ? original : nullptr);
    EXPECT_TRUE(std::filesystem::is_directory("debugLog.log"));
}

TEST_F(LogTest, LogWrite_ConcurrentWritersNeverInterleaveAndStopAtClose) {
    ASSERT_TRUE(LogOpen());
    std::atomic<bool> closed{false};
    std::atomic<int> writtenAfterClose{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([t, &closed, &writtenAfterClose] {
            const std::string text = "writer " + std::to_string(t) + " " + std::string(200, char('a' + t));
            for (int i = 0; i < 400; ++i) {
                const bool wasClosed = closed.load();
                if (LogWrite(text) && wasClosed) ++writtenAfterClose;
            }
        });
    }
    ::Sleep(20);
    LogClose();
    closed = true;
    for (auto& writer : writers) writer.join();

    EXPECT_EQ(0, writtenAfterClose.load());
    const auto lines = ReadLines("debugLog.log");
    ASSERT_FALSE(lines.empty());
    for (const auto& line : lines) {
        const std::string message = MessageOf(line);
        ASSERT_EQ(210u, message.size()) << line;
        const char fill = message[9];
        EXPECT_EQ(std::string(200, fill) + "\r", message.substr(9)) << line;
    }
}

}  // namespace
}  // namespace tessara
