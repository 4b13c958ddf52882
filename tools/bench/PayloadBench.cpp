// payload_bench: times the two payload steps of an installation on one payload zip, the way the
// pipeline runs them: opening the archive and extracting every entry, then verifying the folder.
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <mutex>
#include <string>
#include <thread>

#include "app/FileSystem.h"
#include "app/ScopedWin.h"
#include "archive/CompressedFile.h"
#include "archive/LocalEntries.h"
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

// What one file costs in each of the steps an extraction takes per file, in microseconds, each step
// repeated over as many small files as the payload has: the figures that tell where per-file time goes.
void PrintPerFileCosts(const fs::path& folder, int count) {
    const std::wstring base = folder.wstring() + L"-per-file";
    tessara::CreateFolders(base);
    const std::vector<char> content(4096, 'x');
    const auto timeSteps = [count](const char* step, auto&& once) {
        const Clock::time_point start = Clock::now();
        for (int i = 0; i < count; ++i) once(i);
        std::printf("  %-34s %8.1f us\n", step, MillisecondsSince(start) * 1000.0 / count);
    };
    const auto name = [&base](int i) { return base + L"\\file" + std::to_wstring(i) + L".bin"; };
    std::printf("per file (%d files of 4 KiB):\n", count);
    timeSteps("ExtendedLengthPath", [&](int i) { tessara::ExtendedLengthPath(name(i)); });
    timeSteps("CreateFolders of an existing folder", [&](int) { tessara::CreateFolders(base); });
    timeSteps("create + write 4 KiB + close", [&](int i) {
        const tessara::unique_file_handle file(::CreateFileW(tessara::ExtendedLengthPath(name(i)).c_str(),
                                                             GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                             FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        ::WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    });
    tessara::Sha256Hasher reused;
    timeSteps("hash 4 KiB, one hasher for all", [&](int) {
        reused.HashData(reinterpret_cast<const unsigned char*>(content.data()), 4096);
        reused.Finish();
    });
    timeSteps("hash 4 KiB, a new hasher each", [&](int) {
        tessara::Sha256Hasher hasher;
        hasher.HashData(reinterpret_cast<const unsigned char*>(content.data()), 4096);
        hasher.Finish();
    });
    timeSteps("open and close a SHA-256 provider", [&](int) {
        BCRYPT_ALG_HANDLE provider = nullptr;
        if (BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
            ::BCryptCloseAlgorithmProvider(provider, 0);
    });
    timeSteps("read back and hash (HashFile)", [&](int i) {
        tessara::HashFile(reused, name(i));
        reused.Finish();
    });
    timeSteps("size of a file (FileSizeOf)", [&](int i) { tessara::FileSizeOf(name(i)); });
    // A piece handed to another thread and waited for, as a hand-over per piece did.
    std::mutex lock;
    std::condition_variable changed;
    int handed = 0, taken = 0;
    std::thread taker([&] {
        std::unique_lock<std::mutex> held(lock);
        while (taken < count) {
            changed.wait(held, [&] { return handed > taken; });
            ++taken;
            changed.notify_all();
        }
    });
    timeSteps("hand-over to a thread and wait", [&](int) {
        std::unique_lock<std::mutex> held(lock);
        ++handed;
        changed.notify_all();
        changed.wait(held, [&] { return taken == handed; });
    });
    taker.join();
    std::vector<tessara::FolderEntry> entries;
    const Clock::time_point start = Clock::now();
    tessara::ListTree(folder.wstring(), entries);
    std::printf("  %-34s %8.1f us (%zu entries)\n", "walk the payload folder, per entry",
                MillisecondsSince(start) * 1000.0 / std::max<size_t>(entries.size(), 1), entries.size());
}

// The finished archive read as the unpacking on arrival reads it, every byte already there.
class CFinishedArchive : public tessara::IArrivingArchive {
public:
    explicit CFinishedArchive(const std::wstring& path)
        : m_file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    bool Read(uint64_t offset, unsigned char* into, size_t size) override {
        return tessara::ReadFileAt(m_file.get(), offset, into, static_cast<DWORD>(size)) == size;
    }
    std::optional<uint64_t> FinalSize() override {
        LARGE_INTEGER size{};
        return ::GetFileSizeEx(m_file.get(), &size) ? std::optional<uint64_t>(size.QuadPart) : std::nullopt;
    }

private:
    tessara::unique_file_handle m_file;
};

// Where the time of the unpacking on arrival goes, step by step, each step adding to the one before:
// reading and inflating alone, then writing the files, then the whole unpacking with its digests; and
// SHA-256 alone over the same bytes. Divided by the files and bytes, the figures of the profile.
void PrintArrivalProfile(const fs::path& archivePath, const fs::path& folder) {
    uint64_t files = 0, bytes = 0;
    const auto walk = [&](const std::function<void(const tessara::LocalEntry&)>& started,
                          const std::function<void(const unsigned char*, size_t)>& piece) {
        CFinishedArchive archive(archivePath.wstring());
        tessara::CLocalEntryReader reader(archive);
        files = bytes = 0;
        while (const std::optional<tessara::LocalEntry> entry = reader.Next()) {
            if (entry->uncompressedSize == 0) continue;
            ++files;
            bytes += entry->uncompressedSize;
            started(*entry);
            reader.CopyData([&](const unsigned char* data, size_t size) {
                piece(data, size);
                return true;
            });
        }
    };
    Clock::time_point start = Clock::now();
    walk([](const tessara::LocalEntry&) {}, [](const unsigned char*, size_t) {});
    PrintStep("arrival: inflate only", MillisecondsSince(start), bytes);

    const std::wstring base = folder.wstring() + L"-arrival-writes";
    tessara::CreateFolders(base);
    tessara::unique_file_handle file;
    start = Clock::now();
    walk(
        [&](const tessara::LocalEntry&) {
            file = tessara::CreateFileForWriting(base + L"\\f" + std::to_wstring(files) + L".bin");
        },
        [&](const unsigned char* data, size_t size) { tessara::WriteToFile(file.get(), data, size); });
    file.reset();
    PrintStep("arrival: + write", MillisecondsSince(start), bytes);

    tessara::Sha256Hasher hasher;
    start = Clock::now();
    walk([&](const tessara::LocalEntry&) { hasher.Finish(); },
         [&](const unsigned char* data, size_t size) {
             hasher.HashData(data, static_cast<unsigned long>(size));
         });
    PrintStep("arrival: inflate + hash", MillisecondsSince(start), bytes);

    const std::wstring unpacked = folder.wstring() + L"-arrival";
    tessara::CreateFolders(unpacked);
    CFinishedArchive archive(archivePath.wstring());
    start = Clock::now();
    const tessara::ArrivedPayload arrived =
        tessara::ExtractArrivingPayload(archive, unpacked, L"C:\\T", tessara::PinnedCertificate());
    PrintStep("arrival: whole", MillisecondsSince(start), bytes);
    std::printf("arrival: %llu files, %s\n", static_cast<unsigned long long>(files),
                arrived.written ? "unpacked" : arrived.stopped.c_str());
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
    PrintArrivalProfile(archivePath, folder);
    PrintPerFileCosts(verifiedFolder, static_cast<int>(size.files));
    return extracted && checked && verifiedOk ? 0 : 1;
}
