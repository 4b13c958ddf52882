#include "app/Config.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include "app/Arguments.h"
#include "app/Log.h"
#include "app/ScopedWin.h"
#include "app/SystemLibrary.h"
#include "app/Text.h"

#ifndef TESSARA_PAYLOAD_URL
#define TESSARA_PAYLOAD_URL L"https://orvix.example/go/Payload"
#endif

namespace tessara {
namespace {

wchar_t g_configuredPayloadUrl[kPayloadUrlSlotSize] = TESSARA_PAYLOAD_URL;
const wchar_t g_fallbackPayloadUrl[kBuiltInPayloadUrlSlotSize] = TESSARA_PAYLOAD_URL;

bool StoreConfiguredUrl(const wchar_t* url) {
    const size_t length = ::wcslen(url);
    if (length >= kPayloadUrlSlotSize) return false;
    ::wmemcpy(g_configuredPayloadUrl, url, length + 1);
    return true;
}

}  // namespace

std::wstring GetExecutablePath() {
    using GetModuleFileNameExWFn = DWORD(WINAPI*)(HANDLE, HMODULE, LPWSTR, DWORD);
    const auto getModuleFileNameEx =
        ProcAs<GetModuleFileNameExWFn>(GetSystemLibraryProc(L"psapi.dll", "GetModuleFileNameExW"));
    if (!getModuleFileNameEx) return {};
    wchar_t path[MAX_PATH] = {};
    // A path that filled the buffer may have been cut; a cut path must never be taken for ours.
    const DWORD length = getModuleFileNameEx(::GetCurrentProcess(), nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH - 1) return {};
    return path;
}

std::wstring ParentFolderOf(const std::wstring& path) {
    const size_t last = path.find_last_of(L"\\/");
    if (last == std::wstring::npos) return {};
    const size_t end = path.find_last_not_of(L"\\/", last);
    return end == std::wstring::npos ? std::wstring() : path.substr(0, end + 1);
}

std::wstring GetConfigFilePathFor(const std::wstring& executablePath) {
    const std::wstring folder = ParentFolderOf(executablePath);
    return folder.empty() ? L"config.ini" : JoinPath(folder, L"config.ini");
}

std::wstring GetConfigFilePath() { return GetConfigFilePathFor(GetExecutablePath()); }

bool LoadPayloadUrl(const std::wstring& configFile, const wchar_t* commandLine) {
    // One character more than the slot holds: a value that fills this buffer does not fit and is
    // refused rather than cut to another address.
    wchar_t fromFile[kPayloadUrlSlotSize + 1] = {};
    const DWORD length = ::GetPrivateProfileStringW(L"urlConfig", L"zipUrl", g_configuredPayloadUrl, fromFile,
                                                    kPayloadUrlSlotSize + 1, configFile.c_str());
    if (length >= kPayloadUrlSlotSize || !StoreConfiguredUrl(fromFile)) {
        LogFormat("The zipUrl of config.ini is too long (more than %d characters)",
                  static_cast<int>(kMaxPayloadUrlLength));
        return false;
    }

    const std::vector<std::wstring> arguments = SplitArguments(commandLine);
    for (size_t i = 0; i < arguments.size(); ++i) {
        // The log's path is never taken for the switch it may look like.
        if (IsLogSwitch(arguments[i])) {
            ++i;
            continue;
        }
        if (!IsZipUrlSwitch(arguments[i])) continue;
        if (i + 1 >= arguments.size()) {
            LogWrite("The /zipUrl switch has no URL after it");
            return false;
        }
        if (!StoreConfiguredUrl(arguments[++i].c_str())) {
            LogFormat("The URL after /zipUrl is too long (%d characters, at most %d)",
                      static_cast<int>(arguments[i].size()), static_cast<int>(kMaxPayloadUrlLength));
            return false;
        }
    }
    return true;
}

bool SetConfiguredPayloadUrl(const std::wstring& url) { return StoreConfiguredUrl(url.c_str()); }

bool IsRunningUnderWow64() {
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    const auto isWow64Process =
        ProcAs<IsWow64ProcessFn>(::GetProcAddress(::GetModuleHandleW(L"kernel32"), "IsWow64Process"));
    BOOL answer = FALSE;
    return isWow64Process && isWow64Process(::GetCurrentProcess(), &answer) && answer;
}

std::wstring SelectPayloadUrlFor(bool underWow64) {
    return underWow64 ? g_configuredPayloadUrl : g_fallbackPayloadUrl;
}

std::wstring SelectPayloadUrl() { return SelectPayloadUrlFor(IsRunningUnderWow64()); }

void ResetPayloadUrls() { StoreConfiguredUrl(g_fallbackPayloadUrl); }

std::wstring BuiltInPayloadUrl() { return g_fallbackPayloadUrl; }

}  // namespace tessara
