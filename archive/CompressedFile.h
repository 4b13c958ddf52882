#pragma once
// Reading the payload zip: the index of its entries is built once when the archive is opened, and
// entries are extracted under a target folder. Entry names are matched without regard to case.
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/ScopedWin.h"
#include "unzip.h"

namespace NsCommon {

// The key an entry is found by: its stored name, case folded (a stored '\\' stays, so such a name is
// never found).
std::string EntryKeyOf(std::string_view storedName);
// The key a name asked for is looked up by: '\\' stands for '/'.
std::string LookupKeyOf(std::string_view askedName);
// The path, relative to a target folder with '/' separators, that an entry of this key and these
// general-purpose flags is extracted to; nothing when it would leave the folder. Names become wide
// text from UTF-8 when the entry is marked so, else from the ANSI code page.
std::optional<std::wstring> EntryPathOf(const std::string& key, unsigned long flags);

// Sees, in order, every file that ExtractEntries writes and each piece of it as it goes to the disk,
// so that a caller can digest the payload without reading it back.
class IExtractionObserver {
public:
    virtual ~IExtractionObserver() = default;
    virtual void OnFileStarted(const std::wstring& destination) = 0;
    virtual void OnFileData(const char* data, std::size_t size) = 0;
    // Asked before each file and each piece: false ends the extraction there, as a failure.
    virtual bool KeepGoing() = 0;
};

class ICompressedFile {
public:
    virtual ~ICompressedFile() = default;
    virtual int GetEntryCount() const = 0;
    virtual std::vector<std::string> GetEntryNames() const = 0;
    virtual bool HasEntry(const char* name, int length) const = 0;
    virtual std::optional<uint64_t> GetUncompressedSize(const char* name, int length) const = 0;
    virtual std::optional<uint64_t> GetCompressedSize(const char* name, int length) const = 0;
    // True when the archive opened and every indexed entry was written completely under the target
    // folder (see ExtractEntries) and is on the disk. A file that is not a zip extracts nothing and
    // gives false.
    virtual bool ExtractAll(std::wstring targetFolder) = 0;
    // Writes the entry to exactly the destination given, truncating an existing file. True only when
    // all of its declared size was inflated, no more, its CRC matched and every byte was written;
    // otherwise the destination is deleted. Never writes more than the declared size plus one byte.
    // Returns once the file is on the disk.
    virtual bool ExtractEntry(const char* name, int length, std::wstring destination) = 0;

    virtual bool IsOpen() const = 0;
    // The path, relative to a target folder with '/' separators, that an entry is extracted to; nothing
    // when the entry is not indexed or its name is rooted, carries a drive or climbs out of the folder.
    // Names become wide text from UTF-8 when the entry is marked so, else from the ANSI code page.
    virtual std::optional<std::wstring> GetEntryPath(const char* name, int length) const = 0;
    // Writes the named entries under the target folder, creating their folders; an entry without a path
    // (see GetEntryPath) is refused and nothing is written for it. True when every one was written.
    // The observer, when given, sees each file written. The files are flushed in the background
    // (app/DiskFlush.h): they are on the disk, and may be opened again, once WaitUntilOnDisk returned.
    virtual bool ExtractEntries(std::wstring targetFolder, const std::vector<std::string>& names,
                                IExtractionObserver* observer) = 0;
    // The whole entry in memory, when it is indexed, declares at most maxSize bytes and reads back
    // intact (the same checks as ExtractEntry).
    virtual bool ReadEntry(const char* name, int length, uint64_t maxSize,
                           std::vector<unsigned char>& data) = 0;
};

namespace details {

using unique_unzfile = tessara::UniqueResource<tessara::SimpleTraits<unzFile, ::unzClose>>;
// Closes an entry left open by a copy that stopped early; a completed copy closes it itself to learn
// whether the CRC matched.
using unique_open_entry = tessara::UniqueResource<tessara::SimpleTraits<unzFile, ::unzCloseCurrentFile>>;

class CCompressedFile : public ICompressedFile {
public:
    explicit CCompressedFile(const std::wstring& archivePath);
    ~CCompressedFile() override;
    CCompressedFile(const CCompressedFile&) = delete;
    CCompressedFile& operator=(const CCompressedFile&) = delete;

    int GetEntryCount() const override;
    std::vector<std::string> GetEntryNames() const override;
    bool HasEntry(const char* name, int length) const override;
    std::optional<uint64_t> GetUncompressedSize(const char* name, int length) const override;
    std::optional<uint64_t> GetCompressedSize(const char* name, int length) const override;
    bool ExtractAll(std::wstring targetFolder) override;
    bool ExtractEntry(const char* name, int length, std::wstring destination) override;
    bool IsOpen() const override;
    std::optional<std::wstring> GetEntryPath(const char* name, int length) const override;
    bool ExtractEntries(std::wstring targetFolder, const std::vector<std::string>& names,
                        IExtractionObserver* observer) override;
    bool ReadEntry(const char* name, int length, uint64_t maxSize, std::vector<unsigned char>& data) override;

private:
    struct EntryInfo {
        unz_file_info64 info;
        unz64_file_pos position;
    };

    using IndexItem = std::pair<const std::string, EntryInfo>;
    unique_open_entry OpenEntry(const EntryInfo& entry);
    template <typename Sink>
    bool CopyOpenEntry(unique_open_entry& openEntry, uint64_t declared, Sink&& sink);
    bool WriteEntry(const char* name, int length, const std::wstring& destination,
                    IExtractionObserver* observer);
    const IndexItem* FindItem(const char* name, int length) const;
    const EntryInfo* Find(const char* name, int length) const;
    void BuildIndex();

    mutable std::recursive_mutex m_lock;
    unique_unzfile m_archive;
    unz_global_info64 m_globalInfo{};
    std::map<std::string, EntryInfo> m_index;
    std::vector<char> m_copyBuffer;
};

}  // namespace details
}  // namespace NsCommon
