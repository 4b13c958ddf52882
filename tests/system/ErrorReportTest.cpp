#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <regex>
#include <set>

#include "app/InstallLocations.h"
#include "system/ErrorReport.h"

namespace tessara::test {
namespace {

namespace fs = std::filesystem;

ErrorReportFacts KnownMachine() {
    ErrorReportFacts facts;
    OSVERSIONINFOEXA version{};
    version.dwMajorVersion = 6;
    version.dwMinorVersion = 2;
    version.dwBuildNumber = 9200;
    facts.version = version;
    facts.totalPhysicalBytes = 17179869184ull;
    facts.processorCount = 4;
    facts.processorArchitecture = 0;
    return facts;
}

TEST(ErrorReportTest, FormatErrorReport_NamesTheFailedStepOnlyForAFailedStep) {
    const std::vector<std::string> machine = {"Tessara App Setup", "", "OS Version : 6.2 (9200)  (0.0)",
                                              "Total Memory : 16777216 KB", "Core Count : 4 :: Arch : 0"};
    const struct {
        uint32_t stage;
        const char* failure;
    } cases[] = {{0, nullptr},
                 {1, "Could not download the payload"},
                 {2, "Could not unzip payload"},
                 {3, "Could not verify payload"},
                 {4, "Could not move to the target folder path"},
                 {5, "Could not create uninstall keys"},
                 {6, "Could not create proto keys"},
                 {7, "Could not create startup keys"},
                 {8, "Platform incompatibility"},
                 {9, nullptr},
                 {0xFFFFFFFF, nullptr}};
    for (const auto& c : cases) {
        std::vector<std::string> expected = machine;
        if (c.failure) expected.push_back(c.failure);
        EXPECT_EQ(expected, FormatErrorReport(KnownMachine(), c.stage)) << "stage " << c.stage;
    }
}

TEST(ErrorReportTest, FormatErrorReport_LeavesOutWhatTheSystemDidNotTell) {
    ErrorReportFacts facts = KnownMachine();
    std::strcpy(facts.version->szCSDVersion, "Service Pack 1");
    facts.version->wServicePackMajor = 1;
    facts.totalPhysicalBytes.reset();
    EXPECT_EQ(
        (std::vector<std::string>{"Tessara App Setup", "", "OS Version : 6.2 (9200) Service Pack 1 (1.0)",
                                  "Core Count : 4 :: Arch : 0", "Could not verify payload"}),
        FormatErrorReport(facts, 3));
    facts.version.reset();
    EXPECT_EQ((std::vector<std::string>{"Tessara App Setup", "", "Core Count : 4 :: Arch : 0"}),
              FormatErrorReport(facts, 9));
}

TEST(ErrorReportTest, WriteErrorReport_WritesEachReportToANewFileWithWindowsLineEnds) {
    const auto tempFiles = [] {
        std::set<fs::path> files;
        for (const auto& entry : fs::directory_iterator(GetTempFolder())) files.insert(entry.path());
        return files;
    };
    std::set<fs::path> inTemp = tempFiles();
    const fs::path failed = WriteErrorReport(6);
    const fs::path succeeded = WriteErrorReport(9);
    ASSERT_NE(failed, succeeded);
    inTemp.insert({failed, succeeded});
    EXPECT_EQ(inTemp, tempFiles()) << "the two reports and nothing else";
    const ErrorReportFacts facts = ReadErrorReportFacts();
    EXPECT_TRUE(facts.version && facts.totalPhysicalBytes && facts.processorCount > 0);

    const auto contents = [](const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    // Named for the user, the second of the same minute numbered; nothing else is left beside them.
    const std::wregex name(LR"(Orvix Tessara setup report \d{4}-\d\d-\d\d \d{4}( \(2\))?\.log)");
    for (const auto& [path, stage] : {std::pair{failed, 6u}, std::pair{succeeded, 9u}}) {
        EXPECT_TRUE(std::regex_match(path.filename().wstring(), name)) << path;
        EXPECT_EQ(fs::path(GetTempFolder()) / path.filename(), path);
        std::string expected;
        for (const std::string& line : FormatErrorReport(facts, stage)) expected += line + "\r\n";
        EXPECT_EQ(expected, contents(path));
    }
    EXPECT_NE(std::string::npos, contents(failed).find("\r\nCould not create proto keys\r\n"));
    for (const fs::path& path : {failed, succeeded}) fs::remove(path);
}

}  // namespace
}  // namespace tessara::test
