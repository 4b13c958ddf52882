// Writes the error report for a stage code and hands it to the mail program, as the window's
// "Email error log..." link does; prints "1" or "0" for the hand-over and the report's path
// (UTF-16). An optional second argument is taken as the temporary folder, as a user profile sets it.
#include <windows.h>

#include <cwchar>
#include <string>

#include "system/ErrorReport.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    if (argc > 2) ::SetEnvironmentVariableW(L"TMP", argv[2]);
    const std::wstring path = tessara::WriteErrorReport(std::wcstoul(argv[1], nullptr, 10));
    const bool sent = tessara::SendErrorReport(path);
    const std::wstring out = (sent ? L"1\n" : L"0\n") + path;
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), out.data(),
                static_cast<DWORD>(out.size() * sizeof(wchar_t)), &written, nullptr);
    return 0;
}
