#include "engine/ChangedEntries.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "app/Config.h"
#include "app/FileSystem.h"
#include "app/HttpText.h"
#include "app/Log.h"
#include "app/RunLimits.h"
#include "app/ScopedWin.h"
#include "app/Text.h"
#include "archive/CentralDirectory.h"
#include "archive/CompressedFile.h"
#include "archive/LocalEntries.h"
#include "engine/Download.h"
#include "engine/PayloadRules.h"
#include "engine/RangeRequest.h"

namespace tessara {
namespace {

// The end record, a comment and a Zip64 record fit many times over; for a few hundred files the
// central directory comes with it.
constexpr uint64_t kTailSize = 64 * 1024;
constexpr uint64_t kMaxDirectorySize = 64 * 1024 * 1024;
// What an entry holds beside its data at most: a local header with the longest name and extra field,
// and a data descriptor.
constexpr uint64_t kMostEntryOverhead = 30 + 2 * 0xFFFF + 24;
constexpr DWORD kCopyBufferSize = 1024 * 1024;

std::nullopt_t NotPossible(const std::string& reason) {
    LogFormat("Update from changed files not possible: %s; downloading the whole payload", reason);
    return std::nullopt;
}

// The remote archive at its full size, with only the fetched bytes written; the rest is never read.
class CSparseArchive {
public:
    bool Create(const std::wstring& path, uint64_t size) {
        m_file = CreateFileForWriting(path);
        if (!m_file) return false;
        // Where the file system can, the gaps take no room and are not zero-filled.
        DWORD returned = 0;
        ::DeviceIoControl(m_file.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
        LARGE_INTEGER end{};
        end.QuadPart = static_cast<LONGLONG>(size);
        return ::SetFilePointerEx(m_file.get(), end, nullptr, FILE_BEGIN) && ::SetEndOfFile(m_file.get());
    }
    // Each piece goes where it lies in the archive; false stops the transfer when a write fails.
    RangeSink SinkAt(uint64_t offset) {
        return [this, offset](const unsigned char* data, size_t size) mutable {
            const bool written = WriteAt(offset, data, size);
            offset += size;
            return written;
        };
    }
    bool WriteAt(uint64_t offset, const unsigned char* data, size_t size) {
        LARGE_INTEGER at{};
        at.QuadPart = static_cast<LONGLONG>(offset);
        DWORD written = 0;
        if (::SetFilePointerEx(m_file.get(), at, nullptr, FILE_BEGIN) &&
            ::WriteFile(m_file.get(), data, static_cast<DWORD>(size), &written, nullptr) && written == size)
            return true;
        m_writeError = ::GetLastError();
        return false;
    }
    void Close() { m_file.reset(); }
    DWORD WriteError() const { return m_writeError; }

private:
    unique_file_handle m_file;
    DWORD m_writeError = ERROR_SUCCESS;
};

// A program that the application, or the detector started at the end of the run, maps from the new
// folder cannot be deleted under its other name while it runs, so program images are copied; the
// backup, which holds that other name, could then not be removed.
bool IsProgramImage(const unsigned char* start, DWORD size) {
    return size >= 2 && start[0] == 'M' && start[1] == 'Z';
}

// Reads and hashes an installed file and keeps it open, sharing only reading and deletion: nobody can
// change it then until it has been placed. Deletion is shared so that the system can open the file again
// to give it its second name. The size is read from the open file rather than asked by path: under Wine
// every call on a path is a round trip to its server, and an update makes them for every file. With
// `expectedSize`, a file of another size is not read; `abandon` ends the read. No handle unless the file
// was read whole.
HashedInstalledFile HashInstalledFile(Sha256Hasher& hasher, const std::wstring& path,
                                      std::optional<uint64_t> expectedSize,
                                      const std::atomic<bool>& abandon) {
    HashedInstalledFile hashed;
    unique_file_handle in(::CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER found{};
    if (!in || !::GetFileSizeEx(in.get(), &found)) return hashed;
    hashed.size = static_cast<uint64_t>(found.QuadPart);
    if (expectedSize && *expectedSize != hashed.size) return hashed;
    std::vector<unsigned char>& buffer = hasher.ReadBuffer(kCopyBufferSize);
    uint64_t total = 0;
    bool whole = true;
    for (DWORD read = 0;; total += read) {
        if (!::ReadFile(in.get(), buffer.data(), kCopyBufferSize, &read, nullptr) || abandon) {
            whole = false;
            break;
        }
        if (read == 0) break;
        if (total == 0) hashed.programImage = IsProgramImage(buffer.data(), read);
        if (!hasher.HashData(buffer.data(), read)) whole = false;
    }
    // Finished in any case, so that the hasher starts afresh with the next file.
    hashed.sha256 = hasher.Finish();
    if (whole && total == hashed.size && !hashed.sha256.empty()) hashed.file = std::move(in);
    return hashed;
}

// Puts a hashed installed file into the staging folder: as a second name of the same file where it is no
// program image and the volume allows it (nothing is written then), else as a copy read from the open
// file, which nobody could change since it was hashed. Each read names its offset, so that the same file
// can be placed twice at once.
bool PlaceHashedFile(const HashedInstalledFile& hashed, const std::wstring& source,
                     const std::wstring& target, std::vector<unsigned char>& buffer) {
    if (!hashed.programImage &&
        ::CreateHardLinkW(ExtendedLengthPath(target).c_str(), ExtendedLengthPath(source).c_str(), nullptr))
        return true;
    const unique_file_handle out = CreateFileForWriting(target, false);
    if (!out) return false;
    uint64_t copied = 0;
    DWORD read = 0;
    for (;;) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(copied);
        at.OffsetHigh = static_cast<DWORD>(copied >> 32);
        if (!::ReadFile(hashed.file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, &at)) {
            // The end of the file is an error when the read names its offset.
            return ::GetLastError() == ERROR_HANDLE_EOF && copied == hashed.size;
        }
        if (read == 0) return copied == hashed.size;
        copied += read;
        if (!WriteToFile(out.get(), buffer.data(), read)) return false;
    }
}

bool HasSignedFingerprint(const HashedInstalledFile& hashed, const FileFingerprint& expected) {
    return hashed.file && hashed.size == expected.size && hashed.sha256 == expected.sha256;
}

// Places an installed file in the staging folder when it has the signed size and digest, as read ahead
// or else read now. A placed file that could not be made whole is removed. `madeFolder` is the folder the
// last call made, so that files side by side make it once.
bool PlaceVerifiedFile(Sha256Hasher& hasher, const HashedInstalledFile* readAhead, const std::wstring& source,
                       const std::wstring& target, const FileFingerprint& expected,
                       std::wstring& madeFolder) {
    static const std::atomic<bool> kNeverAbandoned{false};
    HashedInstalledFile readNow;
    if (!readAhead) {
        readNow = HashInstalledFile(hasher, source, expected.size, kNeverAbandoned);
        readAhead = &readNow;
    }
    if (!HasSignedFingerprint(*readAhead, expected)) return false;
    const std::wstring folder = ParentFolderOf(target);
    if (folder != madeFolder) {
        if (!CreateFolders(folder)) return false;
        madeFolder = folder;
    }
    if (PlaceHashedFile(*readAhead, source, target, hasher.ReadBuffer(kCopyBufferSize))) return true;
    RemoveFile(target);
    return false;
}

struct ByteRange {
    uint64_t first = 0;
    uint64_t end = 0;
};

// The spans of the entries to fetch, neighbours joined so that each run of them is one request.
std::vector<ByteRange> MergedRanges(std::vector<const ZipEntrySpan*> entries) {
    std::sort(entries.begin(), entries.end(),
              [](const ZipEntrySpan* a, const ZipEntrySpan* b) { return a->offset < b->offset; });
    std::vector<ByteRange> ranges;
    for (const ZipEntrySpan* entry : entries) {
        if (!ranges.empty() && ranges.back().end == entry->offset)
            ranges.back().end = entry->end;
        else
            ranges.push_back({entry->offset, entry->end});
    }
    return ranges;
}

// The end of the remote archive: its size, where its directory lies, and the entries it names.
struct RemoteArchive {
    uint64_t total = 0;
    uint64_t tailStart = 0;
    std::vector<unsigned char> tail;
    CentralDirectoryLocation location;
    std::vector<unsigned char> directory;
    std::vector<ZipEntrySpan> entries;
};

RangeSink AppendTo(std::vector<unsigned char>& bytes) {
    return [&bytes](const unsigned char* data, size_t size) {
        bytes.insert(bytes.end(), data, data + size);
        return true;
    };
}

// Each step below answers why it failed, or nothing when it did its part.
std::string ReadRemoteDirectory(CRangeClient& client, RemoteArchive& remote) {
    if (!client.FetchTail(kTailSize, AppendTo(remote.tail))) return client.Failure();
    remote.total = client.Total();
    if (remote.total > DownloadSizeLimit()) return "the archive is larger than the size limit";
    const std::optional<CentralDirectoryLocation> location = FindCentralDirectory(remote.tail, remote.total);
    if (!location) return "the archive's end record is missing or damaged";
    remote.location = *location;
    remote.tailStart = remote.total - remote.tail.size();
    if (location->offset >= remote.tailStart) {
        const auto from =
            remote.tail.begin() + static_cast<std::ptrdiff_t>(location->offset - remote.tailStart);
        remote.directory.assign(from, from + static_cast<std::ptrdiff_t>(location->size));
    } else if (location->size > kMaxDirectorySize) {
        return "the archive's directory is too large";
    } else if (!client.Fetch(location->offset, location->size, AppendTo(remote.directory))) {
        return client.Failure();
    }
    std::optional<std::vector<ZipEntrySpan>> entries =
        ParseCentralDirectory(remote.directory, remote.location);
    if (!entries) return "the archive's central directory is damaged";
    remote.entries = std::move(*entries);
    return {};
}

// The bytes of one entry, fetched into memory, read as an archive that starts with them.
class CFetchedEntry : public IArrivingArchive {
public:
    explicit CFetchedEntry(const std::vector<unsigned char>& bytes) : m_bytes(bytes) {}
    bool Read(uint64_t offset, unsigned char* into, size_t size) override {
        if (offset > m_bytes.size() || size > m_bytes.size() - offset) return false;
        std::copy_n(m_bytes.begin() + static_cast<std::ptrdiff_t>(offset), size, into);
        return true;
    }
    std::optional<uint64_t> FinalSize() override { return m_bytes.size(); }

private:
    const std::vector<unsigned char>& m_bytes;
};

// The most an archive of the signed files can hold: their data (deflate adds a little to data it cannot
// shrink), each entry's own records, the manifest and what was fetched from the end.
uint64_t LargestArchiveOf(const DigestManifest& manifest, uint64_t signedTotal, const RemoteArchive& remote,
                          uint64_t manifestSpan) {
    uint64_t most = AddSaturating(signedTotal, signedTotal / 1024);
    for (size_t i = 0; i < manifest.references.size(); ++i) most = AddSaturating(most, kMostEntryOverhead);
    return AddSaturating(most, manifestSpan + remote.directory.size() + remote.tail.size());
}

// Fetches digest.s into memory and checks its signature and signer before anything of it is used; only
// then, and only when the archive's announced size fits the files it signs, is the download file made
// at that size, with what was fetched so far in place.
std::string FetchSignedManifest(CRangeClient& client, const RemoteArchive& remote, CSparseArchive& archive,
                                const std::wstring& downloadFile, DigestManifest& manifest) {
    const auto entry =
        std::find_if(remote.entries.begin(), remote.entries.end(),
                     [](const ZipEntrySpan& candidate) { return candidate.name == kManifestEntryName; });
    if (entry == remote.entries.end()) return "the archive holds no digest.s";
    const uint64_t span = entry->end - entry->offset;
    if (span > kMaxManifestSize + kMostEntryOverhead) return "the archive's digest.s is too large";
    std::vector<unsigned char> fetched;
    if (!client.Fetch(entry->offset, span, AppendTo(fetched))) return client.Failure();
    CFetchedEntry bytes(fetched);
    CLocalEntryReader reader(bytes);
    const std::optional<LocalEntry> local = reader.Next();
    std::vector<unsigned char> message;
    if (!local || local->name != kManifestEntryName || local->uncompressedSize > kMaxManifestSize ||
        !reader.CopyData(AppendTo(message)))
        return "the archive's digest.s cannot be read from its range";
    if (!VerifyManifestMessage(manifest, message))
        return "the payload's digest.s is missing or not signed by a trusted signer";
    if (manifest.fileDigests.empty()) return "the payload's manifest carries no per-file digests";
    if (!ManifestNamesAreSafe(manifest)) return "the payload's manifest names an unsafe path";

    const std::optional<uint64_t> signedTotal = CPayloadRules(manifest, {}, {}).SignedTotal();
    if (!signedTotal) return "the payload's manifest signs no size for some file";
    if (remote.total > LargestArchiveOf(manifest, *signedTotal, remote, span))
        return "the archive is larger than the files it signs";
    if (!archive.Create(downloadFile, remote.total) ||
        !archive.WriteAt(remote.tailStart, remote.tail.data(), remote.tail.size()) ||
        !archive.WriteAt(remote.location.offset, remote.directory.data(), remote.directory.size()) ||
        !archive.WriteAt(entry->offset, fetched.data(), fetched.size()))
        return "the download file could not be prepared";
    return {};
}

// Fetches entries on a thread of its own while the installed files are checked, so that the network and
// the disk work at the same time. Entries handed over together that lie side by side go in one request.
class CEntryFetcher {
public:
    CEntryFetcher(CRangeClient& client, CSparseArchive& archive)
        : m_client(client), m_archive(archive), m_thread([this] { FetchHandedOver(); }) {}
    CEntryFetcher(const CEntryFetcher&) = delete;
    CEntryFetcher& operator=(const CEntryFetcher&) = delete;
    ~CEntryFetcher() { Finish(); }

