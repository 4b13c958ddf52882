#pragma once
// The copies of a download that the URL download service keeps in the user's Internet cache: how they
// are named, how they are found, and their removal.
#include <windows.h>

#include <string>
#include <vector>

namespace tessara {

// The download service is handed the URL without the user name and password written into it, and its
// cache knows the download by that name: all the clean-up needs, and no password lands on the disk.
std::wstring CacheNameOfUrl(const std::wstring& url);
// Removes the copy of a URL that the download service may have left in the user's Internet cache.
void RemoveUrlCacheEntry(const std::wstring& url);
// A little before now: files written by a download started now carry no earlier time.
FILETIME DownloadStartTime();
// Removes what a download of the URL started at downloadStart left in the Internet cache, entry and
// files, also when the download never ended. False when a file of it is still there: the download
// service may hold it open until the server lets go of the connection, or its process ends.
bool RemoveDownloadLeftovers(const std::wstring& url, const FILETIME& downloadStart);

// The download service writes into the cache while it downloads, whatever it was asked, and a
// download that fails leaves that file with no index entry leading to it. Taken besides the entry:
// files of the user's cache that the service reported as its copy or that are named after the URL,
// and only when written since the download started; everything else in the cache is someone else's.
// False when one of them could not be removed.
bool RemoveCachedCopies(const std::wstring& url, const std::vector<std::wstring>& reportedFiles,
                        const FILETIME& downloadStart);

// The user's Internet cache folder; empty when the system names none.
std::wstring InternetCacheFolder();
// The files of the cache's containers named as the cache names its copies of the URL.
std::vector<std::wstring> CacheFilesNamedAfter(const std::wstring& url, const std::wstring& cacheFolder);
// A regular file created or written at `since` or later.
bool WrittenSince(const std::wstring& path, const FILETIME& since);

}  // namespace tessara
