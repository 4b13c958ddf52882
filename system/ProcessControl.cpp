#include "system/ProcessControl.h"

#include <windows.h>
#include <tlhelp32.h>

#include "app/FileSystem.h"
#include "app/Log.h"
#include "app/ScopedWin.h"
#include "app/Text.h"
#include "app/InstallLocations.h"

namespace tessara {

const std::vector<std::wstring> ApplicationProcessNames = {L"tessara.exe", L"orvixtessaraaddin.exe",
                                                           L"encoderhelper.exe", L"tslogtransport.exe",
                                                           L"tswindowsclientservice.exe"};
const std::vector<std::wstring> RunningCheckNames = {L"tessara.exe", L"orvixtessaraaddin.exe"};
const std::vector<std::wstring> DetectorProcessNames = {L"tessaradetector.exe"};

namespace {

wchar_t FoldAsciiCase(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool EqualsIgnoringAsciiCase(const wchar_t* image, const std::wstring& name) {
    size_t i = 0;
    for (; image[i] != L'\0'; ++i) {
        if (i == name.size() || FoldAsciiCase(image[i]) != FoldAsciiCase(name[i])) return false;
    }
    return i == name.size();
}

bool MatchesAnyName(const wchar_t* image, const std::vector<std::wstring>& names) {
    for (const std::wstring& name : names) {
        if (EqualsIgnoringAsciiCase(image, name)) return true;
    }
    return false;
}

// A process of the application that this run may stop: one it can open for that, running in this
// session or started from the user's own install folder (the same user signed in elsewhere). A process
// of another session or account (a shared machine, a terminal server) is somebody else's.
bool IsOurs(DWORD id, DWORD ourSession, const std::wstring& installFolder) {
    const unique_handle process(
        ::OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
    if (!process) return false;
    DWORD session = 0;
    if (::ProcessIdToSessionId(id, &session) && session == ourSession) return true;
    std::wstring image(32768, L'\0');
    DWORD size = static_cast<DWORD>(image.size());
    if (!::QueryFullProcessImageNameW(process.get(), 0, image.data(), &size)) return false;
    image.resize(size);
    return IsInsideFolder(image, installFolder);
}

// Ids of our processes whose image name is one of names, in snapshot order; with firstOnly the walk
// stops at the first match. The snapshot is closed when this returns, before anyone acts on the ids.
std::vector<DWORD> FindProcesses(const std::vector<std::wstring>& names, bool firstOnly) {
    std::vector<DWORD> ids;
    const unique_file_handle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return ids;
    DWORD ourSession = 0;
    if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &ourSession)) return ids;
    const std::wstring installFolder = GetInstallFolder();
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
        // Never this process: an uninstallation may be started as the installed application itself.
        if (entry.th32ProcessID == ::GetCurrentProcessId() || !MatchesAnyName(entry.szExeFile, names) ||
            !IsOurs(entry.th32ProcessID, ourSession, installFolder))
            continue;
        ids.push_back(entry.th32ProcessID);
        if (firstOnly) break;
    }
    return ids;
}

}  // namespace

bool IsAnyProcessRunning(const std::vector<std::wstring>& names) {
    return !FindProcesses(names, true).empty();
}

bool TerminateProcessesByName(const std::vector<std::wstring>& names) {
    bool opened = false;
    for (const DWORD id : FindProcesses(names, false)) {
        // Gone in the meantime: the caller's next running test sees what is left.
        const unique_handle process(::OpenProcess(PROCESS_TERMINATE, FALSE, id));
        if (!process) continue;
        opened = true;
        ::TerminateProcess(process.get(), 1);
    }
    return opened;
}

bool IsApplicationRunning() { return IsAnyProcessRunning(RunningCheckNames); }

bool IsDetectorRunning() { return IsAnyProcessRunning(DetectorProcessNames); }

bool StopApplicationProcesses() { return TerminateProcessesByName(ApplicationProcessNames); }

bool StopDetectorProcess() { return TerminateProcessesByName(DetectorProcessNames); }

bool StartProcess(const std::wstring& program, std::wstring commandLine, const std::wstring& folder,
                  DWORD flags) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    const BOOL ok = ::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, flags,
                                     nullptr, folder.empty() ? nullptr : folder.c_str(), &startup, &started);
    const unique_handle process(started.hProcess);
    const unique_handle thread(started.hThread);
    return ok != FALSE;
}

bool StartDetector(std::wstring installFolder) {
    const std::wstring detector = JoinFixedName(installFolder, DetectorExecutableName);
    // Runs after the installation has been committed: an unreadable folder only means no detector.
    if (detector.empty() || !PathExists(detector)) return false;
    // The application name is passed on its own, so the unquoted command line may contain blanks.
    return StartProcess(detector, detector, installFolder);
}

void StopApplicationAndDetector(const char* applicationLine, const char* detectorLine) {
    LogWrite(applicationLine);
    StopApplicationProcesses();
    LogWrite(detectorLine);
    StopDetectorProcess();
}

bool WaitUntilStopped() {
    for (int round = 0; round < StopWaitRounds; ++round) {
        const bool applicationLeft = StopApplicationProcesses();
        const bool detectorLeft = StopDetectorProcess();
        if (!applicationLeft && !detectorLeft) return true;
        ::Sleep(100);
    }
    return false;
}

}  // namespace tessara
