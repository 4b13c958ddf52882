#include "engine/PayloadExtraction.h"

#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "app/DiskFlush.h"
#include "app/FileSystem.h"
#include "app/Log.h"
#include "app/Text.h"
#include "archive/CompressedFile.h"
#include "archive/LocalEntries.h"
#include "engine/ArrivedContent.h"
#include "engine/PayloadRules.h"
#include "verify/DigestManifest.h"

namespace tessara {
namespace {

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
    std::vector<std::string> entries = {kManifestEntryName};
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

// Every file is checked before anything is written: its path, the room on the volume for all of them,
// and its declared size against the signed one. The declared sizes are what the archive claims; the
// reader never writes more than that, so their sum bounds what extraction can put on the volume.
PayloadExtraction CheckEntriesBeforeWriting(const NsCommon::ICompressedFile& archive,
                                            const std::vector<std::string>& entries,
                                            const CPayloadRules& rules) {
    uint64_t needed = 0;
    for (const std::string& entry : entries) {
        const std::optional<std::wstring> path = archive.GetEntryPath(entry.data(), NameLength(entry));
        if (!path) {
            LogFormat("The payload names a file outside its folder: %s", entry);
            return PayloadExtraction::ExtractionFailed;
        }
        if (!rules.PathFits(entry, *path)) return PayloadExtraction::ExtractionFailed;
        needed =
            AddSaturating(needed, archive.GetUncompressedSize(entry.data(), NameLength(entry)).value_or(0));
    }
    if (!rules.RoomFor(needed)) return PayloadExtraction::ExtractionFailed;
    for (const std::string& entry : entries) {
        if (!rules.SizeIsSigned(entry,
                                archive.GetUncompressedSize(entry.data(), NameLength(entry)).value_or(0)))
            return PayloadExtraction::CheckFailed;
    }
    return PayloadExtraction::Extracted;
}

// Digests the files' bytes on their way to the disk, in the order they are written, so that the check
// after extraction need not read the payload back: a digest per file where the manifest signs one per
// file, else the one digest over all of them that it signs. A thread of its own takes them and
// overlaps inflating and writing, the slower of the two. The writer gathers pieces into batches and
// hands over a batch at a time, into a short queue whose length bounds the memory taken: a payload of
// many small files costs a hand-over per batch, not one per piece and per file.
class CDigestingObserver : public NsCommon::IExtractionObserver {
public:
    CDigestingObserver(const std::function<bool()>& cancelled, bool digestPerFile)
        : m_cancelled(cancelled), m_digestPerFile(digestPerFile), m_thread([this] { HashBatches(); }) {}
    CDigestingObserver(const CDigestingObserver&) = delete;
    CDigestingObserver& operator=(const CDigestingObserver&) = delete;
    ~CDigestingObserver() override { StopHashing(); }

    void OnFileStarted(const std::wstring& destination) override {
        m_written.files.push_back({destination, {}});
        if (m_digestPerFile) m_filling.fileStarts.push_back(m_filling.bytes.size());
    }
    void OnFileData(const char* data, std::size_t size) override {
        if (!m_written.files.empty()) m_written.files.back().content.size += size;
        if (m_filling.bytes.size() + size > kBatchSize) HandOver();
        if (m_filling.bytes.capacity() < kBatchSize) m_filling.bytes.reserve(kBatchSize);
        m_filling.bytes.insert(m_filling.bytes.end(), data, data + size);
    }
    bool KeepGoing() override { return !m_cancelled || !m_cancelled(); }
    // Waits for every piece to be hashed.
    WrittenFilesDigest Finish() {
        HandOver();
        StopHashing();
        if (!m_intact) return std::move(m_written);
        if (!m_digestPerFile) {
            m_written.digest = m_hasher.Finish();
        } else if (!m_written.files.empty()) {
            m_fileDigests.push_back(m_hasher.Finish());
            for (size_t i = 0; i < m_written.files.size() && i < m_fileDigests.size(); ++i)
                m_written.files[i].content.sha256 = std::move(m_fileDigests[i]);
        }
        return std::move(m_written);
    }

private:
    // A piece of a large file fills a batch; small files share one. Three batches exist at most (the
    // one filling and those waiting), no more memory than a piece waiting beside one being hashed took.
    static constexpr size_t kBatchSize = 64 * 1024;
    // Batches handed over and not yet hashed; the writer waits only when this many are.
    static constexpr size_t kBatchesWaiting = 2;
    struct Batch {
        std::vector<unsigned char> bytes;
        // Where in the bytes each file that starts in this batch starts, when digesting per file.
        std::vector<size_t> fileStarts;
    };

