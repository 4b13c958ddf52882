// fuzz: feeds mutated inputs to the parsers of untrusted payload data, in process, under Wine.
//   fuzz KIND COUNT SEED SEED-FOLDER SANDBOX FINDINGS [FIRST]
// KIND is "manifest" (ParseManifest on manifest text), "signature" (the signature check on digest.s
// messages), "archive" (the zip reader: open, index, ExtractAll, the signed extraction, and the one
// of an archive as it arrives),
// "directory" (the central directory read from the end of a remote archive) or "range" (the headers of
// a range answer and URLs with credentials). Input
// number i is derived from SEED and i alone, so a finding is reproduced by running from FIRST = i.
// A crash, an abort or an input that runs past the time limit is saved to FINDINGS and ends the run
// with exit code 3 (the script restarts after it); files appearing outside the sandbox's scratch
// folders and a peak working set over the limit are reported as findings too.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/HttpText.h"
#include "app/ScopedWin.h"
#include "archive/CentralDirectory.h"
#include "archive/CompressedFile.h"
#include "engine/PayloadExtraction.h"
#include "verify/DigestManifest.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

constexpr DWORD kInputTimeLimitMs = 20000;
constexpr SIZE_T kPeakWorkingSetLimit = 512u * 1024 * 1024;

// What the crash handlers need: the input being run and where to save it.
std::atomic<uint64_t> g_inputNumber{0};
std::atomic<ULONGLONG> g_inputStarted{0};
const Bytes* g_input = nullptr;
std::wstring g_findings;
std::string g_kind;

bool WriteFileBytes(const std::wstring& path, const Bytes& data) {
    const tessara::unique_file_handle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file && ::WriteFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
           written == data.size();
}

void SaveFinding(const char* what) {
    const std::wstring name = g_findings + L"\\" + std::wstring(what, what + strlen(what)) + L"-" +
                              std::wstring(g_kind.begin(), g_kind.end()) + L"-" +
                              std::to_wstring(g_inputNumber.load()) + L".bin";
    if (g_input) WriteFileBytes(name, *g_input);
    std::printf("FINDING %s kind=%s input=%llu saved=%ls\n", what, g_kind.c_str(),
                static_cast<unsigned long long>(g_inputNumber.load()), name.c_str());
    std::fflush(stdout);
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS* info) {
    char what[32];
    std::snprintf(what, sizeof what, "crash-%08lx", info->ExceptionRecord->ExceptionCode);
    SaveFinding(what);
    ::TerminateProcess(::GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

void OnAbort(int) {
    SaveFinding("abort");
    ::TerminateProcess(::GetCurrentProcess(), 3);
}

void Watchdog() {
    for (;;) {
        ::Sleep(500);
        const ULONGLONG started = g_inputStarted.load();
        if (started != 0 && ::GetTickCount64() - started > kInputTimeLimitMs) {
            SaveFinding("hang");
            ::TerminateProcess(::GetCurrentProcess(), 3);
        }
    }
}

Bytes ReadFileBytes(const fs::path& path) { return tessara::ReadWholeFile(path.wstring()); }

std::vector<Bytes> LoadSeeds(const fs::path& folder, const std::wstring& extension) {
    std::vector<Bytes> seeds;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() == extension) seeds.push_back(ReadFileBytes(entry.path()));
    }
    return seeds;
}

// ---------------------------------------------------------------------------------------------
// Mutations

class CMutator {
public:
    CMutator(uint64_t seed, uint64_t input) : m_random(seed * 0x9E3779B97F4A7C15ull ^ input) {}

    size_t Below(size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(m_random); }
    uint32_t Word() { return static_cast<uint32_t>(m_random()); }

    uint32_t Interesting() {
        static const uint32_t kValues[] = {0,          1,          2,       0x7F,       0xFF,
                                           0x7FFF,     0xFFFF,     0x10000, 0x7FFFFFFF, 0x80000000,
                                           0xFFFFFFFE, 0xFFFFFFFF, 260,     259,        261};
        return Below(3) == 0 ? Word() : kValues[Below(sizeof kValues / sizeof kValues[0])];
    }

