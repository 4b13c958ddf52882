#include "engine/PayloadExtraction.h"

#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "app/ExitCodes.h"
#include "app/FileSystem.h"
#include "app/Log.h"
#include "app/Text.h"
#include "archive/CompressedFile.h"
#include "archive/LocalEntries.h"
#include "verify/DigestManifest.h"

namespace tessara {
namespace {

constexpr char kManifestName[] = "digest.s";
// A real manifest is a few hundred bytes per file; anything near this is no manifest of ours.
constexpr uint64_t kMaxManifestSize = 16 * 1024 * 1024;
// Room left on the volume for the file system's own records and for everything else the user runs.
constexpr uint64_t kFreeSpaceMargin = 64 * 1024 * 1024;
// The longest path the system takes in its extended-length form, in characters with the terminator.
constexpr size_t kExtendedPathLimit = 32767;

int NameLength(const std::string& name) { return static_cast<int>(name.size()); }

// Entry paths use '/', paths made from the manifest '\'; case does not tell files apart.
std::wstring ComparablePathOf(std::wstring path) {
    std::replace(path.begin(), path.end(), L'/', L'\\');
    ::CharLowerBuffW(path.data(), static_cast<DWORD>(path.size()));
    return path;
}

// The manifest's entries that the archive holds, once each, plus the manifest itself. A listed file
// the archive lacks (an empty file is never stored) is left to the digest check.
std::vector<std::string> SignedEntries(const NsCommon::ICompressedFile& archive,
                                       const DigestManifest& manifest) {
    std::vector<std::string> entries = {kManifestName};
    std::set<std::wstring> seen = {L"digest.s"};
    for (const std::string& reference : manifest.references) {
        if (!archive.HasEntry(reference.data(), NameLength(reference))) continue;
        // A name that leaves the folder stays in the list, so that the path check refuses the payload.
        const std::optional<std::wstring> path =
            archive.GetEntryPath(reference.data(), NameLength(reference));
        if (!path || seen.insert(*path).second) entries.push_back(reference);
    }
    return entries;
}

// The entries still to be extracted when some files are in the folder already.
std::vector<std::string> WithoutPlacedFiles(const NsCommon::ICompressedFile& archive,
                                            std::vector<std::string> entries, const std::wstring& folder,
                                            const std::vector<WrittenFile>& placed) {
    if (placed.empty()) return entries;
    std::set<std::wstring> there;
    for (const WrittenFile& file : placed) there.insert(ComparablePathOf(file.path));
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](const std::string& entry) {
                                     const auto path = archive.GetEntryPath(entry.data(), NameLength(entry));
                                     return path && there.count(ComparablePathOf(JoinPath(folder, *path)));
                                 }),
                  entries.end());
    return entries;
}

// Every file must fit where it is extracted and where it is installed. Both are written through the
// extended-length form, so under the longer of the two folders only the system's own limit binds; the
// install path stays below MAX_PATH, as the application and the shell open their files without it.
bool PathFits(const std::string& entry, const std::wstring& path, const std::wstring& extractionFolder,
              const std::wstring& installFolder) {
    const std::wstring& longer =
        extractionFolder.size() > installFolder.size() ? extractionFolder : installFolder;
    if (JoinPath(installFolder, path).size() >= MAX_PATH) {
        LogFormat("The install path of %s would be 260 characters or more", entry);
        return false;
    }
    if (ExtendedLengthPath(JoinPath(longer, path)).size() >= kExtendedPathLimit) {
        LogFormat("The path of %s would be too long for the system", entry);
        return false;
    }
    return true;
}

bool PathsFit(const NsCommon::ICompressedFile& archive, const std::vector<std::string>& entries,
              const std::wstring& extractionFolder, const std::wstring& installFolder) {
    for (const std::string& entry : entries) {
        const std::optional<std::wstring> path = archive.GetEntryPath(entry.data(), NameLength(entry));
        if (!path) {
            LogFormat("The payload names a file outside its folder: %s", entry);
            return false;
        }
        if (!PathFits(entry, *path, extractionFolder, installFolder)) return false;
    }
    return true;
}

