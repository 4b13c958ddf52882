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
#include "app/DiskFlush.h"
#include "app/FileSystem.h"
#include "app/HttpText.h"
#include "app/Log.h"
#include "app/RunLimits.h"
#include "app/ScopedWin.h"
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

// Puts an installed file of the signed size into the staging folder and hashes it on the way: as a second
// name of the same file where it is no program image and the volume allows it (nothing is written then),
// else as a copy, left open in `out`. `placed` counts the bytes hashed. False when the size differs
// (nothing is made then) or a read or a write fails. The size is read from the open file rather than
// asked by path: under Wine every call on a path is a round trip to its server, and an update makes them
// for every file.
bool PlaceHashing(Sha256Hasher& hasher, const std::wstring& source, const std::wstring& target, uint64_t size,
                  uint64_t& placed, unique_file_handle& out) {
    // Sharing deletion lets the system open the file again to give it its second name.
    const unique_file_handle in(::CreateFileW(ExtendedLengthPath(source).c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER found{};
    if (!in || !::GetFileSizeEx(in.get(), &found) || static_cast<uint64_t>(found.QuadPart) != size)
        return false;
    std::vector<unsigned char>& buffer = hasher.ReadBuffer(kCopyBufferSize);
    DWORD read = 0;
    if (!::ReadFile(in.get(), buffer.data(), kCopyBufferSize, &read, nullptr)) return false;
    if (IsProgramImage(buffer.data(), read) ||
        !::CreateHardLinkW(ExtendedLengthPath(target).c_str(), ExtendedLengthPath(source).c_str(), nullptr)) {
        out = CreateFileForWriting(target, false);
        if (!out) return false;
    }
    while (read > 0) {
        placed += read;
        if (!hasher.HashData(buffer.data(), read) || (out && !WriteToFile(out.get(), buffer.data(), read)) ||
            !::ReadFile(in.get(), buffer.data(), kCopyBufferSize, &read, nullptr))
            return false;
    }
    return true;
}

// Places an installed file in the staging folder and checks it as it is placed: true only when it has
// the signed size and digest. A placed file that differs is removed. `madeFolder` is the folder the
// last call made, so that files side by side make it once. A copy is flushed in the background; a second
// name needs no flush of its own, as its content is the installation's, on the disk since it was
// installed, and the name itself is made durable with the written-through rename that puts the folder in
// place.
bool PlaceVerifiedFile(Sha256Hasher& hasher, const std::wstring& source, const std::wstring& target,
                       const FileFingerprint& expected, std::wstring& madeFolder) {
    const std::wstring folder = ParentFolderOf(target);
    if (folder != madeFolder) {
        if (!CreateFolders(folder)) return false;
        madeFolder = folder;
    }
    uint64_t placedSize = 0;
    unique_file_handle copy;
    const bool placed = PlaceHashing(hasher, source, target, expected.size, placedSize, copy);
    const std::vector<unsigned char> digest = hasher.Finish();
    if (placed && placedSize == expected.size && digest == expected.sha256) {
        if (copy) FlushInBackground(std::move(copy), target);
        return true;
    }
    copy.reset();
    // Nothing was made when the size differed at once.
    if (placedSize != 0) RemoveFile(target);
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
    const std::wstring& installFolder, const std::wstring& extractionFolder, CEntryFetcher& fetcher) {
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
            if (line.expected.size != 0 && NsCommon::LookupKeyOf(line.uri) != kManifestEntryName &&
                !installed.empty() && !staged.empty() &&
                PlaceVerifiedFile(hasher, installed, staged, line.expected, madeFolder)) {
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

}  // namespace

std::optional<std::vector<WrittenFile>> DownloadChangedEntries(IProgressReport* report,
                                                               const std::wstring& url,
                                                               const std::wstring& downloadFile,
                                                               const std::wstring& installFolder,
                                                               const std::wstring& extractionFolder,
                                                               const std::vector<unsigned char>& anchor) {
    if (!IsDirectory(installFolder)) return std::nullopt;
    const COriginCredentials credentials(url);
    const std::wstring scheme = UrlScheme(credentials.Url());
    if (scheme != L"http" && scheme != L"https") return std::nullopt;
    const ResolvedUrl resolved = FollowRedirects(credentials, CBindStatusCallback::MaxRedirects);
    if (resolved.tooManyRedirects) return NotPossible("too many redirects");
    if (!resolved.refusal.empty()) return NotPossible(resolved.refusal);
    if (resolved.noRanges) return NotPossible("the server offers no byte ranges");
    CRangeClient client(resolved.url, credentials, [report] { return report && report->IsCancelled(); });

    RemoteArchive remote;
    CSparseArchive archive;
    DigestManifest manifest;
    manifest.pinnedCertificate = anchor;
    std::string failure = ReadRemoteDirectory(client, remote);
    if (failure.empty()) failure = FetchSignedManifest(client, remote, archive, downloadFile, manifest);
    if (!failure.empty()) return NotPossible(failure);

    CEntryFetcher fetcher(client, archive);
    const std::optional<std::vector<WrittenFile>> placed =
        PlaceUnchangedFiles(report, manifest, remote, installFolder, extractionFolder, fetcher);
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

}  // namespace tessara