    // Byte-level changes that any input takes: flips, interesting bytes, cuts, insertions, splices.
    void Bytewise(Bytes& data, const std::vector<Bytes>& others, const std::vector<std::string>& tokens) {
        const size_t rounds = 1 + Below(4);
        for (size_t round = 0; round < rounds; ++round) {
            switch (Below(7)) {
                case 0:
                    if (!data.empty()) data[Below(data.size())] ^= static_cast<unsigned char>(1u << Below(8));
                    break;
                case 1:
                    if (!data.empty()) data[Below(data.size())] = static_cast<unsigned char>(Interesting());
                    break;
                case 2:
                    data.resize(Below(data.size() + 1));
                    break;
                case 3: {
                    const size_t at = Below(data.size() + 1),
                                 length = Below(std::min<size_t>(data.size(), 64) + 1);
                    data.erase(data.begin() + at, data.begin() + std::min(data.size(), at + length));
                    break;
                }
                case 4: {
                    const std::string& token = tokens[Below(tokens.size())];
                    data.insert(data.begin() + Below(data.size() + 1), token.begin(), token.end());
                    break;
                }
                case 5: {
                    const Bytes& other = others[Below(others.size())];
                    const size_t from = Below(other.size() + 1), length = Below(other.size() - from + 1);
                    data.insert(data.begin() + Below(data.size() + 1), other.begin() + from,
                                other.begin() + from + length);
                    break;
                }
                default: {
                    if (data.empty()) break;
                    const size_t from = Below(data.size()), length = Below(data.size() - from) + 1;
                    const Bytes slice(data.begin() + from, data.begin() + from + length);
                    data.insert(data.begin() + Below(data.size() + 1), slice.begin(), slice.end());
                }
            }
        }
    }

    // Zip-aware changes: fields of the local and central headers, the end records and Zip64 extras.
    void Zipwise(Bytes& data, const std::vector<Bytes>& others) {
        struct Field {
            size_t offset;
            size_t width;
        };
        std::vector<Field> fields;
        std::vector<std::pair<size_t, size_t>> names;  // offset, length of a stored name
        for (size_t at = 0; at + 46 <= data.size(); ++at) {
            if (data[at] != 'P' || data[at + 1] != 'K') continue;
            const unsigned kind = data[at + 2] * 256u + data[at + 3];
            const auto u16 = [&data](size_t p) { return static_cast<size_t>(data[p] | data[p + 1] << 8); };
            if (kind == 0x0304) {  // local header: flags, method, crc, sizes, name and extra lengths
                for (size_t f : {6, 8, 14, 18, 22}) fields.push_back({at + f, f >= 14 ? 4u : 2u});
                for (size_t f : {26, 28}) fields.push_back({at + f, 2});
                names.push_back({at + 30, u16(at + 26)});
            } else if (kind == 0x0102) {  // central header
                for (size_t f : {8, 10, 16, 20, 24, 42}) fields.push_back({at + f, f >= 16 ? 4u : 2u});
                for (size_t f : {28, 30, 32}) fields.push_back({at + f, 2});
                names.push_back({at + 46, u16(at + 28)});
                // Zip64 extra fields inside the central record's extra area.
                const size_t extra = at + 46 + u16(at + 28), extraEnd = extra + u16(at + 30);
                for (size_t e = extra; e + 4 <= extraEnd && e + 4 <= data.size(); e += 4 + u16(e + 2)) {
                    if (u16(e) == 1) {
                        for (size_t f = e + 4; f + 8 <= e + 4 + u16(e + 2) && f + 8 <= data.size(); f += 8)
                            fields.push_back({f, 8});
                    }
                }
            } else if (kind == 0x0506) {  // end record: counts, directory size and offset
                for (size_t f : {8, 10}) fields.push_back({at + f, 2});
                for (size_t f : {12, 16}) fields.push_back({at + f, 4});
            } else if (kind == 0x0606) {  // Zip64 end record
                for (size_t f : {24, 32, 40, 48}) fields.push_back({at + f, 8});
            } else if (kind == 0x0607) {  // Zip64 end locator
                fields.push_back({at + 8, 8});
            }
        }
        const size_t rounds = 1 + Below(3);
        for (size_t round = 0; round < rounds && !fields.empty(); ++round) {
            const size_t choice = Below(10);
            if (choice < 6) {
                const Field field = fields[Below(fields.size())];
                uint64_t value = Interesting();
                if (field.width == 8 && Below(2)) value = (static_cast<uint64_t>(Word()) << 32) | Word();
                if (Below(4) == 0) {  // nudge the present value instead
                    uint64_t present = 0;
                    for (size_t b = 0; b < field.width && field.offset + b < data.size(); ++b)
                        present |= static_cast<uint64_t>(data[field.offset + b]) << (8 * b);
                    value = present + (Below(2) ? 1 : -1);
                }
                for (size_t b = 0; b < field.width && field.offset + b < data.size(); ++b)
                    data[field.offset + b] = static_cast<unsigned char>(value >> (8 * b));
            } else if (choice < 9 && !names.empty()) {
                static const char* const kNames[] = {"../",      "..\\",     "C:",      "/",
                                                     "con",      "a/../../", "\\\\?\\", "digest.s",
                                                     "DIGEST.S", ":$DATA",   " ",       "."};
                const auto [offset, length] = names[Below(names.size())];
                const std::string text = kNames[Below(sizeof kNames / sizeof kNames[0])];
                for (size_t b = 0; b < text.size() && b < length && offset + b < data.size(); ++b)
                    data[offset + b] = static_cast<unsigned char>(text[b]);
            } else {
                // Splice: a run of another archive's bytes where one of ours began.
                const Bytes& other = others[Below(others.size())];
                const size_t at = fields[Below(fields.size())].offset & ~static_cast<size_t>(3);
                const size_t from = Below(other.size() + 1),
                             length = Below(std::min<size_t>(other.size() - from, 4096) + 1);
                data.insert(data.begin() + std::min(at, data.size()), other.begin() + from,
                            other.begin() + from + length);
            }
        }
    }

private:
    std::mt19937_64 m_random;
};

