#include "engine/LocalSource.h"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/FileSystem.h"
#include "tests/TestFolder.h"

using namespace tessara;

namespace {

class CCountingReport : public IProgressReport {
public:
    void SetProgressRange(int) override {}
    void SetProgress(int percent) override { percents.push_back(percent); }
    void OnFinished() override {}
    bool IsCancelled() override { return cancelled; }

    std::vector<int> percents;
    bool cancelled = false;
};

}  // namespace

TEST(LocalSourcePath, TakesPathsSharesAndFileUrlsAndLeavesOtherUrlsToTheNetwork) {
    const struct {
        const wchar_t* source;
        std::optional<std::wstring> path;
    } rows[] = {
        {L"C:\\Deploy\\payload.zip", L"C:\\Deploy\\payload.zip"},
        {L"c:/Deploy/payload.zip", L"c:/Deploy/payload.zip"},
        {L"\\\\files.orvix.example\\share\\payload.zip", L"\\\\files.orvix.example\\share\\payload.zip"},
        {L"\\\\?\\UNC\\files\\share\\payload.zip", L"\\\\?\\UNC\\files\\share\\payload.zip"},
        {L"file:///C:/Deploy/My%20Files/payload.zip", L"C:\\Deploy\\My Files\\payload.zip"},
        {L"FILE:///C:/payload.zip", L"C:\\payload.zip"},
        {L"file://localhost/C:/payload.zip", L"C:\\payload.zip"},
        {L"file://files.orvix.example/share/payload.zip", L"\\\\files.orvix.example\\share\\payload.zip"},
        {L"file:///C:/Caf%C3%A9/payload.zip", L"C:\\Caf\u00e9\\payload.zip"},
        {L"file:///C:/100%/payload.zip", L"C:\\100%\\payload.zip"},
        {L"http://files.orvix.example/payload.zip", std::nullopt},
        {L"https://files.orvix.example/C:/payload.zip", std::nullopt},
        {L"ftp://files.orvix.example/payload.zip", std::nullopt},
        {L"payload.zip", std::nullopt},
        {L"C:payload.zip", std::nullopt},
    };
    for (const auto& row : rows) EXPECT_EQ(row.path, LocalSourcePath(row.source)) << row.source;
}

TEST(CopyLocalSource, CopiesInPiecesWithProgressAndStopsWhenCancelled) {
    TestFolder folder("local-source");
    const std::wstring source = folder.wpath() + L"\\payload.zip";
    const std::wstring target = folder.wpath() + L"\\download.tmp";
    std::vector<unsigned char> data(3 << 20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 + i / 4096);
    ASSERT_TRUE(WriteFileBytes(source, data.data(), data.size()));

    CCountingReport report;
    std::optional<uint64_t> followed;
    ASSERT_TRUE(CopyLocalSource(&report, source, target,
                                [&](IArrivingArchive& copy) { followed = copy.FinalSize(); }));
    EXPECT_EQ(data, ReadFileBytes(target, data.size()));
    EXPECT_EQ(std::vector<int>({33, 66, 100}), report.percents);
    EXPECT_EQ(data.size(), followed);

    report.cancelled = true;
    EXPECT_FALSE(CopyLocalSource(&report, source, target, {}));
    EXPECT_FALSE(CopyLocalSource(nullptr, folder.wpath() + L"\\missing.zip", target, {}));
}
