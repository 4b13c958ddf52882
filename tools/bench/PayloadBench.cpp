// payload_bench: times the two payload steps of an installation on one payload zip, the way the
// pipeline runs them: opening the archive and extracting every entry, then verifying the folder.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "archive/CompressedFile.h"
#include "engine/PayloadExtraction.h"
#include "verify/DigestManifest.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct FolderSize {
    uint64_t files = 0;
    uint64_t bytes = 0;
};

FolderSize MeasureFolder(const fs::path& folder) {
    FolderSize size;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
        if (!entry.is_regular_file()) continue;
        ++size.files;
        size.bytes += entry.file_size();
    }
    return size;
}

// Throughput is given for the steps that move the payload's bytes.
void PrintStep(const char* step, double milliseconds, uint64_t bytes = 0) {
    std::printf("%-22s %10.1f ms", step, milliseconds);
    if (bytes != 0 && milliseconds > 0) {
        std::printf(" %10.1f MiB/s",
                    static_cast<double>(bytes) / (1024.0 * 1024.0) / (milliseconds / 1000.0));
    }
    std::printf("\n");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: payload_bench PAYLOAD.zip NEW-FOLDER\n");
        return 2;
    }
    const fs::path archivePath = argv[1];
    const fs::path folder = argv[2];
    std::error_code error;
    if (!fs::is_regular_file(archivePath, error) || fs::exists(folder, error) ||
        !fs::create_directories(folder, error)) {
        std::fprintf(stderr, "payload_bench: need an existing zip and a folder that does not exist yet\n");
        return 2;
    }
    const uint64_t archiveBytes = fs::file_size(archivePath);

    Clock::time_point start = Clock::now();
    bool extracted = false;
    double openMs = 0;
    {
        NsCommon::details::CCompressedFile archive(archivePath.wstring());
        openMs = MillisecondsSince(start);
        extracted = archive.ExtractAll(folder.wstring());
    }
    const double extractMs = MillisecondsSince(start) - openMs;
    const FolderSize size = MeasureFolder(folder);

    start = Clock::now();
    const bool checked = tessara::CheckPayload(folder.wstring());
    const double checkMs = MillisecondsSince(start);

    const fs::path verifiedFolder = folder.wstring() + L"-verified";
    fs::create_directories(verifiedFolder, error);
    start = Clock::now();
    const tessara::PayloadExtraction verified =
        tessara::ExtractVerifiedPayload(archivePath.wstring(), verifiedFolder.wstring(), L"C:\\T");
    const double verifiedMs = MillisecondsSince(start);

    std::printf("archive                %10.1f MiB\n", static_cast<double>(archiveBytes) / (1024.0 * 1024.0));
    std::printf("extracted              %10llu files, %.1f MiB\n",
                static_cast<unsigned long long>(size.files),
                static_cast<double>(size.bytes) / (1024.0 * 1024.0));
    PrintStep("open + index", openMs);
    PrintStep("ExtractAll", extractMs, size.bytes);
    PrintStep("CheckPayload", checkMs, size.bytes);
    PrintStep("total", openMs + extractMs + checkMs, size.bytes);
    PrintStep("ExtractVerifiedPayload", verifiedMs, size.bytes);
    const bool verifiedOk = verified == tessara::PayloadExtraction::Extracted;
    std::printf("ExtractAll %s, CheckPayload %s, ExtractVerifiedPayload %s\n", extracted ? "true" : "false",
                checked ? "true" : "false", verifiedOk ? "true" : "false");
    return extracted && checked && verifiedOk ? 0 : 1;
}