    void Add(const ZipEntrySpan& entry) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_waiting.push_back(&entry);
        }
        m_changed.notify_all();
    }
    // Waits for every entry handed over; why a fetch failed, or nothing.
    std::string Finish() {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_finishing = true;
        }
        m_changed.notify_all();
        if (m_thread.joinable()) m_thread.join();
        return m_failure;
    }

private:
    void FetchHandedOver() {
        std::unique_lock<std::mutex> lock(m_lock);
        for (;;) {
            m_changed.wait(lock, [this] { return !m_waiting.empty() || m_finishing; });
            if (m_waiting.empty()) return;
            std::vector<const ZipEntrySpan*> entries;
            entries.swap(m_waiting);
            lock.unlock();
            // After a failure what is handed over is only taken off the queue.
            for (const ByteRange& range : MergedRanges(entries)) {
                if (!m_failure.empty()) break;
                if (!m_client.Fetch(range.first, range.end - range.first, m_archive.SinkAt(range.first)))
                    m_failure = m_client.Failure();
            }
            lock.lock();
        }
    }

    CRangeClient& m_client;
    CSparseArchive& m_archive;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<const ZipEntrySpan*> m_waiting;
    bool m_finishing = false;
    // Written by the thread only, and read once it has been joined.
    std::string m_failure;
    // Last, so that everything the thread uses exists before it starts.
    std::thread m_thread;
};

