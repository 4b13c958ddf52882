#pragma once
// Reading the payload zip: the index of its entries is built once when the archive is opened, and
// entries are extracted under a target folder. Entry names are matched without regard to case.
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/ScopedWin.h"
#include "unzip.h"

namespace NsCommon {

class ICompressedFile {
public:
    virtual ~ICompressedFile() = default;
    virtual int GetEntryCount() const = 0;
    virtual std::vector<std::string> GetEntryNames() const = 0;
    virtual bool HasEntry(const char* name, int length) const = 0;
    virtual std::optional<uint64_t> GetUncompressedSize(const char* name, int length) const = 0;
    virtual std::optional<uint64_t> GetCompressedSize(const char* name, int length) const = 0;
    // True when every indexed entry was written under the target folder. An entry whose name is
    // rooted, carries a drive or climbs out of the target is refused: nothing is written for it.
    // Entry names become wide paths from UTF-8 when the entry is marked so, else from the ANSI code page,
    // so folders and names in any script work.
    virtual bool ExtractAll(std::wstring targetFolder) = 0;
    // Writes the entry to exactly the destination given, truncating an existing file. True once the
    // entry was opened and the destination too: damaged data is caught later by the digest check.
    virtual bool ExtractEntry(const char* name, int length, std::wstring destination) = 0;
};

namespace details {

using unique_unzfile = tessara::UniqueResource<tessara::SimpleTraits<unzFile, ::unzClose>>;

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

private:
    struct EntryInfo {
        unz_file_info64 info;
        unz64_file_pos position;
    };

    std::string NormalizeName(const char* name, int length) const;
    std::string MakeKey(const char* storedName, std::size_t length) const;
    const EntryInfo* Find(const char* name, int length) const;
    void BuildIndex();

    bool m_caseFolding = true;
    mutable std::recursive_mutex m_lock;
    unique_unzfile m_archive;
    unz_global_info64 m_globalInfo{};
    std::map<std::string, EntryInfo> m_index;
};

}  // namespace details
}  // namespace NsCommon
