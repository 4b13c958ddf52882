#include "app/RunId.h"

#include <windows.h>

#include <cwchar>

#include "app/ScopedWin.h"
#include "app/Text.h"

namespace tessara {
namespace {

constexpr size_t ProcessDigits = 8;
constexpr size_t TimeDigits = 16;

bool IsHexDigits(const std::wstring& text) {
    return !text.empty() && text.find_first_not_of(L"0123456789ABCDEF") == std::wstring::npos;
}

}  // namespace

std::wstring NewRunId() {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    return Hex(::GetCurrentProcessId(), ProcessDigits) + L"-" + Hex(FileTimeNumber(now), TimeDigits);
}

bool IsRunId(const std::wstring& id) {
    return id.size() == ProcessDigits + 1 + TimeDigits && id[ProcessDigits] == L'-' &&
           IsHexDigits(id.substr(0, ProcessDigits)) && IsHexDigits(id.substr(ProcessDigits + 1));
}

bool IsRunAlive(const std::wstring& id) {
    if (!IsRunId(id)) return false;
    const DWORD processId =
        static_cast<DWORD>(std::wcstoul(id.substr(0, ProcessDigits).c_str(), nullptr, 16));
    const uint64_t began = std::wcstoull(id.substr(ProcessDigits + 1).c_str(), nullptr, 16);
    const unique_handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    // No such process; any other refusal (a process of another user) is taken for the run's.
    if (!process) return ::GetLastError() != ERROR_INVALID_PARAMETER;
    DWORD exitCode = 0;
    FILETIME created{}, exited{}, kernel{}, user{};
    if (::GetExitCodeProcess(process.get(), &exitCode) && exitCode != STILL_ACTIVE) return false;
    return !::GetProcessTimes(process.get(), &created, &exited, &kernel, &user) ||
           FileTimeNumber(created) <= began;
}

}  // namespace tessara
