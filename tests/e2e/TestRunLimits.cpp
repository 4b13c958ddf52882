// The test build's limits: lower stall time and overall wait, shorter pauses between download attempts, size
// limit and lock wait from the environment, and a run that ends itself, as a kill would, at the step boundary
// named in TESSARA_TEST_STOP_AT or before the durable step numbered TESSARA_TEST_CRASH_AT (counted from 1
// over the whole process). With TESSARA_TEST_CRASH_TRACE naming a file, every durable step is appended to it
// as "<number> <step>". With TESSARA_TEST_WRITE_ACCOUNT naming a file, every file written, flushed or
// moved with its folder is appended to it ("write", "flushed", "moved", tab-separated); with
// TESSARA_TEST_REGISTRY_SNAPSHOT naming a file, the first registry change after a flush of the registry
// writes the keys a run changes, as they were, into it as a registry file to import, and a flush
// removes it. It also paints in a high-contrast theme when TESSARA_TEST_HIGH_CONTRAST is set.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "app/RunLimits.h"
#include "engine/JournalFormat.h"
#include "system/Registration.h"
#include "ui/Painting.h"

namespace tessara {
namespace {

uint64_t NumberFromEnvironment(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 10) : fallback;
}

std::wstring WideFromEnvironment(const char* name) {
    const char* text = std::getenv(name);
    return text ? std::wstring(text, text + std::strlen(text)) : std::wstring();
}

// The names of the keys and values are ASCII, as is everything the account and the snapshot hold but
// paths, which go as UTF-8.
std::string Utf8(const std::wstring& text) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size - 1 : 0), '\0');
    if (size > 1) ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), size, nullptr, nullptr);
    return out;
}

std::wstring PlainPath(const std::wstring& path) {
    return path.compare(0, 4, L"\\\\?\\") == 0 ? path.substr(4) : path;
}

void AppendToAccount(const std::string& line) {
    static std::mutex lock;
    const std::wstring account = WideFromEnvironment("TESSARA_TEST_WRITE_ACCOUNT");
    if (account.empty()) return;
    const std::lock_guard<std::mutex> guard(lock);
    if (FILE* file = ::_wfopen(account.c_str(), L"ab")) {
        std::fputs(line.c_str(), file);
        std::fclose(file);
    }
}

std::string QuotedName(const std::wstring& name) {
    if (name.empty()) return "@";
    std::string quoted = "\"";
    for (const char c : Utf8(name))
        quoted += (c == '"' || c == '\\') ? std::string("\\") + c : std::string(1, c);
    return quoted + "\"";
}

std::string ValueLine(const std::wstring& name, DWORD type, const unsigned char* data, DWORD size) {
    std::string line = QuotedName(name) + "=hex(" + std::to_string(type) + "):";
    char hex[4];
    for (DWORD i = 0; i < size; ++i) {
        std::snprintf(hex, sizeof hex, i ? ",%02x" : "%02x", data[i]);
        line += hex;
    }
    return line + "\r\n";
}