// Installed files that equal their signed lines need not travel again; every other signed entry is handed
// to the fetcher as soon as that is known. Reading and hashing the installed files is most of an
// update's work, so two threads share it, each taking the next line. Nothing when the run was cancelled
// meanwhile.
std::optional<std::vector<WrittenFile>> PlaceUnchangedFiles(
    IProgressReport* report, const DigestManifest& manifest, const RemoteArchive& remote,
    const std::wstring& installFolder, const std::wstring& extractionFolder,
    const CInstalledFilesReadAhead& readAhead, CEntryFetcher& fetcher) {
    std::map<std::string, const ZipEntrySpan*> entries;
    for (const ZipEntrySpan& entry : remote.entries) {
        if (entry.name != kManifestEntryName) entries.emplace(entry.name, &entry);
    }
    const auto fetch = [&entries, &fetcher](const std::string& name) {
        const auto entry = entries.find(name);
        if (entry != entries.end()) fetcher.Add(*entry->second);
    };
    const std::vector<FileDigestLine>& lines = manifest.fileDigests;
    uint64_t total = 0;
    for (const FileDigestLine& line : lines) total += line.expected.size;
    std::vector<char> reusedLine(lines.size(), 0);
    // What was read ahead and differs from its line is handed over first, so that its requests go out
    // while the rest is placed.
    std::vector<char> fetchedLine(lines.size(), 0);
    for (size_t i = 0; i < lines.size(); ++i) {
        const HashedInstalledFile* known = readAhead.Find(JoinUriUnder(installFolder, lines[i].uri));
        if (known && !HasSignedFingerprint(*known, lines[i].expected)) {
            fetchedLine[i] = 1;
            fetch(lines[i].uri);
        }
    }
    std::atomic<size_t> next{0};
    std::atomic<uint64_t> handled{0};
    std::atomic<bool> cancelled{false};
    const auto checkLines = [&](bool showsProgress) {
        Sha256Hasher hasher;
        std::wstring madeFolder;
        for (size_t i = next++; i < lines.size() && !cancelled; i = next++) {
            if (report && report->IsCancelled()) {
                cancelled = true;
                break;
            }
            const FileDigestLine& line = lines[i];
            const std::wstring installed = JoinUriUnder(installFolder, line.uri);
            const std::wstring staged = JoinUriUnder(extractionFolder, line.uri);
            // The manifest is written into the staging folder later: it must not be a second name of
            // an installed file then.
            if (fetchedLine[i]) {
            } else if (line.expected.size != 0 && NsCommon::LookupKeyOf(line.uri) != kManifestEntryName &&
                       !installed.empty() && !staged.empty() &&
                       PlaceVerifiedFile(hasher, readAhead.Find(installed), installed, staged, line.expected,
                                         madeFolder)) {
                reusedLine[i] = 1;
            } else {
                fetch(line.uri);
            }
            handled += line.expected.size;
            if (showsProgress && report && total != 0)
                report->SetProgress(static_cast<int>(handled * 100 / total));
        }
    };
    // Whatever either thread raises is raised here once both have stopped.
    std::exception_ptr helperFailure, ownFailure;
    std::thread helper([&] {
        try {
            checkLines(false);
        } catch (...) {
            helperFailure = std::current_exception();
        }
    });
    try {
        checkLines(true);
    } catch (...) {
        ownFailure = std::current_exception();
        cancelled = true;
    }
    helper.join();
    if (ownFailure) std::rethrow_exception(ownFailure);
    if (helperFailure) std::rethrow_exception(helperFailure);
    if (cancelled) return std::nullopt;

    std::vector<WrittenFile> placed;
    std::set<std::string> withLines;
    for (size_t i = 0; i < lines.size(); ++i) {
        withLines.insert(lines[i].uri);
        if (reusedLine[i])
            placed.push_back({JoinUriUnder(extractionFolder, lines[i].uri), lines[i].expected});
    }
    for (const std::string& reference : manifest.references) {
        if (!withLines.count(reference)) fetch(reference);
    }
    return placed;
}