const std::vector<std::string> kManifestTokens = {"<Reference URI=\"",
                                                  "\" />\r\n",
                                                  "<DigestValue>",
                                                  "</DigestValue>\r\n",
                                                  "\r\n",
                                                  "\n",
                                                  std::string(1, '\0'),
                                                  "..",
                                                  "Content-Range: bytes ",
                                                  "://",
                                                  "@",
                                                  ":",
                                                  "-",
                                                  "/",
                                                  "18446744073709551615",
                                                  "\\",
                                                  "C:",
                                                  "====",
                                                  std::string(300, 'A'),
                                                  "<Reference URI=\"\" />\r\n",
                                                  "<DigestValue></DigestValue>\r\n"};

// ---------------------------------------------------------------------------------------------
// Targets

struct Context {
    std::vector<Bytes> seeds;
    Bytes anchor;
    fs::path sandbox;
    fs::path scratch;
    std::set<fs::path> outsideBefore;
    uint64_t escapes = 0;
    // How far the signed extraction got, by outcome: how much of the run reached past the signature.
    uint64_t outcomes[3] = {};
};

std::set<fs::path> Listing(const fs::path& folder) {
    std::set<fs::path> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        names.insert(it->path());
    return names;
}

void RunManifest(const Bytes& input) {
    tessara::DigestManifest manifest;
    tessara::ParseManifest(manifest, input.data(), input.size());
}

void RunSignature(Context& context, const Bytes& input) {
    tessara::DigestManifest manifest;
    manifest.pinnedCertificate = context.anchor;
    tessara::VerifyManifestMessage(manifest, input);
}