    void HandOver() {
        if (m_filling.bytes.empty() && m_filling.fileStarts.empty()) return;
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
    // The hasher and what it found are touched by this thread only, until it is joined.
    void HashBatch(const Batch& batch) {
        size_t from = 0;
        for (const size_t start : batch.fileStarts) {
            m_intact =
                m_hasher.HashData(batch.bytes.data() + from, static_cast<unsigned long>(start - from)) &&
                m_intact;
            // The start of the first file ends no file.
            if (m_filesStarted++ != 0) m_fileDigests.push_back(m_hasher.Finish());
            from = start;
        }
        m_intact = m_hasher.HashData(batch.bytes.data() + from,
                                     static_cast<unsigned long>(batch.bytes.size() - from)) &&
                   m_intact;
    }
    // Batches stay in the queue while hashed: the writer only appends, which moves no element of it.
    void HashBatches() {
        std::unique_lock<std::mutex> lock(m_lock);
        for (;;) {
            m_changed.wait(lock, [this] { return !m_waiting.empty() || m_stopping; });
            if (m_waiting.empty()) break;
            const Batch& batch = m_waiting.front();
            lock.unlock();
            HashBatch(batch);
            lock.lock();
            m_spare.push_back(std::move(m_waiting.front()));
            m_spare.back().bytes.clear();
            m_spare.back().fileStarts.clear();
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
    const bool m_digestPerFile;
    Sha256Hasher m_hasher;
    bool m_intact = true;
    size_t m_filesStarted = 0;
    std::vector<std::vector<unsigned char>> m_fileDigests;
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
        LogFormat("The payload is not a zip archive: %s", DescribeNonArchive(archivePath));
        return PayloadExtraction::ExtractionFailed;
    }
    std::vector<unsigned char> message;
    DigestManifest manifest;
    manifest.pinnedCertificate = anchor;
    if (!archive.ReadEntry(kManifestEntryName, NameLength(kManifestEntryName), kMaxManifestSize, message) ||
        !VerifyManifestMessage(manifest, message)) {
        LogWrite("The payload's digest.s is missing or not signed by a trusted signer");
        return PayloadExtraction::CheckFailed;
    }
    // Refused before anything is written: Windows would store such a file under another name.
    if (!ManifestNamesAreSafe(manifest)) return PayloadExtraction::CheckFailed;

    const CPayloadRules rules(manifest, extractionFolder, installFolder);
    const std::vector<std::string> entries = SignedEntries(archive, manifest);
    const PayloadExtraction checked = CheckEntriesBeforeWriting(archive, entries, rules);
    if (checked != PayloadExtraction::Extracted) return checked;
    // The manifest, first in the list, is written outside the digests, which cover only the files it lists.
    const std::vector<std::string> listedFiles = WithoutPlacedFiles(
        archive, std::vector<std::string>(entries.begin() + 1, entries.end()), extractionFolder, placed);
    CDigestingObserver observer(cancelled, !manifest.fileDigests.empty());
    const bool extracted = archive.ExtractEntries(extractionFolder, {kManifestEntryName}, nullptr) &&
                           archive.ExtractEntries(extractionFolder, listedFiles, &observer);
    // Checked, put in place or removed, the files are on the disk first: the placed ones of an update too.
    if (!WaitUntilOnDisk() || !extracted) {
        LogWrite("Could not write every signed file of the payload");
        return PayloadExtraction::ExtractionFailed;
    }
    written = observer.Finish();
    written.files.insert(written.files.end(), placed.begin(), placed.end());
    return PayloadExtraction::Extracted;
}

// Unpacks the archive as it arrives, by its local headers, under the same rules as the extraction of
// the finished archive: the manifest first and verified in memory, then only the files it signs, each
// with its signed size and its own digest, its path within bounds and room for all of them on the
// volume. Anything the reader cannot take as it comes stops it with the reason; the caller then
// extracts the finished archive.
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
        // Checked, put in place or removed, the files are on the disk first.
        if (!WaitUntilOnDisk() && !stopped) stopped = "a file could not be flushed to the disk";
        // Whatever stopped the reading, a download that ended early explains it best.
        if (stopped && !m_archive.FinalSize()) return {std::nullopt, m_archive.Interruption(), m_wroteFiles};
        if (stopped) return {std::nullopt, stopped, m_wroteFiles};
        return {std::move(m_written), {}, true};
    }

private:
    bool Cancelled() const { return m_cancelled && m_cancelled(); }