std::optional<std::vector<WrittenFile>> FetchChangedEntries(IProgressReport* report, const std::wstring& url,
                                                            const std::wstring& downloadFile,
                                                            const std::wstring& installFolder,
                                                            const std::wstring& extractionFolder,
                                                            const std::vector<unsigned char>& anchor,
                                                            CInstalledFilesReadAhead& readAhead) {
    if (!MayDownloadChangedEntries(url, installFolder)) return std::nullopt;
    const UrlCredentials credentials = SplitUrlCredentials(url);
    const ResolvedUrl resolved = FollowRedirects(credentials, CBindStatusCallback::MaxRedirects);
    if (resolved.tooManyRedirects) return NotPossible("too many redirects");
    if (resolved.noRanges) return NotPossible("the server offers no byte ranges");
    CRangeClient client(resolved.url, [report] { return report && report->IsCancelled(); });
    client.Authorize(credentials);

    RemoteArchive remote;
    CSparseArchive archive;
    DigestManifest manifest;
    manifest.pinnedCertificate = anchor;
    std::string failure = ReadRemoteDirectory(client, remote);
    if (failure.empty()) failure = FetchSignedManifest(client, remote, archive, downloadFile, manifest);
    if (!failure.empty()) return NotPossible(failure);

    readAhead.Stop();
    CEntryFetcher fetcher(client, archive);
    const std::optional<std::vector<WrittenFile>> placed =
        PlaceUnchangedFiles(report, manifest, remote, installFolder, extractionFolder, readAhead, fetcher);
    failure = fetcher.Finish();
    // The run ends at once when cancelled; the caller tells the user.
    if (!placed) return std::nullopt;
    if (!failure.empty()) return NotPossible(failure);
    LogFormat(
        "Update from changed files: %d of %d files reused from the installation, %s of %s bytes downloaded "
        "in %d requests",
        static_cast<int>(placed->size()), static_cast<int>(manifest.fileDigests.size()),
        std::to_string(client.BytesReceived()), std::to_string(remote.total), client.Requests());
    return placed;
}

}  // namespace

