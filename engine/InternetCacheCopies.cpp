#include "engine/InternetCacheCopies.h"

#include <shlobj.h>
#include <wininet.h>

#include <optional>

#include "app/FileSystem.h"
#include "app/HttpText.h"
#include "app/SystemLibrary.h"
#include "app/Text.h"

namespace tessara {

namespace {

// The cache keeps its files in containers a level or two below its root (Content.IE5\<8 chars>\).
constexpr int CacheContainerDepth = 2;
// File systems stamp times from a coarser clock than the system time, so a file written just after
// the download started may carry a slightly earlier time. One second, in FILETIME units.
constexpr ULONGLONG FileTimeSlack = 10'000'000;
// After an abort the download service keeps its cache file open on a thread of its own until the
// server sends again or closes; the cache files of a download are waited for that long at most.
constexpr ULONGLONG CacheFileReleaseMilliseconds = 5000;
constexpr DWORD CacheFileRetryMilliseconds = 50;

using DeleteUrlCacheEntryWFn = BOOL(WINAPI*)(LPCWSTR);
using UnlockUrlCacheEntryFileWFn = BOOL(WINAPI*)(LPCWSTR, DWORD);
using GetUrlCacheEntryInfoWFn = BOOL(WINAPI*)(LPCWSTR, LPINTERNET_CACHE_ENTRY_INFOW, LPDWORD);

// The file that holds a URL's cached copy; empty when there is none.
std::wstring CachedFileOf(const std::wstring& url) {
    const auto entryInfo =
        ProcAs<GetUrlCacheEntryInfoWFn>(GetSystemLibraryProc(L"wininet.dll", "GetUrlCacheEntryInfoW"));
    DWORD size = 0;
    if (!entryInfo || entryInfo(url.c_str(), nullptr, &size) || ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return {};
    std::vector<BYTE> buffer(size);
    const auto info = reinterpret_cast<LPINTERNET_CACHE_ENTRY_INFOW>(buffer.data());
    if (!entryInfo(url.c_str(), info, &size) || !info->lpszLocalFileName) return {};
    return info->lpszLocalFileName;
}

// How the cache names its copies of a URL: after the last path segment, without query or fragment,
// as "<stem>[N]<extension>" (Wine drops the extension). The stem is empty when the URL names no file.
struct CacheCopyName {
    std::wstring stem;
    std::wstring extension;
};

CacheCopyName CacheCopyNameOf(const std::wstring& url) {
    const std::wstring address = url.substr(0, url.find_first_of(L"?#"));
    const size_t scheme = address.find(L"://");
    const size_t pathStart = address.find(L'/', scheme == std::wstring::npos ? 0 : scheme + 3);
    if (pathStart == std::wstring::npos) return {};
    const std::wstring segment = address.substr(address.find_last_of(L"/\\") + 1);
    const size_t dot = segment.rfind(L'.');
    if (dot == 0 || dot == std::wstring::npos) return {segment, {}};
    return {segment.substr(0, dot), segment.substr(dot)};
}

bool IsCacheCopyOf(std::wstring_view fileName, const CacheCopyName& copy) {
    const size_t open = copy.stem.size();
    if (copy.stem.empty() || fileName.size() <= open || fileName[open] != L'[' ||
        !EqualsIgnoringCase(fileName.substr(0, open), copy.stem))
        return false;
    const size_t close = fileName.find_first_not_of(L"0123456789", open + 1);
    if (close == std::wstring_view::npos || close == open + 1 || fileName[close] != L']') return false;
    const std::wstring_view rest = fileName.substr(close + 1);
    return rest.empty() || EqualsIgnoringCase(rest, copy.extension);
}

// True when every file is gone.
bool DeleteCacheFiles(const std::vector<std::wstring>& files) {
    const ULONGLONG deadline = ::GetTickCount64() + CacheFileReleaseMilliseconds;
    bool gone = true;
    for (const std::wstring& file : files) {
        while (!RemoveFile(file) && ::GetTickCount64() < deadline) ::Sleep(CacheFileRetryMilliseconds);
        gone = gone && !PathExists(file);
    }
    return gone;
}

}  // namespace

std::wstring CacheNameOfUrl(const std::wstring& url) { return SplitUrlCredentials(url).url; }

bool WrittenSince(const std::wstring& path, const FILETIME& since) {
    const std::optional<WIN32_FILE_ATTRIBUTE_DATA> data = FileAttributesOf(path);
    return data && (data->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
           (::CompareFileTime(&data->ftCreationTime, &since) >= 0 ||
            ::CompareFileTime(&data->ftLastWriteTime, &since) >= 0);
}

FILETIME DownloadStartTime() {
    FILETIME now = {};
    ::GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER start = {};
    start.LowPart = now.dwLowDateTime;
    start.HighPart = now.dwHighDateTime;
    start.QuadPart -= FileTimeSlack;
    return {start.LowPart, start.HighPart};
}

std::wstring InternetCacheFolder() {
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_INTERNET_CACHE, nullptr, SHGFP_TYPE_CURRENT, folder)))
        return {};
    return folder;
}

std::vector<std::wstring> CacheFilesNamedAfter(const std::wstring& url, const std::wstring& cacheFolder) {
    std::vector<std::wstring> files;
    const CacheCopyName copy = CacheCopyNameOf(url);
    if (copy.stem.empty()) return files;
    WalkFolder(
        cacheFolder,
        [&](const std::wstring& path, const FolderEntry& entry, int) {
            if (IsCacheCopyOf(entry.name, copy)) files.push_back(path);
            return true;
        },
        CacheContainerDepth);
    return files;
}

bool RemoveCachedCopies(const std::wstring& url, const std::vector<std::wstring>& reportedFiles,
                        const FILETIME& downloadStart) {
    RemoveUrlCacheEntry(url);
    const std::wstring cacheFolder = InternetCacheFolder();
    if (cacheFolder.empty()) return true;
    std::vector<std::wstring> candidates = CacheFilesNamedAfter(url, cacheFolder);
    candidates.insert(candidates.end(), reportedFiles.begin(), reportedFiles.end());
    std::vector<std::wstring> files;
    for (const std::wstring& file : candidates) {
        if (IsInsideFolder(file, cacheFolder) && WrittenSince(file, downloadStart)) files.push_back(file);
    }
    return DeleteCacheFiles(files);
}

bool RemoveDownloadLeftovers(const std::wstring& url, const FILETIME& downloadStart) {
    return RemoveCachedCopies(url, {}, downloadStart);
}

void RemoveUrlCacheEntry(const std::wstring& url) {
    // The download service may still hold the entry locked, which would only mark it for deletion.
    const auto unlockEntry =
        ProcAs<UnlockUrlCacheEntryFileWFn>(GetSystemLibraryProc(L"wininet.dll", "UnlockUrlCacheEntryFileW"));
    const auto deleteEntry =
        ProcAs<DeleteUrlCacheEntryWFn>(GetSystemLibraryProc(L"wininet.dll", "DeleteUrlCacheEntryW"));
    // Some systems drop the entry from the index and leave its file behind.
    const std::wstring cachedFile = CachedFileOf(url);
    if (unlockEntry) unlockEntry(url.c_str(), 0);
    if (deleteEntry) deleteEntry(url.c_str());
    if (!cachedFile.empty()) RemoveFile(cachedFile);
}

}  // namespace tessara
