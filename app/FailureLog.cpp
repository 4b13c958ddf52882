#include "app/FailureLog.h"

#include <restartmanager.h>

#include <vector>

#include "app/ExitCodes.h"
#include "app/Log.h"
#include "app/ScopedWin.h"
#include "app/SystemLibrary.h"

namespace tessara {

std::string SystemErrorText(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    const unique_hlocal owner(text);
    std::wstring message(text ? text : L"", length);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L'.'))
        message.pop_back();
    return NarrowForLog(message);
}

namespace {

// The processes that hold the file, as the Restart Manager sees them; empty where it is missing.
std::vector<RM_PROCESS_INFO> ProcessesHolding(const std::wstring& path) {
    const auto start = SystemFunction<decltype(&::RmStartSession)>(L"rstrtmgr.dll", "RmStartSession");
    const auto registerFiles =
        SystemFunction<decltype(&::RmRegisterResources)>(L"rstrtmgr.dll", "RmRegisterResources");
    const auto getList = SystemFunction<decltype(&::RmGetList)>(L"rstrtmgr.dll", "RmGetList");
    const auto end = SystemFunction<decltype(&::RmEndSession)>(L"rstrtmgr.dll", "RmEndSession");
    std::vector<RM_PROCESS_INFO> processes;
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    if (!start || !registerFiles || !getList || !end || start(&session, 0, key) != ERROR_SUCCESS)
        return processes;
    LPCWSTR file = path.c_str();
    UINT needed = 0, count = 0;
    DWORD reasons = 0;
    if (registerFiles(session, 1, &file, 0, nullptr, 0, nullptr) == ERROR_SUCCESS) {
        // The list may grow between the two calls; a second short answer leaves it empty.
        if (getList(session, &needed, &count, nullptr, &reasons) == ERROR_MORE_DATA) {
            processes.resize(needed);
            count = needed;
            if (getList(session, &needed, &count, processes.data(), &reasons) != ERROR_SUCCESS) count = 0;
        }
        processes.resize(count);
    }
    end(session);
    return processes;
}

}  // namespace

void LogFileOperationFailure(const char* action, const std::wstring& path, DWORD error) {
    LogFormat("Could not %s %S: system error %d (%s)", action, path, static_cast<int>(error),
              SystemErrorText(error));
    if (IsDiskFullError(error)) NoteNotEnoughDiskSpace();
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED)
        LogProcessesHolding(path);
}

void LogProcessesHolding(const std::wstring& path) {
    for (const RM_PROCESS_INFO& process : ProcessesHolding(path)) {
        LogFormat("%S is in use by %S (process %d)", path, std::wstring(process.strAppName),
                  static_cast<int>(process.Process.dwProcessId));
    }
}

bool FitsOnVolume(const std::wstring& folder, uint64_t needed) {
    ULARGE_INTEGER available{};
    if (!::GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr) || available.QuadPart >= needed)
        return true;
    LogFormat("Not enough free space at \"%S\": %s bytes free, %s bytes needed", folder,
              std::to_string(available.QuadPart), std::to_string(needed));
    NoteNotEnoughDiskSpace();
    return false;
}

bool IsDiskFullError(DWORD error) { return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL; }

}  // namespace tessara