uint64_t AddSaturating(uint64_t sum, uint64_t size) {
    return size > std::numeric_limits<uint64_t>::max() - sum ? std::numeric_limits<uint64_t>::max()
                                                             : sum + size;
}

// The declared sizes are what the archive claims; the reader never writes more than that, so the sum
// bounds what extraction can put on the volume.
bool SpaceSuffices(const NsCommon::ICompressedFile& archive, const std::vector<std::string>& entries,
                   const std::wstring& folder) {
    uint64_t needed = kFreeSpaceMargin;
    for (const std::string& entry : entries)
        needed =
            AddSaturating(needed, archive.GetUncompressedSize(entry.data(), NameLength(entry)).value_or(0));
    ULARGE_INTEGER available{};
    if (!::GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) {
        LogFormat("Could not read the free space of %S", folder);
        return false;
    }
    if (needed <= available.QuadPart) return true;
    LogFormat("Not enough free space to extract the payload: %s bytes needed, %s available",
              std::to_string(needed), std::to_string(available.QuadPart));
    NoteNotEnoughDiskSpace();
    return false;
}

// Digests the files' bytes on their way to the disk, in the order they are written, so that the check
// after extraction need not read the payload back. One digest over all of them is what the manifest
// signs; with the signed size of each file it binds every byte of every file, so a digest per file
// would only repeat it. A thread of its own takes it and overlaps inflating and writing, the slower
// of the two. The writer gathers pieces into batches and hands over a batch at a time, into a short
// queue whose length bounds the memory taken: a payload of many small files costs a hand-over per
// batch, not one per piece and per file.
class CDigestingObserver : public NsCommon::IExtractionObserver {
public:
    explicit CDigestingObserver(const std::function<bool()>& cancelled)
        : m_cancelled(cancelled), m_thread([this] { HashBatches(); }) {}
    CDigestingObserver(const CDigestingObserver&) = delete;
    CDigestingObserver& operator=(const CDigestingObserver&) = delete;
    ~CDigestingObserver() override { StopHashing(); }

    void OnFileStarted(const std::wstring& destination) override {
        m_written.files.push_back({destination, {}});
    }
    void OnFileData(const char* data, std::size_t size) override {
        if (!m_written.files.empty()) m_written.files.back().content.size += size;
        if (m_filling.size() + size > kBatchSize) HandOver();
        if (m_filling.capacity() < kBatchSize) m_filling.reserve(kBatchSize);
        m_filling.insert(m_filling.end(), data, data + size);
    }
    bool KeepGoing() override { return !m_cancelled || !m_cancelled(); }
    // Waits for every piece to be hashed.
    WrittenFilesDigest Finish() {
        HandOver();
        StopHashing();
        if (m_intact) m_written.digest = m_whole.Finish();
        return std::move(m_written);
    }

private:
    // A piece of a large file fills a batch; small files share one. Three batches exist at most (the
    // one filling and those waiting), no more memory than a piece waiting beside one being hashed took.
    static constexpr size_t kBatchSize = 64 * 1024;
    // Batches handed over and not yet hashed; the writer waits only when this many are.
    static constexpr size_t kBatchesWaiting = 2;
    using Batch = std::vector<unsigned char>;

