// Stands in for the installed application's processes: the tests copy it under their image names.
// It waits until it is ended. When TESSARA_SLEEPER_REPORT names a file, it first writes its current
// folder and its command line there (UTF-16, one per line) so that a test can see how it was started.
// With TESSARA_SLEEPER_UNOPENABLE set it lets nobody open it, as a process of another account or
// session would appear to the user.
#include <windows.h>
#include <aclapi.h>

#include <string>

#include "app/ScopedWin.h"

namespace {

void WriteStartReport(const std::wstring& reportPath) {
    wchar_t folder[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, folder);
    const std::wstring text = std::wstring(folder) + L"\n" + ::GetCommandLineW() + L"\n";
    // Written under another name first so that a reader never sees half a report.
    const std::wstring partial = reportPath + L".part";
    {
        const tessara::unique_file_handle file(::CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr,
                                                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return;
        DWORD written = 0;
        ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written,
                    nullptr);
    }
    ::MoveFileExW(partial.c_str(), reportPath.c_str(), MOVEFILE_REPLACE_EXISTING);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    if (::GetEnvironmentVariableW(L"TESSARA_SLEEPER_UNOPENABLE", nullptr, 0) > 0) {
        ACL empty{};
        ::InitializeAcl(&empty, sizeof empty, ACL_REVISION);
        ::SetSecurityInfo(::GetCurrentProcess(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                          nullptr, &empty, nullptr);
    }
    wchar_t reportPath[MAX_PATH] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"TESSARA_SLEEPER_REPORT", reportPath, MAX_PATH);
    if (length > 0 && length < MAX_PATH) WriteStartReport(reportPath);
    for (;;) ::Sleep(INFINITE);
}
