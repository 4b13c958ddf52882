#pragma once
// Reading the payload zip: the index of its entries is built once when the archive is opened, and
// entries are extracted under a target folder. Entry names are matched without regard to case.
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

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
    virtual bool ExtractAll(std::wstring targetFolder) = 0;
    virtual bool ExtractEntry(const char* name, int length, std::wstring destination) = 0;
};

namespace details {

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
    void BuildIndex();

    bool m_caseFolding = true;
    mutable std::recursive_mutex m_lock;
    unzFile m_archive = nullptr;
    unz_global_info64 m_globalInfo{};
    std::map<std::string, EntryInfo> m_index;
};

}  // namespace details
}  // namespace NsCommon