    const char* WriteManifest() {
        const std::optional<LocalEntry> entry = m_reader.Next();
        if (!entry || NsCommon::EntryKeyOf(entry->name) != kManifestEntryName ||
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
        m_rules.emplace(manifest, m_extractionFolder, m_installFolder);
        // Each file's digest is taken as it arrives, which only a signed size and digest per file can
        // stand for.
        if (!m_rules->SignedTotal()) return "the manifest signs no size for some file";
        if (!m_rules->RoomFor(*m_rules->SignedTotal())) return "the volume may lack room";
        m_wroteFiles = true;
        const std::wstring destination = JoinPath(m_extractionFolder, L"digest.s");
        // A later entry of that name that the manifest lists would overwrite the manifest just verified.
        m_placed.insert(ComparablePathOf(destination));
        // The extraction's files are no durable step of a run: the folder is noted and goes as a whole.
        unique_file_handle file = CreateFileForWriting(destination);
        if (!file || !WriteToFile(file.get(), message.data(), message.size()))
            return "the manifest could not be written";
        FlushInBackground(std::move(file), destination);
        return nullptr;
    }

    const char* WriteSignedFiles() {
        while (const std::optional<LocalEntry> entry = m_reader.Next()) {
            if (Cancelled()) return "cancelled";
            const std::string key = NsCommon::EntryKeyOf(entry->name);
            // Folders, empty files and what the manifest does not sign never reach the disk.
            if (entry->uncompressedSize == 0 || !m_rules->Signs(key)) continue;
            if (!m_rules->SizeIsSigned(key, entry->uncompressedSize))
                return "a file's size is not its signed size";
            const std::optional<std::wstring> path = NsCommon::EntryPathOf(key, entry->flags);
            if (!path || !m_rules->PathFits(key, *path)) return "a file's path does not fit";
            const std::wstring destination = JoinPath(m_extractionFolder, *path);
            if (!m_placed.insert(ComparablePathOf(destination)).second) return "a file comes twice";
            if (!CreateFoldersOnce(m_extractionFolder, *path, m_lastFolder))
                return "a folder could not be made";
            if (!WriteEntryTo(destination, entry->uncompressedSize)) return "a file did not arrive intact";
        }
        return m_reader.AtDirectory() ? nullptr : "an entry cannot be taken as it comes";
    }

    bool WriteEntryTo(const std::wstring& destination, uint64_t size) {
        unique_file_handle file = CreateFileForWriting(destination);
        if (!file) return false;
        const bool copied = m_reader.CopyData([this, &file](const unsigned char* data, size_t piece) {
            return !Cancelled() && WriteToFile(file.get(), data, piece) &&
                   m_hasher.HashData(data, static_cast<unsigned long>(piece));
        });
        std::vector<unsigned char> digest = m_hasher.Finish();
        if (!copied || digest.empty()) return false;
        FlushInBackground(std::move(file), destination);
        m_written.files.push_back({destination, {size, std::move(digest)}});
        return true;
    }

    IArrivingArchive& m_archive;
    CLocalEntryReader m_reader;
    const std::wstring& m_extractionFolder;
    const std::wstring& m_installFolder;
    const std::vector<unsigned char>& m_anchor;
    const std::function<bool()>& m_cancelled;
    std::optional<CPayloadRules> m_rules;
    std::set<std::wstring> m_placed;
    std::wstring m_lastFolder;
    Sha256Hasher m_hasher;
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