    void HandOver() {
        if (m_filling.empty()) return;
        std::unique_lock<std::mutex> lock(m_lock);
        m_changed.wait(lock, [this] { return m_waiting.size() < kBatchesWaiting; });
        m_waiting.push_back(std::move(m_filling));
        // A hashed batch's buffer is filled again rather than allocated anew.
        m_filling = Batch();
        if (!m_spare.empty()) {
            m_filling = std::move(m_spare.back());
            m_spare.pop_back();
        }
        m_changed.notify_all();
    }
    // Batches stay in the queue while hashed: the writer only appends, which moves no element of it.
    void HashBatches() {
        std::unique_lock<std::mutex> lock(m_lock);
        for (;;) {
            m_changed.wait(lock, [this] { return !m_waiting.empty() || m_stopping; });
            if (m_waiting.empty()) break;
            const Batch& batch = m_waiting.front();
            lock.unlock();
            // The hasher and what it found are touched by this thread only, until it is joined.
            m_intact = m_whole.HashData(batch.data(), static_cast<unsigned long>(batch.size())) && m_intact;
            lock.lock();
            m_spare.push_back(std::move(m_waiting.front()));
            m_spare.back().clear();
            m_waiting.pop_front();
            m_changed.notify_all();
        }
    }
    void StopHashing() {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_stopping = true;
        }
        m_changed.notify_all();
        if (m_thread.joinable()) m_thread.join();
    }

    const std::function<bool()>& m_cancelled;
    Sha256Hasher m_whole;
    bool m_intact = true;
    WrittenFilesDigest m_written;
    Batch m_filling;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<Batch> m_waiting;
    std::vector<Batch> m_spare;
    bool m_stopping = false;
    // Last, so that everything the thread uses exists before it starts.
    std::thread m_thread;
};

// Writes the files the manifest signs and takes their digests on the way. The archive's index and the
// manifest are let go before the check that follows, which then reuses their memory. Files already
// placed in the folder are not written again, and join the written ones as they are.
PayloadExtraction WriteSignedFiles(const std::wstring& archivePath, const std::wstring& extractionFolder,
                                   const std::wstring& installFolder,
                                   const std::vector<unsigned char>& anchor,
                                   const std::function<bool()>& cancelled,
                                   const std::vector<WrittenFile>& placed, WrittenFilesDigest& written) {
    NsCommon::details::CCompressedFile archive(archivePath);
    if (!archive.IsOpen()) {
        LogWrite("The payload is not a zip archive");
        return PayloadExtraction::ExtractionFailed;
    }
    std::vector<unsigned char> message;
    DigestManifest manifest;
    manifest.pinnedCertificate = anchor;
    if (!archive.ReadEntry(kManifestName, NameLength(kManifestName), kMaxManifestSize, message) ||
        !VerifyManifestMessage(manifest, message)) {
        LogWrite("The payload's digest.s is missing or not signed by a trusted signer");
        return PayloadExtraction::CheckFailed;
    }
    // Refused before anything is written: Windows would store such a file under another name.
    if (!ManifestNamesAreSafe(manifest)) return PayloadExtraction::CheckFailed;

    const std::vector<std::string> entries = SignedEntries(archive, manifest);
    if (!PathsFit(archive, entries, extractionFolder, installFolder) ||
        !SpaceSuffices(archive, entries, extractionFolder)) {
        return PayloadExtraction::ExtractionFailed;
    }
    // The manifest, first in the list, is written outside the digest, which covers only the files it lists.
    const std::vector<std::string> listedFiles = WithoutPlacedFiles(
        archive, std::vector<std::string>(entries.begin() + 1, entries.end()), extractionFolder, placed);
    CDigestingObserver observer(cancelled);
    if (!archive.ExtractEntries(extractionFolder, {kManifestName}, nullptr) ||
        !archive.ExtractEntries(extractionFolder, listedFiles, &observer)) {
        LogWrite("Could not write every signed file of the payload");
        return PayloadExtraction::ExtractionFailed;
    }
    written = observer.Finish();
    written.files.insert(written.files.end(), placed.begin(), placed.end());
    return PayloadExtraction::Extracted;
}

// The signed size of every file the manifest lists, by the key its entry is found by; empty when a
// listed file has no signed size, which only the check of the finished folder can judge.
std::map<std::string, uint64_t> SignedSizesByKey(const DigestManifest& manifest) {
    std::map<std::string, uint64_t> lines;
    for (const FileDigestLine& line : manifest.fileDigests)
        lines[NsCommon::LookupKeyOf(line.uri)] = line.expected.size;
    std::map<std::string, uint64_t> sizes;
    for (const std::string& reference : manifest.references) {
        const std::string key = NsCommon::LookupKeyOf(reference);
        const auto line = lines.find(key);
        if (line == lines.end()) return {};
        sizes[key] = line->second;
    }
    return sizes;
}

