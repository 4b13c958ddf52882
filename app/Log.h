#pragma once
// The installer log "debugLog.log": one line per event, "[<ctime>] :: <message>", flushed at once.
// Wide-string arguments (paths, URLs) are converted to the ANSI code page for the line; a
// character that has no equivalent becomes '?' rather than failing the line.
#include <ctime>
#include <string>
#include <tuple>
#include <type_traits>

namespace tessara {

// Without a path: opens "debugLog.log" in the working directory, truncating it, or in the temporary
// folder when the working directory cannot be written. With a path (the "/log" switch): appends to
// that file after a line that marks the start of this run; when that file cannot be written, writes
// "debugLog.log" in the temporary folder, beginning with a line that names the path it could not
// write. Without a log every log call is a no-op.
bool LogOpen(const std::wstring& path = {});
// Closes the log. A writer on another thread never touches the stream afterwards.
void LogClose();

bool LogWrite(std::string message);

// While one lives, lines written on its thread are dropped: the thread's findings are found again,
// and logged, on the thread that acts on them.
class CQuietLog {
public:
    CQuietLog();
    ~CQuietLog();
    CQuietLog(const CQuietLog&) = delete;
    CQuietLog& operator=(const CQuietLog&) = delete;
};

// "Www Mmm dd hh:mm:ss yyyy" with a blank-padded day, as ctime lays it out.
std::string FormatLogTime(const std::tm& local);
std::string FormatLogLine(const std::tm& local, const std::string& message);

// Lossy conversion of a wide string to the ANSI code page.
std::string NarrowForLog(const std::wstring& text);

namespace logdetail {
// Formats into a 1000-byte buffer with snprintf semantics: output beyond 999 characters is cut.
bool FormatAndWrite(const char* format, ...);
std::string RewriteWideConversions(const char* format);

inline std::string Adapt(const wchar_t* text) { return NarrowForLog(text ? text : L""); }
inline std::string Adapt(wchar_t* text) { return Adapt(static_cast<const wchar_t*>(text)); }
inline std::string Adapt(const std::wstring& text) { return NarrowForLog(text); }
inline std::string Adapt(const std::string& text) { return text; }
template <typename T>
T Adapt(T value) {
    static_assert(std::is_arithmetic_v<T> || std::is_pointer_v<T>, "log arguments are numbers or strings");
    return value;
}
inline const char* Pass(const std::string& held) { return held.c_str(); }
template <typename T>
T Pass(T value) {
    return value;
}
}  // namespace logdetail

// printf-style logging. "%S" takes a wide string (const wchar_t* or std::wstring), "%s" a narrow one,
// "%d" a number or flag.
template <typename... Args>
bool LogFormat(const char* format, const Args&... args) {
    auto held = std::make_tuple(logdetail::Adapt(args)...);
    const std::string narrowFormat = logdetail::RewriteWideConversions(format);
    return std::apply(
        [&](const auto&... value) {
            return logdetail::FormatAndWrite(narrowFormat.c_str(), logdetail::Pass(value)...);
        },
        held);
}

}  // namespace tessara