// The key with its values and, to any depth, its subkeys; only the value `only` when given.
void AppendKey(std::string& out, const std::wstring& path, const wchar_t* only = nullptr) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    out += "[HKEY_CURRENT_USER\\" + Utf8(path) + "]\r\n";
    for (DWORD index = 0;; ++index) {
        wchar_t name[16384];
        unsigned char data[65536];
        DWORD nameLength = 16384, type = 0, size = sizeof data;
        if (::RegEnumValueW(key, index, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS)
            break;
        if (!only || ::lstrcmpiW(name, only) == 0) out += ValueLine(name, type, data, size);
    }
    out += "\r\n";
    for (DWORD index = 0; !only; ++index) {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (::RegEnumKeyExW(key, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        AppendKey(out, path + L"\\" + name);
    }
    ::RegCloseKey(key);
}

// Before the first change since the last flush: what a power cut would bring back.
void SnapshotRegistryUnlessTaken() {
    const std::wstring snapshot = WideFromEnvironment("TESSARA_TEST_REGISTRY_SNAPSHOT");
    if (snapshot.empty() || ::GetFileAttributesW(snapshot.c_str()) != INVALID_FILE_ATTRIBUTES) return;
    std::string text = "REGEDIT4\r\n\r\n";
    for (const wchar_t* tree : {UninstallKeyPath, ProtocolKeyPath, VendorKeyPath})
        text += "[-HKEY_CURRENT_USER\\" + Utf8(tree) + "]\r\n\r\n";
    text += "[HKEY_CURRENT_USER\\" + Utf8(RunKeyPath) + "]\r\n" + QuotedName(RunValueName) + "=-\r\n\r\n";
    for (const wchar_t* tree : {UninstallKeyPath, ProtocolKeyPath, VendorKeyPath}) AppendKey(text, tree);
    AppendKey(text, RunKeyPath, RunValueName);
    if (FILE* file = ::_wfopen(snapshot.c_str(), L"wb")) {
        std::fputs(text.c_str(), file);
        std::fclose(file);
    }
}

}  // namespace

uint32_t DownloadStallMilliseconds() {
    return static_cast<uint32_t>(NumberFromEnvironment("TESSARA_TEST_STALL_MS", 60 * 1000));
}

uint32_t DownloadWaitLimitMilliseconds() {
    return static_cast<uint32_t>(NumberFromEnvironment("TESSARA_TEST_WAIT_LIMIT_MS", 3 * 60 * 1000));
}

uint32_t DownloadRetryPauseMilliseconds() {
    return static_cast<uint32_t>(NumberFromEnvironment("TESSARA_TEST_RETRY_PAUSE_MS", 1000));
}

uint64_t DownloadSizeLimit() { return NumberFromEnvironment("TESSARA_TEST_SIZE_LIMIT", 4ull << 30); }

uint32_t RunLockWaitMilliseconds() {
    return static_cast<uint32_t>(NumberFromEnvironment("TESSARA_TEST_LOCK_WAIT_MS", 10 * 60 * 1000));
}

void PassStopPoint(const char* name) {
    const char* stopAt = std::getenv("TESSARA_TEST_STOP_AT");
    if (stopAt && std::strcmp(stopAt, name) == 0) ::TerminateProcess(::GetCurrentProcess(), 99);
}

void PassDurableStep(const char* step) {
    if (std::strncmp(step, "registry", 8) == 0) SnapshotRegistryUnlessTaken();
    static std::atomic<uint64_t> passed{0};
    const uint64_t number = ++passed;
    if (const char* trace = std::getenv("TESSARA_TEST_CRASH_TRACE")) {
        if (FILE* file = std::fopen(trace, "a")) {
            std::fprintf(file, "%llu %s\n", static_cast<unsigned long long>(number), step);
            std::fclose(file);
        }
    }
    if (NumberFromEnvironment("TESSARA_TEST_CRASH_AT", 0) == number)
        ::TerminateProcess(::GetCurrentProcess(), 99);
}

void NoteFileWritten(const std::wstring& path) { AppendToAccount("write\t" + Utf8(PlainPath(path)) + "\n"); }

void NoteFileFlushed(const std::wstring& path) {
    AppendToAccount("flushed\t" + Utf8(PlainPath(path)) + "\n");
}

void NoteFolderMoved(const std::wstring& from, const std::wstring& to) {
    AppendToAccount("moved\t" + Utf8(PlainPath(from)) + "\t" + Utf8(PlainPath(to)) + "\n");
}

void NoteRegistryFlushed() {
    const std::wstring snapshot = WideFromEnvironment("TESSARA_TEST_REGISTRY_SNAPSHOT");
    if (!snapshot.empty()) ::DeleteFileW(snapshot.c_str());
}

bool IsHighContrast() { return std::getenv("TESSARA_TEST_HIGH_CONTRAST") != nullptr; }

}  // namespace tessara