bool RoomForSignedFiles(const std::map<std::string, uint64_t>& sizes, const std::wstring& folder) {
    uint64_t needed = kFreeSpaceMargin;
    for (const auto& file : sizes) needed = AddSaturating(needed, file.second);
    ULARGE_INTEGER available{};
    return ::GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr) &&
           available.QuadPart >= needed;
}

// Unpacks the archive as it arrives, by its local headers, under the same rules as the extraction of
// the finished archive: the manifest first and verified in memory, then only the files it signs, each
// with its signed size, its path within bounds and room for all of them on the volume. Anything the
// reader cannot take as it comes stops it with the reason; the caller then extracts the finished
// archive.
class CArrivalExtraction {
public:
    CArrivalExtraction(IArrivingArchive& archive, const std::wstring& extractionFolder,
                       const std::wstring& installFolder, const std::vector<unsigned char>& anchor,
                       const std::function<bool()>& cancelled)
        : m_archive(archive),
          m_reader(archive),
          m_extractionFolder(extractionFolder),
          m_installFolder(installFolder),
          m_anchor(anchor),
          m_cancelled(cancelled) {}

    ArrivedPayload Run() {
        const char* stopped = WriteManifest();
        if (!stopped) stopped = WriteSignedFiles();
        if (!stopped && !m_reader.MatchesCentralDirectory())
            stopped = "the archive's directory does not list the entries it holds";
        // Whatever stopped the reading, a download that ended early explains it best.
        if (stopped && !m_archive.FinalSize()) return {std::nullopt, m_archive.Interruption(), m_wroteFiles};
        if (stopped) return {std::nullopt, stopped, m_wroteFiles};
        m_written.digest = m_whole.Finish();
        return {std::move(m_written), {}, true};
    }

private:
    bool Cancelled() const { return m_cancelled && m_cancelled(); }

    const char* WriteManifest() {
        const std::optional<LocalEntry> entry = m_reader.Next();
        if (!entry || NsCommon::EntryKeyOf(entry->name) != kManifestName ||
            entry->uncompressedSize > kMaxManifestSize)
            return "no signed manifest arrived first";
        std::vector<unsigned char> message;
        if (!m_reader.CopyData([&message](const unsigned char* data, size_t size) {
                message.insert(message.end(), data, data + size);
                return true;
            }))
            return "the manifest did not arrive intact";
        DigestManifest manifest;
        manifest.pinnedCertificate = m_anchor;
        if (!VerifyManifestMessage(manifest, message) || !ManifestNamesAreSafe(manifest))
            return "the manifest did not pass its checks";
        m_signedSizes = SignedSizesByKey(manifest);
        if (m_signedSizes.empty()) return "the manifest signs no size for some file";
        if (!RoomForSignedFiles(m_signedSizes, m_extractionFolder)) return "the volume may lack room";
        m_wroteFiles = true;
        const std::wstring destination = JoinPath(m_extractionFolder, L"digest.s");
        // A later entry of that name that the manifest lists would overwrite the manifest just verified.
        m_placed.insert(ComparablePathOf(destination));
        // The extraction's files are no durable step of a run: the folder is noted and goes as a whole.
        const unique_file_handle file = CreateFileForWriting(destination);
        if (!file || !WriteToFile(file.get(), message.data(), message.size()))
            return "the manifest could not be written";
        return nullptr;
    }