// A span past the directory or before its own start would send range requests for bytes that are not
// the entry's: such a result is a finding, as a crash is.
void RunDirectory(const Bytes& input) {
    constexpr size_t kTail = 64 * 1024;
    const Bytes tail(input.end() - static_cast<std::ptrdiff_t>(std::min(kTail, input.size())), input.end());
    const auto location = tessara::FindCentralDirectory(tail, input.size());
    if (!location) return;
    if (location->offset + location->size > input.size()) std::abort();
    const auto from = input.begin() + static_cast<std::ptrdiff_t>(location->offset);
    const Bytes directory(from, from + static_cast<std::ptrdiff_t>(location->size));
    const auto entries = tessara::ParseCentralDirectory(directory, *location);
    if (!entries) return;
    for (const tessara::ZipEntrySpan& entry : *entries) {
        if (entry.end <= entry.offset || entry.end > location->offset) std::abort();
    }
}

void RunRange(const Bytes& input) {
    const std::string text(input.begin(), input.end());
    for (const char* name : {"Content-Range", "ETag", "Last-Modified", "Retry-After", "Content-Length"}) {
        const std::optional<std::string> value = tessara::HeaderValue(text, name);
        if (!value) continue;
        if (const auto range = tessara::ParseContentRange(*value))
            if (range->first > range->last || range->last >= range->total) std::abort();
        tessara::ParseRetryAfter(*value, tessara::HeaderValue(text, "Date").value_or(""), 0);
    }
    const std::string masked = tessara::MaskUrlCredentials(text);
    const std::wstring wide(text.begin(), text.end());
    const tessara::UrlCredentials parts = tessara::SplitUrlCredentials(wide);
    // A URL stripped of its credentials has none left to mask.
    if (parts.present && tessara::SplitUrlCredentials(parts.url).url.size() > parts.url.size()) std::abort();
    tessara::BasicAuthorizationHeader(parts);
}

// Everything written must stay below the scratch folder: the sandbox holds only the input and the
// scratch folder, and the folder around the sandbox keeps what it had.
void CheckNothingEscaped(Context& context) {
    const std::set<fs::path> expected = {context.sandbox / "input.zip", context.scratch};
    const bool escaped = Listing(context.sandbox) != expected ||
                         Listing(context.sandbox.parent_path()) != context.outsideBefore;
    if (escaped) {
        ++context.escapes;
        SaveFinding("escape");
        for (const fs::path& path : Listing(context.sandbox))
            if (!expected.count(path)) fs::remove_all(path);
    }
}

// The input as an archive that has arrived whole, for the reader that unpacks one as it arrives.
class CArrivedBytes : public tessara::IArrivingArchive {
public:
    explicit CArrivedBytes(const Bytes& bytes) : m_bytes(bytes) {}
    bool Read(uint64_t offset, unsigned char* into, size_t size) override {
        if (offset > m_bytes.size() || size > m_bytes.size() - offset) return false;
        std::copy_n(m_bytes.data() + offset, size, into);
        return true;
    }
    std::optional<uint64_t> FinalSize() override { return m_bytes.size(); }

private:
    const Bytes& m_bytes;
};

