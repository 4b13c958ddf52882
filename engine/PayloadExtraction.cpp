#include "engine/PayloadExtraction.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <optional>
#include <set>
#include <thread>

#include "app/DiskFlush.h"
#include "app/FileSystem.h"
#include "app/Log.h"
#include "app/SlimLock.h"
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
// file, else the one digest over all of them that it signs. Given the files to write as well, it
// writes them too. Threads of their own do this work beside the inflating: SHA-256 and making files
// are the slow steps of the payload's way, and each file stands alone, so files take turns between two
// threads, whole files each; the one digest over all files is taken in order on a thread of its own.
// The inflating side gathers pieces into batches and hands over a batch at a time, into short queues
// whose length bounds the memory taken: a payload of many small files costs a hand-over per batch,
// not one per piece and per file. The threads that write files also flush them, whenever their queue is
// empty and before they end: a thread costs about a mebibyte of working set under Wine, so that flushing
// on threads of their own would cost two more.
class CDigestingObserver : public NsCommon::IExtractionObserver {
public:
    enum class Files { WrittenByCaller, Written };

    CDigestingObserver(const std::function<bool()>& cancelled, bool digestPerFile,
                       Files files = Files::WrittenByCaller)
        : m_cancelled(cancelled), m_digestPerFile(digestPerFile), m_writes(files == Files::Written) {
        m_lanes[0].writes = m_lanes[1].writes = m_writes;
        m_lanes[0].hashes = m_lanes[1].hashes = digestPerFile;
        m_lanes[kWholeLane].hashes = !digestPerFile;
        for (size_t lane = 0; lane < kLanes; ++lane) {
            if (Used(lane)) m_lanes[lane].thread = std::thread([this, lane] { WorkOn(m_lanes[lane]); });
        }
    }
    CDigestingObserver(const CDigestingObserver&) = delete;
    CDigestingObserver& operator=(const CDigestingObserver&) = delete;
    ~CDigestingObserver() override { StopLanes(); }

    void OnFileStarted(const std::wstring& destination) override {
        m_written.files.push_back({destination, {}});
        if (!Used(0)) return;
        // Small files share a batch, and with it a thread.
        if (m_filling[m_current].bytes.size() >= kBatchSize / 2) {
            HandOver(m_current);
            m_current = 1 - m_current;
        }
        m_fileLanes.push_back(m_current);
        Batch& batch = m_filling[m_current];
        batch.fileStarts.push_back(batch.bytes.size());
        if (m_writes) batch.fileNames.push_back(destination);
    }
    void OnFileData(const char* data, std::size_t size) override {
        if (!m_written.files.empty()) m_written.files.back().content.size += size;
        if (Used(0)) Append(m_current, data, size);
        if (Used(kWholeLane)) Append(kWholeLane, data, size);
    }
    bool KeepGoing() override { return !m_writeFailed.load() && (!m_cancelled || !m_cancelled()); }
    // Waits for every piece to be written and hashed. The files' digests are left out where some piece
    // could not be hashed.
    WrittenFilesDigest Finish() {
        for (size_t lane = 0; lane < kLanes; ++lane) HandOver(lane);
        StopLanes();
        for (const Lane& lane : m_lanes) {
            if (!lane.intact) return std::move(m_written);
        }
        if (!m_digestPerFile) {
            m_written.digest = m_lanes[kWholeLane].hasher.Finish();
            return std::move(m_written);
        }
        size_t next[kLanes] = {};
        for (size_t i = 0; i < m_written.files.size() && i < m_fileLanes.size(); ++i) {
            const size_t lane = m_fileLanes[i];
            if (next[lane] < m_lanes[lane].digests.size())
                m_written.files[i].content.sha256 = std::move(m_lanes[lane].digests[next[lane]++]);
        }
        return std::move(m_written);
    }
    // After Finish: whether every file given to write was written whole.
    bool WroteAll() const { return !m_writeFailed.load(); }
    // After Finish: whether every file written here is on the disk.
    bool FlushedAll() const { return !m_flushFailed.load(); }

private:
    // A piece of a large file fills a batch; small files share one. A few batches exist per thread (the
    // one filling and those waiting), no more memory than a piece waiting beside one being hashed took.
    static constexpr size_t kBatchSize = 64 * 1024;
    // Batches handed over to a thread and not yet done; the inflating side waits only when this many are.
    static constexpr size_t kBatchesWaiting = 2;
    // Two threads that take whole files in turn, and one for the digest over all files.
    static constexpr size_t kLanes = 3;
    static constexpr size_t kWholeLane = 2;
    // Written files a thread keeps open for flushing, at most; beyond them it flushes before it goes on.
    static constexpr size_t kUnflushedFiles = 16;
    struct UnflushedFile {
        unique_file_handle file;
        std::wstring name;
    };
    struct Batch {
        std::vector<unsigned char> bytes;
        // Where in the bytes each file that starts in this batch starts, on the threads taking files.
        std::vector<size_t> fileStarts;
        // The path of each of those files, when they are written here.
        std::vector<std::wstring> fileNames;
    };
    // One thread with its queue. The rest is touched by its thread only, until it is joined.
    struct Lane {
        bool writes = false;
        bool hashes = false;
        std::deque<Batch> waiting;
        Sha256Hasher hasher;
        bool intact = true;
        unique_file_handle file;
        std::wstring fileName;
        size_t filesStarted = 0;
        // The digests of the files this thread took, in their order.
        std::vector<std::vector<unsigned char>> digests;
        std::deque<UnflushedFile> unflushed;
        // Its thread waits here for a batch.
        CSlimCondition work;
        std::thread thread;
    };

