// Stands in for the system's MAPI32.DLL: writes what it was handed to the file named by the variable
// TESSARA_MAPI_RECORD (UTF-16, one "name=value" line each) and answers with the code in
// TESSARA_MAPI_RESULT. Built twice: with both entry points, and with the ANSI one alone.
#include <windows.h>

#include <cwchar>
#include <string>

#include "app/ScopedWin.h"
#include "system/SimpleMapi.h"

namespace {

std::wstring Variable(const wchar_t* name) {
    wchar_t value[1024] = {};
    const DWORD length = ::GetEnvironmentVariableW(name, value, 1024);
    return length < 1024 ? value : L"";
}

// The build with the ANSI entry point alone has no use for the wide overloads.
[[maybe_unused]] std::wstring Text(const wchar_t* text) { return text ? text : L"(null)"; }

std::wstring Text(const char* text) {
    if (!text) return L"(null)";
    const int size = ::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring wide(size > 0 ? size : 1, L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), size);
    wide.pop_back();
    return wide;
}

std::wstring Pointer(const void* pointer) { return pointer ? L"set" : L"(null)"; }

// Whether a mail program could read the attachment through the path it was given.
[[maybe_unused]] bool Readable(const wchar_t* path) {
    return static_cast<bool>(tessara::unique_file_handle(
        ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)));
}
bool Readable(const char* path) {
    return static_cast<bool>(tessara::unique_file_handle(
        ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)));
}

template <typename Message>
ULONG Record(const wchar_t* function, LHANDLE session, ULONG_PTR parent, Message* message, FLAGS flags) {
    std::wstring record;
    const auto add = [&record](const wchar_t* name, const std::wstring& value) {
        record += std::wstring(name) + L"=" + value + L"\n";
    };
    add(L"function", function);
    add(L"session", std::to_wstring(session));
    add(L"parent", parent == reinterpret_cast<ULONG_PTR>(::GetDesktopWindow()) ? L"desktop" : L"other");
    add(L"flags", std::to_wstring(flags));
    add(L"subject", Text(message->lpszSubject));
    add(L"note", Text(message->lpszNoteText));
    add(L"messageFlags", std::to_wstring(message->flFlags));
    add(L"originator", Pointer(message->lpOriginator));
    add(L"recipients", std::to_wstring(message->nRecipCount));
    add(L"files", std::to_wstring(message->nFileCount));
    for (ULONG i = 0; i < message->nFileCount; ++i) {
        const auto& file = message->lpFiles[i];
        add(L"position", std::to_wstring(file.nPosition));
        add(L"path", Text(file.lpszPathName));
        add(L"name", Text(file.lpszFileName));
        add(L"fileFlags", std::to_wstring(file.flFlags));
        add(L"type", Pointer(file.lpFileType));
        add(L"readable", Readable(file.lpszPathName) ? L"1" : L"0");
    }
    const tessara::unique_file_handle out(::CreateFileW(
        Variable(L"TESSARA_MAPI_RECORD").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    ::WriteFile(out.get(), record.data(), static_cast<DWORD>(record.size() * sizeof(wchar_t)), &written,
                nullptr);
    return std::wcstoul(Variable(L"TESSARA_MAPI_RESULT").c_str(), nullptr, 10);
}

}  // namespace

extern "C" {

ULONG WINAPI MAPISendMail(LHANDLE session, ULONG_PTR parent, lpMapiMessage message, FLAGS flags, ULONG) {
    return Record(L"MAPISendMail", session, parent, message, flags);
}

#ifdef TESSARA_WIDE_MAPI
ULONG WINAPI MAPISendMailW(LHANDLE session, ULONG_PTR parent, tessara::MapiMessageW* message, FLAGS flags,
                           ULONG) {
    return Record(L"MAPISendMailW", session, parent, message, flags);
}
#endif
}
