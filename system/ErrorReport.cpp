#include "system/ErrorReport.h"

#include <shlobj.h>

#include <cstring>
#include <cwchar>
#include <iterator>
#include <optional>
#include <type_traits>

#include "app/FileSystem.h"
#include "app/ScopedWin.h"
#include "app/SystemLibrary.h"
#include "app/Text.h"
#include "app/InstallLocations.h"
#include "app/InstallStage.h"
#include "system/SimpleMapi.h"

namespace tessara {
namespace {

constexpr const char* ReportTitle = "Tessara App Setup";
constexpr const char* ReportSubject = "Tessara App Installer Error Report";
constexpr const wchar_t* MapiLibraryName = L"MAPI32.DLL";
constexpr const wchar_t* ReportNamePrefix = L"Orvix Tessara setup report ";
constexpr int kMaxReportsAMinute = 99;

static_assert(sizeof(OSVERSIONINFOEXA) == 156, "extended version record");
static_assert(sizeof(MEMORYSTATUSEX) == 64, "memory status record");

const char* FailureText(uint32_t stage) {
    switch (stage) {
        case StageDownload:
            return "Could not download the payload";
        case StageExtract:
            return "Could not unzip payload";
        case StageVerify:
            return "Could not verify payload";
        case StageReplace:
            return "Could not move to the target folder path";
        case StageUninstallKeys:
            return "Could not create uninstall keys";
        case StageProtocolKeys:
            return "Could not create proto keys";
        case StageStartupKeys:
            return "Could not create startup keys";
        case StagePlatform:
            return "Platform incompatibility";
        default:
            return nullptr;
    }
}

std::string VersionLine(const OSVERSIONINFOEXA& version) {
    const std::string servicePack(version.szCSDVersion,
                                  ::strnlen(version.szCSDVersion, sizeof version.szCSDVersion));
    return "OS Version : " + std::to_string(version.dwMajorVersion) + "." +
           std::to_string(version.dwMinorVersion) + " (" + std::to_string(version.dwBuildNumber) + ") " +
           servicePack + " (" + std::to_string(version.wServicePackMajor) + "." +
           std::to_string(version.wServicePackMinor) + ")";
}

// MAPI32.DLL is no known system library: a search by bare name would look in the program's own
// folder first, and a downloaded setup program shares its folder with whatever else was downloaded.
unique_hmodule LoadMapiLibrary() { return unique_hmodule(LoadSystemLibrary(MapiLibraryName)); }

// True when every character had its own place in the ANSI code page.
bool ConvertToAnsi(const std::wstring& text, std::string& converted) {
    bool exact = false;
    const std::optional<std::string> narrow = NarrowText(text, CP_ACP, &exact);
    converted = narrow.value_or(std::string());
    return narrow && exact;
}

// The ANSI mail interface reads paths in the ANSI code page; a path with characters the code page
// lacks goes in its short form, which names the same file in plain letters.
std::string AnsiPath(const std::wstring& path) {
    std::string converted;
    if (ConvertToAnsi(path, converted)) return converted;
    std::wstring shortPath(::GetShortPathNameW(path.c_str(), nullptr, 0), L'\0');
    const DWORD length =
        ::GetShortPathNameW(path.c_str(), shortPath.data(), static_cast<DWORD>(shortPath.size()));
    if (length == 0 || length >= shortPath.size()) return converted;
    shortPath.resize(length);
    ConvertToAnsi(shortPath, converted);
    return converted;
}

// One message, no recipients and no text, with the report attached; the mail program asks for a
// logon if it needs one and shows the message for the user to address and send.
template <typename Message, typename Text>
ULONG HandOver(ULONG(WINAPI* send)(LHANDLE, ULONG_PTR, Message*, FLAGS, ULONG), Text subject, Text path) {
    std::remove_pointer_t<decltype(Message::lpFiles)> attachment{};
    attachment.nPosition = MapiNoPosition;
    attachment.lpszPathName = path.data();
    attachment.lpszFileName = path.data();
    Message message{};
    message.lpszSubject = subject.data();
    message.nFileCount = 1;
    message.lpFiles = &attachment;
    return send(0, reinterpret_cast<ULONG_PTR>(::GetDesktopWindow()), &message, MAPI_LOGON_UI | MAPI_DIALOG,
                0);
}

}  // namespace

ErrorReportFacts ReadErrorReportFacts() {
    ErrorReportFacts facts;
    OSVERSIONINFOEXA version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version))) facts.version = version;
    MEMORYSTATUSEX memory{};
    memory.dwLength = sizeof memory;
    if (::GlobalMemoryStatusEx(&memory)) facts.totalPhysicalBytes = memory.ullTotalPhys;
    SYSTEM_INFO system{};
    ::GetSystemInfo(&system);
    facts.processorCount = system.dwNumberOfProcessors;
    facts.processorArchitecture = system.wProcessorArchitecture;
    return facts;
}

