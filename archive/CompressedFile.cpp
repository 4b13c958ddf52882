#include "archive/CompressedFile.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "app/DiskFlush.h"
#include "app/FileSystem.h"
#include "app/Text.h"
#include "archive/WideFileFunctions.h"

namespace NsCommon {
namespace {

constexpr std::size_t kNameBufferSize = 260;
// Large pieces keep the cost of each WriteFile small next to inflating.
constexpr std::size_t kCopyBufferSize = 64 * 1024;
// General-purpose flag bit 11: the entry's name is UTF-8.
constexpr uLong kUtf8NameFlag = 0x800;

char FoldCase(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

}  // namespace

std::string EntryKeyOf(std::string_view storedName) {
    std::string key(storedName);
    for (char& c : key) c = FoldCase(c);
    return key;
}

std::string LookupKeyOf(std::string_view askedName) {
    std::string key = EntryKeyOf(askedName);
    std::replace(key.begin(), key.end(), '\\', '/');
    return key;
}

std::optional<std::wstring> EntryPathOf(const std::string& key, unsigned long flags) {
    // Names not marked as UTF-8 are in the ANSI code page of the machine that packed them, which can
    // only be taken to be ours. A payload may only place files inside the extraction folder.
    std::optional<std::wstring> path = tessara::WidenText(key, (flags & kUtf8NameFlag) ? CP_UTF8 : CP_ACP);
    if (!path || !tessara::StaysInsideFolder(*path)) return std::nullopt;
    return path;
}

namespace details {

CCompressedFile::CCompressedFile(const std::wstring& archivePath) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    zlib_filefunc64_def functions = WideFileFunctions();
    m_archive.reset(unzOpen2_64(archivePath.c_str(), &functions));
    if (m_archive) BuildIndex();
}

CCompressedFile::~CCompressedFile() {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    m_archive.reset();
}

void CCompressedFile::BuildIndex() {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    unzFile archive = m_archive.get();
    unzGetGlobalInfo64(archive, &m_globalInfo);
    if (unzGoToFirstFile(archive) != UNZ_OK) return;
    do {
        EntryInfo entry{};
        // A longer stored name comes back cut to the buffer, without a terminator.
        char name[kNameBufferSize] = {};
        const int status =
            unzGetCurrentFileInfo64(archive, &entry.info, name, sizeof name, nullptr, 0, nullptr, 0);
        const bool read = status == UNZ_OK && unzGetFilePos64(archive, &entry.position) == UNZ_OK;
        // Folders and empty files have nothing to extract.
        if (read && entry.info.uncompressed_size != 0) {
            m_index[EntryKeyOf(std::string_view(name, strnlen(name, sizeof name)))] = entry;
        }
    } while (unzGoToNextFile(archive) == UNZ_OK);
}

const CCompressedFile::IndexItem* CCompressedFile::FindItem(const char* name, int length) const {
    if (name == nullptr || length <= 0) return nullptr;
    const auto found = m_index.find(LookupKeyOf(std::string_view(name, static_cast<std::size_t>(length))));
    return found == m_index.end() ? nullptr : &*found;
}

const CCompressedFile::EntryInfo* CCompressedFile::Find(const char* name, int length) const {
    const IndexItem* item = FindItem(name, length);
    return item ? &item->second : nullptr;
}

bool CCompressedFile::IsOpen() const { return static_cast<bool>(m_archive); }

int CCompressedFile::GetEntryCount() const { return static_cast<int>(m_index.size()); }

std::vector<std::string> CCompressedFile::GetEntryNames() const {
    std::vector<std::string> names;
    names.reserve(m_index.size());
    for (const auto& item : m_index) names.push_back(item.first);
    return names;
}

bool CCompressedFile::HasEntry(const char* name, int length) const { return Find(name, length) != nullptr; }

std::optional<uint64_t> CCompressedFile::GetUncompressedSize(const char* name, int length) const {
    const EntryInfo* entry = Find(name, length);
    if (entry == nullptr) return std::nullopt;
    return entry->info.uncompressed_size;
}

std::optional<uint64_t> CCompressedFile::GetCompressedSize(const char* name, int length) const {
    const EntryInfo* entry = Find(name, length);
    if (entry == nullptr) return std::nullopt;
    return entry->info.compressed_size;
}

std::optional<std::wstring> CCompressedFile::GetEntryPath(const char* name, int length) const {
    const IndexItem* item = FindItem(name, length);
    if (item == nullptr) return std::nullopt;
    return EntryPathOf(item->first, item->second.info.flag);
}

bool CCompressedFile::ExtractAll(std::wstring targetFolder) {
    const bool extracted = IsOpen() && ExtractEntries(std::move(targetFolder), GetEntryNames(), nullptr);
    return tessara::WaitUntilOnDisk() && extracted;
}

bool CCompressedFile::ExtractEntries(std::wstring targetFolder, const std::vector<std::string>& names,
                                     IExtractionObserver* observer) {
    bool result = true;
    std::wstring lastFolder;
    for (const std::string& name : names) {
        if (observer && !observer->KeepGoing()) return false;
        const int length = static_cast<int>(name.size());
        const std::optional<std::wstring> path = GetEntryPath(name.data(), length);
        if (!path) {
            result = false;
            continue;
        }
        if (!tessara::CreateFoldersOnce(targetFolder, *path, lastFolder)) {
            result = false;
            continue;
        }
        // The name part of the destination is the case-folded key; the target folder is taken as given.
        result = WriteEntry(name.data(), length, tessara::JoinPath(targetFolder, *path), observer) && result;
    }
    return result;
}

unique_open_entry CCompressedFile::OpenEntry(const EntryInfo& entry) {
    unzFile archive = m_archive.get();
    if (!archive || unzGoToFilePos64(archive, &entry.position) != UNZ_OK ||
        unzOpenCurrentFile(archive) != UNZ_OK)
        return unique_open_entry();
    return unique_open_entry(archive);
}

// Feeds the open entry's bytes to the sink. True only when exactly the declared size came out, the sink
// took every piece and the library found the CRC intact; one byte past the declared size ends it.
template <typename Sink>
bool CCompressedFile::CopyOpenEntry(unique_open_entry& openEntry, uint64_t declared, Sink&& sink) {
    m_copyBuffer.resize(kCopyBufferSize);
    uint64_t copied = 0;
    for (;;) {
        const uint64_t left = declared - copied;
        const unsigned ask = static_cast<unsigned>(left < kCopyBufferSize ? left + 1 : kCopyBufferSize);
        const int read = unzReadCurrentFile(openEntry.get(), m_copyBuffer.data(), ask);
        if (read < 0) return false;
        if (read == 0) break;
        copied += static_cast<uint64_t>(read);
        if (copied > declared || !sink(m_copyBuffer.data(), static_cast<std::size_t>(read))) return false;
    }
    return copied == declared && unzCloseCurrentFile(openEntry.release()) == UNZ_OK;
}

bool CCompressedFile::ExtractEntry(const char* name, int length, std::wstring destination) {
    const bool extracted = WriteEntry(name, length, destination, nullptr);
    return tessara::WaitUntilOnDisk() && extracted;
}

bool CCompressedFile::WriteEntry(const char* name, int length, const std::wstring& destination,
                                 IExtractionObserver* observer) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    const EntryInfo* entry = Find(name, length);
    if (entry == nullptr) return false;
    unique_open_entry openEntry = OpenEntry(*entry);
    if (!openEntry) return false;
    tessara::unique_file_handle file = tessara::CreateFileForWriting(destination);
    if (!file) return false;
    if (observer) observer->OnFileStarted(destination);
    const bool complete = CopyOpenEntry(openEntry, entry->info.uncompressed_size,
                                        [&file, observer](const char* data, std::size_t size) {
                                            if (observer && !observer->KeepGoing()) return false;
                                            if (!tessara::WriteToFile(file.get(), data, size)) return false;
                                            if (observer) observer->OnFileData(data, size);
                                            return true;
                                        });
    if (complete) {
        tessara::FlushInBackground(std::move(file), destination);
        return true;
    }
    // What is left of a damaged or lying entry must not be taken for the payload's file.
    file.reset();
    ::DeleteFileW(tessara::ExtendedLengthPath(destination).c_str());
    return false;
}

bool CCompressedFile::ReadEntry(const char* name, int length, uint64_t maxSize,
                                std::vector<unsigned char>& data) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    data.clear();
    const EntryInfo* entry = Find(name, length);
    if (entry == nullptr || entry->info.uncompressed_size > maxSize) return false;
    unique_open_entry openEntry = OpenEntry(*entry);
    if (!openEntry) return false;
    data.reserve(static_cast<std::size_t>(entry->info.uncompressed_size));
    const bool complete =
        CopyOpenEntry(openEntry, entry->info.uncompressed_size, [&data](const char* bytes, std::size_t size) {
            data.insert(data.end(), bytes, bytes + size);
            return true;
        });
    if (!complete) data.clear();
    return complete;
}

}  // namespace details
}  // namespace NsCommon
