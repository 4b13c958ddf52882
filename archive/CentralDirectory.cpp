#include "archive/CentralDirectory.h"

#include <algorithm>

namespace tessara {
namespace {

constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr uint32_t kEntrySignature = 0x02014b50;
constexpr size_t kEndSize = 22;
constexpr size_t kZip64LocatorSize = 20;
constexpr size_t kZip64EndSize = 56;
constexpr size_t kEntrySize = 46;
constexpr size_t kLocalHeaderSize = 30;
constexpr uint16_t kZip64ExtraId = 0x0001;

uint64_t Read(const std::vector<unsigned char>& bytes, size_t at, int width) {
    uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = (value << 8) | bytes[at + static_cast<size_t>(i)];
    return value;
}

// The Zip64 extra field replaces, in this order, each of the three numbers that is all ones.
bool ApplyZip64Extra(const std::vector<unsigned char>& bytes, size_t extra, size_t extraLength,
                     uint64_t& uncompressed, uint64_t& compressed, uint64_t& offset) {
    size_t at = extra;
    const size_t end = extra + extraLength;
    while (at + 4 <= end) {
        const uint64_t id = Read(bytes, at, 2);
        const size_t length = static_cast<size_t>(Read(bytes, at + 2, 2));
        if (at + 4 + length > end) return false;
        if (id == kZip64ExtraId) {
            size_t field = at + 4;
            for (uint64_t* value : {&uncompressed, &compressed, &offset}) {
                if (*value != 0xFFFFFFFFu) continue;
                if (field + 8 > at + 4 + length) return false;
                *value = Read(bytes, field, 8);
                field += 8;
            }
            return true;
        }
        at += 4 + length;
    }
    return true;
}

}  // namespace

std::optional<CentralDirectoryLocation> FindCentralDirectory(const std::vector<unsigned char>& tail,
                                                             uint64_t archiveSize) {
    if (tail.size() < kEndSize || tail.size() > archiveSize) return std::nullopt;
    const uint64_t tailStart = archiveSize - tail.size();
    // The end record is followed by a comment of at most 65535 bytes; the last signature wins.
    for (size_t at = tail.size() - kEndSize + 1; at-- > 0;) {
        if (Read(tail, at, 4) != kEndSignature) continue;
        if (at + kEndSize + Read(tail, at + 20, 2) != tail.size()) continue;
        CentralDirectoryLocation location{Read(tail, at + 16, 4), Read(tail, at + 12, 4),
                                          Read(tail, at + 10, 2)};
        const bool zip64 =
            location.offset == 0xFFFFFFFFu || location.size == 0xFFFFFFFFu || location.entries == 0xFFFFu;
        uint64_t endStart = tailStart + at;
        if (zip64) {
            if (at < kZip64LocatorSize || Read(tail, at - kZip64LocatorSize, 4) != kZip64LocatorSignature)
                return std::nullopt;
            const uint64_t recordOffset = Read(tail, at - kZip64LocatorSize + 8, 8);
            if (recordOffset < tailStart || recordOffset - tailStart + kZip64EndSize > tail.size())
                return std::nullopt;
            const size_t record = static_cast<size_t>(recordOffset - tailStart);
            if (Read(tail, record, 4) != kZip64EndSignature) return std::nullopt;
            location = {Read(tail, record + 48, 8), Read(tail, record + 40, 8), Read(tail, record + 32, 8)};
            endStart = recordOffset;
        }
        if (location.offset > endStart || location.size > endStart - location.offset) return std::nullopt;
        return location;
    }
    return std::nullopt;
}

std::optional<std::vector<ZipEntrySpan>> ParseCentralDirectory(const std::vector<unsigned char>& directory,
                                                               const CentralDirectoryLocation& location) {
    if (directory.size() != location.size) return std::nullopt;
    std::vector<ZipEntrySpan> entries;
    size_t at = 0;
    while (at + kEntrySize <= directory.size() && Read(directory, at, 4) == kEntrySignature) {
        const size_t nameLength = static_cast<size_t>(Read(directory, at + 28, 2));
        const size_t extraLength = static_cast<size_t>(Read(directory, at + 30, 2));
        const size_t commentLength = static_cast<size_t>(Read(directory, at + 32, 2));
        const size_t next = at + kEntrySize + nameLength + extraLength + commentLength;
        if (next > directory.size()) return std::nullopt;
        uint64_t compressed = Read(directory, at + 20, 4);
        uint64_t uncompressed = Read(directory, at + 24, 4);
        uint64_t offset = Read(directory, at + 42, 4);
        if (!ApplyZip64Extra(directory, at + kEntrySize + nameLength, extraLength, uncompressed, compressed,
                             offset))
            return std::nullopt;
        ZipEntrySpan entry;
        entry.name.assign(reinterpret_cast<const char*>(directory.data()) + at + kEntrySize, nameLength);
        entry.offset = offset;
        entry.compressedSize = compressed;
        entry.uncompressedSize = uncompressed;
        entry.crc = static_cast<uint32_t>(Read(directory, at + 16, 4));
        entry.flags = static_cast<uint16_t>(Read(directory, at + 8, 2));
        entries.push_back(std::move(entry));
        at = next;
    }
    if (at != directory.size() || entries.size() != location.entries) return std::nullopt;

    // Each entry reaches to the start of the next one in the file, the last one to the directory.
    std::vector<ZipEntrySpan*> byOffset;
    for (ZipEntrySpan& entry : entries) byOffset.push_back(&entry);
    std::sort(byOffset.begin(), byOffset.end(),
              [](const ZipEntrySpan* a, const ZipEntrySpan* b) { return a->offset < b->offset; });
    for (size_t i = 0; i < byOffset.size(); ++i) {
        ZipEntrySpan& entry = *byOffset[i];
        entry.end = i + 1 < byOffset.size() ? byOffset[i + 1]->offset : location.offset;
        if (entry.end <= entry.offset || entry.end - entry.offset < kLocalHeaderSize + entry.name.size() ||
            entry.end - entry.offset - kLocalHeaderSize - entry.name.size() < entry.compressedSize)
            return std::nullopt;
    }
    return entries;
}

}  // namespace tessara
