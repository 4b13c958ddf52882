#pragma once
// An update that downloads only what changed. When an installation is present and the server honours
// byte ranges, the archive's central directory and its signed manifest are fetched by range first and
// the manifest's signature and signer are checked in memory; every installed file whose size and SHA-256
// equal its signed line is placed in the staging folder (hashed as it is placed, or read ahead and kept
// from every writer since), while the other entries are fetched, neighbours in one request each. The
// download file, made only once the manifest is verified and the archive's size fits the files it signs,
// then holds the archive at its full size with the fetched bytes in place, so the usual extraction reads
// it and checks every file against the manifest as always.
#include <atomic>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/InstallStage.h"
#include "app/ScopedWin.h"
#include "verify/DigestManifest.h"

namespace tessara {

// An installed file as it was read: kept open without leave for anyone to write to it, so that it stays
// what was hashed until it has been placed. No handle when it could not be opened or read whole.
struct HashedInstalledFile {
    unique_file_handle file;
    uint64_t size = 0;
    std::vector<unsigned char> sha256;
    bool programImage = false;
};

// The installed files read and hashed while the run prepares its files and the archive's end and
// manifest arrive, on two threads: an update has to read them all unless the manifest turns out to be
// unusable, and reading them is most of its work. Only a file's equality with its signed line, once the
// manifest is verified, lets it be used; the threads stop at the file they are reading when the manifest
// is known, and the files they did not reach are read then.
class CInstalledFilesReadAhead {
public:
    CInstalledFilesReadAhead() = default;
    CInstalledFilesReadAhead(const CInstalledFilesReadAhead&) = delete;
    CInstalledFilesReadAhead& operator=(const CInstalledFilesReadAhead&) = delete;
    ~CInstalledFilesReadAhead() { Release(); }

    void Start(const std::wstring& installFolder);
    // Lets the threads finish the file each is reading, and waits for them.
    void Stop();
    // The file at that full path, as read ahead; nothing when it was not reached. Only after Stop.
    const HashedInstalledFile* Find(const std::wstring& path) const;
    // Stops and lets go of every file.
    void Release();

private:
    struct NoCaseLess {
        bool operator()(const std::wstring& a, const std::wstring& b) const;
    };
    void ReadFiles();

    std::vector<std::wstring> m_paths;
    std::vector<HashedInstalledFile> m_files;
    std::map<std::wstring, size_t, NoCaseLess> m_index;
    std::atomic<size_t> m_next{0};
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_abandoning{false};
    std::vector<std::thread> m_threads;
};

// Whether an update from changed files is to be tried: an installation is present and the URL is one
// that byte ranges may be asked of.
bool MayDownloadChangedEntries(const std::wstring& url, const std::wstring& installFolder);

// The files placed in extractionFolder from the installation, with their signed fingerprints; nothing
// (logged, unless there is no installation) when the update must download the whole payload instead.
// extractionFolder may then hold some placed files already. A placed file may be a second name of the
// installed one: nothing may be written over it. readAhead, started or not, is let go of before this
// returns.
std::optional<std::vector<WrittenFile>> DownloadChangedEntries(
    IProgressReport* report, const std::wstring& url, const std::wstring& downloadFile,
    const std::wstring& installFolder, const std::wstring& extractionFolder,
    const std::vector<unsigned char>& anchor, CInstalledFilesReadAhead& readAhead);

}  // namespace tessara