void RunArchive(Context& context, const Bytes& input) {
    const fs::path archive = context.sandbox / "input.zip";
    WriteFileBytes(archive.wstring(), input);
    std::error_code ec;
    fs::remove_all(context.scratch, ec);
    const fs::path plain = context.scratch / "plain", signedFolder = context.scratch / "signed",
                   arrivedFolder = context.scratch / "arrived";
    for (const fs::path& folder : {plain, signedFolder, arrivedFolder}) fs::create_directories(folder, ec);
    {
        NsCommon::details::CCompressedFile reader(archive.wstring());
        for (const std::string& name : reader.GetEntryNames()) {
            reader.GetUncompressedSize(name.data(), static_cast<int>(name.size()));
            reader.GetEntryPath(name.data(), static_cast<int>(name.size()));
        }
        reader.ExtractAll(plain.wstring());
    }
    const std::wstring installFolder = L"C:\\users\\fuzz\\AppData\\Roaming\\Orvix\\Tessara";
    const tessara::PayloadExtraction outcome = tessara::ExtractVerifiedPayloadWithAnchor(
        archive.wstring(), signedFolder.wstring(), installFolder, context.anchor);
    CArrivedBytes whole(input);
    tessara::ExtractArrivingPayload(whole, arrivedFolder.wstring(), installFolder, context.anchor);
    ++context.outcomes[static_cast<int>(outcome)];
    CheckNothingEscaped(context);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 7) {
        std::fprintf(
            stderr,
            "usage: fuzz manifest|signature|archive|directory|range COUNT SEED SEED-FOLDER SANDBOX FINDINGS "
            "[FIRST]\n");
        return 2;
    }
    g_kind = fs::path(argv[1]).string();
    const uint64_t count = std::wcstoull(argv[2], nullptr, 10);
    const uint64_t seed = std::wcstoull(argv[3], nullptr, 10);
    const fs::path seedFolder = argv[4];
    g_findings = argv[6];
    const uint64_t first = argc > 7 ? std::wcstoull(argv[7], nullptr, 10) : 0;

    Context context;
    context.sandbox = argv[5];
    context.scratch = context.sandbox / "scratch";
    fs::create_directories(context.scratch);
    fs::create_directories(g_findings);
    context.outsideBefore = Listing(context.sandbox.parent_path());
    context.anchor = ReadFileBytes(seedFolder / "anchor.der");
    const std::wstring extension = g_kind == "manifest"    ? L".txt"
                                   : g_kind == "signature" ? L".s"
                                   : g_kind == "range"     ? L".hdr"
                                                           : L".zip";
    context.seeds = LoadSeeds(seedFolder, extension);
    if (context.seeds.empty() || context.anchor.empty() ||
        (g_kind != "manifest" && g_kind != "signature" && g_kind != "archive" && g_kind != "directory" &&
         g_kind != "range")) {
        std::fprintf(stderr, "fuzz: unknown kind, or no seeds or anchor in the seed folder\n");
        return 2;
    }

    ::SetUnhandledExceptionFilter(OnCrash);
    std::signal(SIGABRT, OnAbort);
    std::set_terminate([] { OnAbort(0); });
    std::thread(Watchdog).detach();

    const ULONGLONG start = ::GetTickCount64();
    Bytes input;
    g_input = &input;
    for (uint64_t i = first; i < first + count; ++i) {
        CMutator mutator(seed, i);
        input = context.seeds[mutator.Below(context.seeds.size())];
        if ((g_kind == "archive" || g_kind == "directory") && mutator.Below(4) != 0) {
            mutator.Zipwise(input, context.seeds);
        } else {
            mutator.Bytewise(input, context.seeds, kManifestTokens);
        }
        g_inputNumber = i;
        g_inputStarted = ::GetTickCount64();
        if (g_kind == "manifest") {
            RunManifest(input);
        } else if (g_kind == "signature") {
            RunSignature(context, input);
        } else if (g_kind == "directory") {
            RunDirectory(input);
        } else if (g_kind == "range") {
            RunRange(input);
        } else {
            RunArchive(context, input);
        }
        g_inputStarted = 0;
    }
    const double seconds = static_cast<double>(::GetTickCount64() - start) / 1000.0;

    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof memory);
    const bool memoryBounded = memory.PeakWorkingSetSize <= kPeakWorkingSetLimit;
    if (!memoryBounded) SaveFinding("memory");
    std::error_code ec;
    fs::remove_all(context.scratch, ec);
    fs::remove(context.sandbox / "input.zip", ec);
    std::printf("kind=%s inputs=%llu seconds=%.1f inputs/s=%.0f escapes=%llu peak-working-set=%.1fMiB",
                g_kind.c_str(), static_cast<unsigned long long>(count), seconds,
                seconds > 0 ? static_cast<double>(count) / seconds : 0.0,
                static_cast<unsigned long long>(context.escapes),
                static_cast<double>(memory.PeakWorkingSetSize) / (1024.0 * 1024.0));
    if (g_kind == "archive") {
        std::printf(" signed-extraction: extracted=%llu extraction-failed=%llu check-failed=%llu",
                    static_cast<unsigned long long>(context.outcomes[0]),
                    static_cast<unsigned long long>(context.outcomes[1]),
                    static_cast<unsigned long long>(context.outcomes[2]));
    }
    std::printf("\n");
    return context.escapes == 0 && memoryBounded ? 0 : 1;
}
