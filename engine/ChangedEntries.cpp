#include "engine/ChangedEntries.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <set>

#include "app/Config.h"
#include "app/FileSystem.h"
#include "app/HttpText.h"
#include "app/Log.h"
#include "app/RunLimits.h"
#include "app/ScopedWin.h"
#include "archive/CentralDirectory.h"
#include "archive/CompressedFile.h"
#include "engine/Download.h"
#include "engine/RangeRequest.h"

namespace tessara {
namespace {

// The end record, a comment and a Zip64 record fit many times over; for a few hundred files the
// central directory comes with it.
constexpr uint64_t kTailSize = 64 * 1024;
constexpr uint64_t kMaxDirectorySize = 64 * 1024 * 1024;
constexpr uint64_t kMaxManifestSize = 16 * 1024 * 1024;
constexpr char kManifestName[] = "digest.s";
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
    bool Reopen(const std::wstring& path) {
        m_file.reset(::CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        return static_cast<bool>(m_file);
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

// Copies a file and hashes the bytes as they are written; false when a read or a write fails.
bool CopyHashing(Sha256Hasher& hasher, const std::wstring& source, const std::wstring& target) {
    const unique_file_handle in(::CreateFileW(ExtendedLengthPath(source).c_str(), GENERIC_READ,
                                              FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    const unique_file_handle out = CreateFileForWriting(target, false);
    if (!in || !out) return false;
    std::vector<unsigned char>& buffer = hasher.ReadBuffer(kCopyBufferSize);
    DWORD read = 0;
    while (::ReadFile(in.get(), buffer.data(), kCopyBufferSize, &read, nullptr) && read > 0) {
        if (!hasher.HashData(buffer.data(), read) || !WriteToFile(out.get(), buffer.data(), read))
            return false;
    }
    return true;
}

// Copies an installed file into the staging folder and checks the copy as it is written: true only when
// it has the signed size and digest. A copy that differs is removed. (A hard link would save the
// writing, but while the application runs from the new folder the old name of the same file could not
// be deleted with the backup.)
bool PlaceVerifiedCopy(Sha256Hasher& hasher, const std::wstring& source, const std::wstring& target,
                       const FileFingerprint& expected) {
    const bool copied = CreateFolders(ParentFolderOf(target)) && CopyHashing(hasher, source, target);
    const std::vector<unsigned char> digest = hasher.Finish();
    const bool intact = copied && FileSizeOf(target) == expected.size && digest == expected.sha256;
    if (!intact) RemoveFile(target);
    return intact;
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

// Fetches digest.s into the download file and checks its signature and signer before anything of it is
// used.
std::string FetchSignedManifest(CRangeClient& client, const RemoteArchive& remote, CSparseArchive& archive,
                                const std::wstring& downloadFile, DigestManifest& manifest) {
    if (!archive.Create(downloadFile, remote.total) ||
        !archive.WriteAt(remote.tailStart, remote.tail.data(), remote.tail.size()) ||
        !archive.WriteAt(remote.location.offset, remote.directory.data(), remote.directory.size()))
        return "the download file could not be prepared";
    const auto entry =
        std::find_if(remote.entries.begin(), remote.entries.end(),
                     [](const ZipEntrySpan& candidate) { return candidate.name == kManifestName; });
    if (entry == remote.entries.end()) return "the archive holds no digest.s";
    if (entry->end - entry->offset > kMaxManifestSize) return "the archive's digest.s is too large";
    if (!client.Fetch(entry->offset, entry->end - entry->offset, archive.SinkAt(entry->offset)))
        return client.Failure();
    archive.Close();
    {
        NsCommon::details::CCompressedFile zip(downloadFile);
        std::vector<unsigned char> message;
        if (!zip.IsOpen() ||
            !zip.ReadEntry(kManifestName, static_cast<int>(sizeof kManifestName - 1), kMaxManifestSize,
                           message) ||
            !VerifyManifestMessage(manifest, message))
            return "the payload's digest.s is missing or not signed by a trusted signer";
    }
    if (manifest.fileDigests.empty()) return "the payload's manifest carries no per-file digests";
    if (!ManifestNamesAreSafe(manifest)) return "the payload's manifest names an unsafe path";
    if (!archive.Reopen(downloadFile)) return "the download file could not be opened again";
    return {};
}

// Installed files that equal their signed lines need not travel again; `reused` gets their names.
// Nothing when the run was cancelled meanwhile.
std::optional<std::vector<WrittenFile>> PlaceUnchangedFiles(IProgressReport* report,
                                                            const DigestManifest& manifest,
                                                            const std::wstring& installFolder,
                                                            const std::wstring& extractionFolder,
                                                            std::set<std::string>& reused) {
    std::vector<WrittenFile> placed;
    Sha256Hasher hasher;
    for (const FileDigestLine& line : manifest.fileDigests) {
        if (report && report->IsCancelled()) return std::nullopt;
        const std::wstring installed = JoinUriUnder(installFolder, line.uri);
        const std::wstring staged = JoinUriUnder(extractionFolder, line.uri);
        if (line.expected.size != 0 && !installed.empty() && !staged.empty() &&
            FileSizeOf(installed) == line.expected.size &&
            PlaceVerifiedCopy(hasher, installed, staged, line.expected)) {
            placed.push_back({staged, line.expected});
            reused.insert(line.uri);
        }
    }
    return placed;
}

// Fetches the signed entries that were not placed, each run of neighbours in one request.
std::string FetchOtherEntries(IProgressReport* report, CRangeClient& client, const RemoteArchive& remote,
                              CSparseArchive& archive, const DigestManifest& manifest,
                              const std::set<std::string>& reused) {
    const std::set<std::string> signedNames(manifest.references.begin(), manifest.references.end());
    std::vector<const ZipEntrySpan*> wanted;
    for (const ZipEntrySpan& entry : remote.entries) {
        if (signedNames.count(entry.name) && !reused.count(entry.name) && entry.name != kManifestName)
            wanted.push_back(&entry);
    }
    const std::vector<ByteRange> ranges = MergedRanges(wanted);
    uint64_t needed = 0;
    for (const ByteRange& range : ranges) needed += range.end - range.first;
    uint64_t fetched = 0;
    for (const ByteRange& range : ranges) {
        RangeSink write = archive.SinkAt(range.first);
        const bool ok =
            client.Fetch(range.first, range.end - range.first, [&](const unsigned char* data, size_t size) {
                fetched += size;
                if (report)
                    report->SetProgress(static_cast<int>(static_cast<double>(fetched) * 100.0 / needed));
                return write(data, size);
            });
        if (!ok) return client.Failure();
    }
    return {};
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
    if (resolved.noRanges) return NotPossible("the server offers no byte ranges");
    CRangeClient client(resolved.url, credentials, [report] { return report && report->IsCancelled(); });

    RemoteArchive remote;
    CSparseArchive archive;
    DigestManifest manifest;
    manifest.pinnedCertificate = anchor;
    std::string failure = ReadRemoteDirectory(client, remote);
    if (failure.empty()) failure = FetchSignedManifest(client, remote, archive, downloadFile, manifest);
    if (!failure.empty()) return NotPossible(failure);

    // The run ends at once when cancelled; the caller tells the user.
    std::set<std::string> reused;
    const std::optional<std::vector<WrittenFile>> placed =
        PlaceUnchangedFiles(report, manifest, installFolder, extractionFolder, reused);
    if (!placed) return std::nullopt;
    failure = FetchOtherEntries(report, client, remote, archive, manifest, reused);
    if (!failure.empty()) return NotPossible(failure);
    LogFormat(
        "Update from changed files: %d of %d files reused from the installation, %s of %s bytes downloaded "
        "in %d requests",
        static_cast<int>(placed->size()), static_cast<int>(manifest.fileDigests.size()),
        std::to_string(client.BytesReceived()), std::to_string(remote.total), client.Requests());
    return placed;
}

}  // namespace tessara