bool MayDownloadChangedEntries(const std::wstring& url, const std::wstring& installFolder) {
    const std::wstring scheme = UrlScheme(SplitUrlCredentials(url).url);
    return (scheme == L"http" || scheme == L"https") && IsDirectory(installFolder);
}

std::optional<std::vector<WrittenFile>> DownloadChangedEntries(
    IProgressReport* report, const std::wstring& url, const std::wstring& downloadFile,
    const std::wstring& installFolder, const std::wstring& extractionFolder,
    const std::vector<unsigned char>& anchor, CInstalledFilesReadAhead& readAhead) {
    std::optional<std::vector<WrittenFile>> placed =
        FetchChangedEntries(report, url, downloadFile, installFolder, extractionFolder, anchor, readAhead);
    // The placed files keep their names, and nothing stays open for the rest of the run.
    readAhead.Release();
    return placed;
}

bool CInstalledFilesReadAhead::NoCaseLess::operator()(const std::wstring& a, const std::wstring& b) const {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
}

void CInstalledFilesReadAhead::Start(const std::wstring& installFolder) {
    std::vector<FolderEntry> entries;
    if (!m_threads.empty() || !ListTree(installFolder, entries)) return;
    for (const FolderEntry& entry : entries) {
        if (!entry.isDirectory && !entry.isLink) m_paths.push_back(JoinPath(installFolder, entry.name));
    }
    m_files.resize(m_paths.size());
    for (size_t i = 0; i < m_paths.size(); ++i) m_index.emplace(m_paths[i], i);
    for (int thread = 0; thread < 2; ++thread) m_threads.emplace_back([this] { ReadFiles(); });
}

void CInstalledFilesReadAhead::ReadFiles() {
    try {
        Sha256Hasher hasher;
        for (size_t i = m_next++; i < m_paths.size() && !m_stopping; i = m_next++)
            m_files[i] = HashInstalledFile(hasher, m_paths[i], std::nullopt, m_abandoning);
    } catch (const std::exception&) {
        // What this thread did not reach is read once the manifest is known.
    }
}

void CInstalledFilesReadAhead::Stop() {
    m_stopping = true;
    for (std::thread& thread : m_threads) thread.join();
    m_threads.clear();
}

const HashedInstalledFile* CInstalledFilesReadAhead::Find(const std::wstring& path) const {
    const auto found = m_index.find(path);
    return found != m_index.end() && m_files[found->second].file ? &m_files[found->second] : nullptr;
}

void CInstalledFilesReadAhead::Release() {
    m_abandoning = true;
    Stop();
    m_index.clear();
    m_files.clear();
    m_paths.clear();
}

}  // namespace tessara