    const char* WriteSignedFiles() {
        while (const std::optional<LocalEntry> entry = m_reader.Next()) {
            if (Cancelled()) return "cancelled";
            const std::string key = NsCommon::EntryKeyOf(entry->name);
            const auto signedSize = m_signedSizes.find(key);
            // Folders, empty files and what the manifest does not sign never reach the disk.
            if (entry->uncompressedSize == 0 || signedSize == m_signedSizes.end()) continue;
            if (entry->uncompressedSize != signedSize->second) return "a file's size is not its signed size";
            const std::optional<std::wstring> path = NsCommon::EntryPathOf(key, entry->flags);
            if (!path || !PathFits(key, *path, m_extractionFolder, m_installFolder))
                return "a file's path does not fit";
            const std::wstring destination = JoinPath(m_extractionFolder, *path);
            if (!m_placed.insert(ComparablePathOf(destination)).second) return "a file comes twice";
            if (!CreateFoldersOnce(m_extractionFolder, *path, m_lastFolder))
                return "a folder could not be made";
            if (!WriteEntryTo(destination, entry->uncompressedSize)) return "a file did not arrive intact";
        }
        return m_reader.AtDirectory() ? nullptr : "an entry cannot be taken as it comes";
    }

    bool WriteEntryTo(const std::wstring& destination, uint64_t size) {
        const unique_file_handle file = CreateFileForWriting(destination);
        if (!file) return false;
        m_written.files.push_back({destination, {size, {}}});
        return m_reader.CopyData([this, &file](const unsigned char* data, size_t piece) {
            return !Cancelled() && WriteToFile(file.get(), data, piece) &&
                   m_whole.HashData(data, static_cast<unsigned long>(piece));
        });
    }

    IArrivingArchive& m_archive;
    CLocalEntryReader m_reader;
    const std::wstring& m_extractionFolder;
    const std::wstring& m_installFolder;
    const std::vector<unsigned char>& m_anchor;
    const std::function<bool()>& m_cancelled;
    std::map<std::string, uint64_t> m_signedSizes;
    std::set<std::wstring> m_placed;
    std::wstring m_lastFolder;
    Sha256Hasher m_whole;
    WrittenFilesDigest m_written;
    bool m_wroteFiles = false;
};

}  // namespace

PayloadExtraction ExtractVerifiedPayload(const std::wstring& archivePath,
                                         const std::wstring& extractionFolder,
                                         const std::wstring& installFolder,
                                         const std::function<bool()>& cancelled,
                                         const std::vector<WrittenFile>& placed) {
    return ExtractVerifiedPayloadWithAnchor(archivePath, extractionFolder, installFolder, PinnedCertificate(),
                                            cancelled, placed);
}

PayloadExtraction ExtractVerifiedPayloadWithAnchor(const std::wstring& archivePath,
                                                   const std::wstring& extractionFolder,
                                                   const std::wstring& installFolder,
                                                   const std::vector<unsigned char>& anchor,
                                                   const std::function<bool()>& cancelled,
                                                   const std::vector<WrittenFile>& placed) {
    WrittenFilesDigest written;
    const PayloadExtraction extraction =
        WriteSignedFiles(archivePath, extractionFolder, installFolder, anchor, cancelled, placed, written);
    if (extraction != PayloadExtraction::Extracted) return extraction;
    return CheckPayloadWithAnchor(extractionFolder, anchor, &written) ? PayloadExtraction::Extracted
                                                                      : PayloadExtraction::CheckFailed;
}

ArrivedPayload ExtractArrivingPayload(IArrivingArchive& archive, const std::wstring& extractionFolder,
                                      const std::wstring& installFolder,
                                      const std::vector<unsigned char>& anchor,
                                      const std::function<bool()>& cancelled) {
    // Whatever this finds is found again, and logged, when the finished archive is extracted instead.
    const CQuietLog quiet;
    try {
        return CArrivalExtraction(archive, extractionFolder, installFolder, anchor, cancelled).Run();
    } catch (const std::exception&) {
        return {std::nullopt, "the file system refused a step", true};
    }
}

PayloadExtraction CheckArrivedPayload(const std::wstring& extractionFolder,
                                      const std::vector<unsigned char>& anchor,
                                      const WrittenFilesDigest& written) {
    return CheckPayloadWithAnchor(extractionFolder, anchor, &written) ? PayloadExtraction::Extracted
                                                                      : PayloadExtraction::CheckFailed;
}

}  // namespace tessara