    bool Used(size_t lane) const { return m_lanes[lane].writes || m_lanes[lane].hashes; }

    void Append(size_t lane, const char* data, std::size_t size) {
        Batch& batch = m_filling[lane];
        if (batch.bytes.size() + size > kBatchSize) HandOver(lane);
        if (m_filling[lane].bytes.capacity() < kBatchSize) m_filling[lane].bytes.reserve(kBatchSize);
        m_filling[lane].bytes.insert(m_filling[lane].bytes.end(), data, data + size);
    }
    void HandOver(size_t lane) {
        Batch& filling = m_filling[lane];
        if (filling.bytes.empty() && filling.fileStarts.empty()) return;
        std::unique_lock<CSlimMutex> lock(m_lock);
        std::deque<Batch>& waiting = m_lanes[lane].waiting;
        m_room.wait(lock, [&waiting] { return waiting.size() < kBatchesWaiting; });
        waiting.push_back(std::move(filling));
        // A finished batch's buffer is filled again rather than allocated anew.
        filling = Batch();
        if (!m_spare.empty()) {
            filling = std::move(m_spare.back());
            m_spare.pop_back();
        }
        m_lanes[lane].work.notify_one();
    }
    void Take(Lane& lane, const unsigned char* data, size_t size) {
        if (size == 0) return;
        if (lane.hashes)
            lane.intact = lane.hasher.HashData(data, static_cast<unsigned long>(size)) && lane.intact;
        if (lane.writes && !(lane.file && WriteToFile(lane.file.get(), data, size)))
            m_writeFailed.store(true);
    }
    // The start of the first file ends no file.
    void EndFile(Lane& lane) {
        if (lane.filesStarted == 0) return;
        if (lane.hashes) lane.digests.push_back(lane.hasher.Finish());
        if (!lane.file) return;
        lane.unflushed.push_back({std::move(lane.file), lane.fileName});
        if (lane.unflushed.size() > kUnflushedFiles) FlushOldest(lane);
    }
    void FlushOldest(Lane& lane) {
        if (!FlushNow(lane.unflushed.front().file.get(), lane.unflushed.front().name))
            m_flushFailed.store(true);
        lane.unflushed.pop_front();
    }
    void WorkOnBatch(Lane& lane, const Batch& batch) {
        size_t from = 0;
        for (size_t i = 0; i < batch.fileStarts.size(); ++i) {
            Take(lane, batch.bytes.data() + from, batch.fileStarts[i] - from);
            EndFile(lane);
            ++lane.filesStarted;
            if (lane.writes) {
                lane.fileName = batch.fileNames[i];
                lane.file = CreateFileForWriting(lane.fileName);
                if (!lane.file) m_writeFailed.store(true);
            }
            from = batch.fileStarts[i];
        }
        Take(lane, batch.bytes.data() + from, batch.bytes.size() - from);
    }
    // Batches stay in the queue while worked on: the inflating side only appends, which moves no
    // element of it.
    void WorkOn(Lane& lane) {
        std::unique_lock<CSlimMutex> lock(m_lock);
        for (;;) {
            lane.work.wait(lock, [this, &lane] {
                return !lane.waiting.empty() || m_stopping || !lane.unflushed.empty();
            });
            if (lane.waiting.empty() && !m_stopping) {
                lock.unlock();
                FlushOldest(lane);
                lock.lock();
                continue;
            }
            if (lane.waiting.empty()) break;
            const Batch& batch = lane.waiting.front();
            lock.unlock();
            WorkOnBatch(lane, batch);
            lock.lock();
            m_spare.push_back(std::move(lane.waiting.front()));
            m_spare.back().bytes.clear();
            m_spare.back().fileStarts.clear();
            m_spare.back().fileNames.clear();
            lane.waiting.pop_front();
            m_room.notify_one();
        }
        lock.unlock();
        EndFile(lane);
        while (!lane.unflushed.empty()) FlushOldest(lane);
    }
    void StopLanes() {
        {
            std::lock_guard<CSlimMutex> lock(m_lock);
            m_stopping = true;
        }
        for (Lane& lane : m_lanes) lane.work.notify_one();
        for (Lane& lane : m_lanes) {
            if (lane.thread.joinable()) lane.thread.join();
        }
    }

