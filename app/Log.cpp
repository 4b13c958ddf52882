#include "app/Log.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <share.h>

#include "app/InstallLocations.h"
#include "app/HttpText.h"
#include "app/Text.h"

namespace tessara {
namespace {

// One lock serves the writers and the close, so that a worker thread still logging while the
// entry point shuts down never writes to a closed stream.
std::mutex g_logLock;
FILE* g_logStream = nullptr;

constexpr size_t kFormatBufferSize = 1000;
constexpr wchar_t kLogFileName[] = L"debugLog.log";

std::time_t CurrentTimeInSeconds() {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks{};
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    constexpr unsigned long long kTicksFrom1601To1970 = 116444736000000000ULL;
    return static_cast<std::time_t>((ticks.QuadPart - kTicksFrom1601To1970) / 10000000ULL);
}

// Like fopen_s, the file is not shared for writing while the program runs.
FILE* OpenShared(const std::wstring& path, const wchar_t* mode) {
    return _wfsopen(path.c_str(), mode, _SH_DENYWR);
}

std::wstring TempFolderLogPath() {
    const std::wstring folder = GetTempFolder();
    return folder.empty() ? std::wstring() : folder + kLogFileName;
}

FILE* OpenDefaultLog() {
    if (FILE* stream = OpenShared(kLogFileName, L"w")) return stream;
    // A deployment often starts the program from a share or cache folder that the user cannot write.
    const std::wstring fallback = TempFolderLogPath();
    return fallback.empty() ? nullptr : OpenShared(fallback, L"w");
}

}  // namespace

bool LogOpen(const std::wstring& path) {
    enum class Opened { Default, Appending, InsteadOfPath } opened = Opened::Default;
    {
        std::lock_guard<std::mutex> guard(g_logLock);
        if (g_logStream) return true;
        if (!path.empty()) {
            g_logStream = OpenShared(path, L"a");
            opened = Opened::Appending;
            // The one who asked for that log looks in the documented place next, not in whatever the
            // working directory happens to be.
            if (!g_logStream) {
                const std::wstring fallback = TempFolderLogPath();
                if (!fallback.empty()) g_logStream = OpenShared(fallback, L"w");
                opened = Opened::InsteadOfPath;
            }
        }
        if (!g_logStream) {
            g_logStream = OpenDefaultLog();
            opened = Opened::Default;
        }
        if (!g_logStream) return false;
    }
    // Runs appended to one file stay apart.
    if (opened == Opened::Appending)
        LogFormat("======== New run, process %d ========", static_cast<int>(::GetCurrentProcessId()));
    if (opened == Opened::InsteadOfPath) LogFormat("could not write the log at %S", path);
    return true;
}

void LogClose() {
    std::lock_guard<std::mutex> guard(g_logLock);
    if (g_logStream) std::fclose(g_logStream);
    g_logStream = nullptr;
}

std::string FormatLogTime(const std::tm& local) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char text[64] = {};
    std::snprintf(text, sizeof text, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", kDays[(local.tm_wday % 7 + 7) % 7],
                  kMonths[(local.tm_mon % 12 + 12) % 12], local.tm_mday, local.tm_hour, local.tm_min,
                  local.tm_sec, 1900 + local.tm_year);
    return text;
}

std::string FormatLogLine(const std::tm& local, const std::string& message) {
    return "[" + FormatLogTime(local).substr(0, 24) + "] :: " + message + "\n";
}

namespace {
thread_local int g_quietScopes = 0;
}  // namespace

CQuietLog::CQuietLog() { ++g_quietScopes; }
CQuietLog::~CQuietLog() { --g_quietScopes; }

bool LogWrite(std::string message) {
    if (g_quietScopes != 0) return true;
    std::lock_guard<std::mutex> guard(g_logLock);
    if (!g_logStream) return false;
    const std::time_t now = CurrentTimeInSeconds();
    std::tm local{};
    localtime_s(&local, &now);
    // A password written into a URL must not reach the log, whichever line quotes the URL.
    const std::string line = FormatLogLine(local, MaskUrlCredentials(std::move(message)));
    std::fwrite(line.data(), 1, line.size(), g_logStream);
    std::fflush(g_logStream);
    return true;
}

std::string NarrowForLog(const std::wstring& text) {
    return NarrowText(text, CP_ACP).value_or(std::string());
}

namespace logdetail {

std::string RewriteWideConversions(const char* format) {
    std::string out(format);
    for (size_t i = 0; i + 1 < out.size(); ++i) {
        if (out[i] != '%') continue;
        if (out[i + 1] == 'S') out[i + 1] = 's';
        ++i;  // skip the conversion character, so "%%S" stays literal
    }
    return out;
}

bool FormatAndWrite(const char* format, ...) {
    char buffer[kFormatBufferSize] = {};
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return LogWrite(buffer);
}

}  // namespace logdetail
}  // namespace tessara