std::vector<std::string> FormatErrorReport(const ErrorReportFacts& facts, uint32_t stage) {
    std::vector<std::string> lines = {ReportTitle, ""};
    if (facts.version) lines.push_back(VersionLine(*facts.version));
    if (facts.totalPhysicalBytes) {
        const uint32_t kibibytes = static_cast<uint32_t>(*facts.totalPhysicalBytes >> 10);
        lines.push_back("Total Memory : " + std::to_string(kibibytes) + " KB");
    }
    lines.push_back("Core Count : " + std::to_string(facts.processorCount) +
                    " :: Arch : " + std::to_string(facts.processorArchitecture));
    if (const char* failure = FailureText(stage)) lines.push_back(failure);
    return lines;
}

std::wstring WriteErrorReport(uint32_t stage) {
    const std::wstring folder = GetTempFolder();
    // Without the temporary folder the report would land in whatever the current folder is.
    if (folder.empty()) return {};
    // Every line ends with CR LF, as a text file on this system does.
    std::string text;
    for (const std::string& line : FormatErrorReport(ReadErrorReportFacts(), stage)) text += line + "\r\n";
    // A name the user recognises among other files, and that sorts by time; a later report of the same
    // minute gets a number rather than replacing the first.
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    wchar_t stamp[32] = {};
    std::swprintf(stamp, std::size(stamp), L"%04u-%02u-%02u %02u%02u", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute);
    for (int copy = 1; copy <= kMaxReportsAMinute; ++copy) {
        const std::wstring number = copy > 1 ? L" (" + std::to_wstring(copy) + L")" : L"";
        const std::wstring path = JoinPath(folder, ReportNamePrefix + std::wstring(stamp) + number + L".log");
        if (WriteFileBytes(path, text.data(), text.size(), false)) return path;
        if (::GetLastError() != ERROR_FILE_EXISTS) return {};
    }
    return {};
}

bool SendErrorReport(std::wstring reportPath) {
    const unique_hmodule mapi = LoadMapiLibrary();
    if (!mapi) return false;
    ULONG result = 0;
    // The wide interface takes any path; the ANSI one only what the ANSI code page can spell.
    if (const auto sendWide = ProcAs<MapiSendMailW>(::GetProcAddress(mapi.get(), "MAPISendMailW"))) {
        result = HandOver(sendWide, std::wstring(ReportSubject, ReportSubject + std::strlen(ReportSubject)),
                          reportPath);
    } else if (const auto sendAnsi = ProcAs<MapiSendMailA>(::GetProcAddress(mapi.get(), "MAPISendMail"))) {
        result = HandOver(sendAnsi, std::string(ReportSubject), AnsiPath(reportPath));
    } else {
        return false;
    }
    // A user who cancels the message or the logon has still been offered the report.
    return result == SUCCESS_SUCCESS || result == MAPI_USER_ABORT || result == MAPI_E_LOGIN_FAILURE;
}

bool ShowFileInFolder(const std::wstring& path) {
    using unique_item_list = UniqueResource<SimpleTraits<PIDLIST_ABSOLUTE, ::ILFree>>;
    const unique_item_list item(::ILCreateFromPathW(path.c_str()));
    return item && SUCCEEDED(::SHOpenFolderAndSelectItems(item.get(), 0, nullptr, 0));
}

}  // namespace tessara