    const std::function<bool()>& m_cancelled;
    const bool m_digestPerFile;
    const bool m_writes;
    size_t m_current = 0;
    // The thread that took each file, by the file's place in the written list.
    std::vector<size_t> m_fileLanes;
    WrittenFilesDigest m_written;
    std::array<Batch, kLanes> m_filling;
    CSlimMutex m_lock;
    // The inflating side waits here for room in a queue; only it ever waits for room.
    CSlimCondition m_room;
    std::vector<Batch> m_spare;
    bool m_stopping = false;
    std::atomic<bool> m_writeFailed{false};
    std::atomic<bool> m_flushFailed{false};
    std::array<Lane, kLanes> m_lanes;
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
// with its signed size where it signs one, its path within bounds and room on the volume (for all of
// them at once where every size is signed, else for each file as it comes). The digests are taken on
// the way, as the finished archive's extraction takes them. Anything the reader cannot take as it
// comes stops it with the reason; the caller then extracts the finished archive.
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
        WrittenFilesDigest written = m_observer->Finish();
        if (!m_observer->WroteAll()) return {std::nullopt, "a file could not be written", true};
        // Checked, put in place or removed, the files are on the disk first.
        if (!m_observer->FlushedAll() || !WaitUntilOnDisk())
            return {std::nullopt, "a file could not be flushed to the disk", true};
        return {std::move(written), {}, true};
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
        // Without a signed size for every file, the room is asked for each file as it comes instead.
        if (m_rules->SignedTotal() && !m_rules->RoomFor(*m_rules->SignedTotal()))
            return "the volume may lack room";
        // Per file where the manifest signs a digest per file, else the one digest over all of them in
        // the order they arrive, which stands for reading them back when that is the manifest's order.
        m_observer.emplace(m_cancelled, !manifest.fileDigests.empty(), CDigestingObserver::Files::Written);
        m_wroteFiles = true;
        const std::wstring destination = JoinPath(m_extractionFolder, L"digest.s");
        // A later entry of that name that the manifest lists would overwrite the manifest just verified.
        m_placed.insert(ComparablePathOf(destination));
        // The extraction's files are no durable step of a run: the folder is noted and goes as a whole.
        unique_file_handle file = CreateFileForWriting(destination);
        if (!file || !WriteToFile(file.get(), message.data(), message.size()))
            return "the manifest could not be written";
        // Here rather than on a flushing thread, which would stay for the rest of the process.
        if (!FlushNow(file.get(), destination)) return "a file could not be flushed to the disk";
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
            if (!m_rules->SignedTotal() && !m_rules->RoomForNext(entry->uncompressedSize))
                return "the volume may lack room";
            const std::wstring destination = JoinPath(m_extractionFolder, *path);
            if (!m_placed.insert(ComparablePathOf(destination)).second) return "a file comes twice";
            if (!CreateFoldersOnce(m_extractionFolder, *path, m_lastFolder))
                return "a folder could not be made";
            if (!WriteEntryTo(destination)) return "a file did not arrive intact";
        }
        return m_reader.AtDirectory() ? nullptr : "an entry cannot be taken as it comes";
    }

    // The observer makes the file and writes it on a thread of its own; what it could not write ends
    // the copy at its next piece, or shows when it finishes.
    bool WriteEntryTo(const std::wstring& destination) {
        m_observer->OnFileStarted(destination);
        return m_reader.CopyData([this](const unsigned char* data, size_t piece) {
            if (Cancelled() || !m_observer->KeepGoing()) return false;
            m_observer->OnFileData(reinterpret_cast<const char*>(data), piece);
            return true;
        });
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
    std::optional<CDigestingObserver> m_observer;
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
