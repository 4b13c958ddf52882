#pragma once
// Reading a zip front to back by its local headers, so that its entries can be unpacked while the
// archive is still arriving. Only what a writer that knows every size before the data produces is
// taken: a data descriptor, encryption, a method other than stored or deflated, or Zip64 sizes end
// the reading, and the caller reads the finished archive by its central directory instead.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/CentralDirectory.h"

namespace tessara {

// An archive whose bytes may still be on their way.
class IArrivingArchive {
public:
    virtual ~IArrivingArchive() = default;
    // Exactly size bytes at offset, once they are there; false when they are not and will not come.
    virtual bool Read(uint64_t offset, unsigned char* into, size_t size) = 0;
    // The whole size, once everything has arrived; nothing when the archive ended incomplete.
    virtual std::optional<uint64_t> FinalSize() = 0;
    // Why the archive ended incomplete, in words.
    virtual std::string Interruption() { return "the download broke off"; }
};

struct LocalEntry {
    // As stored.
    std::string name;
    uint16_t flags = 0;
    uint64_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
};

class CLocalEntryReader {
public:
    explicit CLocalEntryReader(IArrivingArchive& archive);
    ~CLocalEntryReader();
    CLocalEntryReader(const CLocalEntryReader&) = delete;
    CLocalEntryReader& operator=(const CLocalEntryReader&) = delete;

    // The next entry, its data skipped unless CopyData is called before the next call. Nothing at the
    // central directory (then AtDirectory() is true), and at anything the reader does not take.
    std::optional<LocalEntry> Next();
    bool AtDirectory() const { return m_atDirectory; }
    // Hands the data of the entry Next returned to the sink in pieces, inflated. True when exactly
    // its declared size came out, its CRC matched and the sink took every piece.
    bool CopyData(const std::function<bool(const unsigned char*, size_t)>& sink);
    // Once at the central directory: true when the finished archive's directory lists exactly the
    // entries read, in the same order, at the same places, with the same sizes, CRCs and flags.
    bool MatchesCentralDirectory();

private:
    IArrivingArchive& m_archive;
    uint64_t m_offset = 0;
    bool m_atDirectory = false;
    std::optional<LocalEntry> m_current;
    uint16_t m_method = 0;
    uint32_t m_crc = 0;
    uint64_t m_dataOffset = 0;
    std::vector<ZipEntrySpan> m_read;
    std::vector<unsigned char> m_input;
    std::vector<unsigned char> m_output;
    struct InflateState;
    std::unique_ptr<InflateState> m_inflate;
};

}  // namespace tessara
