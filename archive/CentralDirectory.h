#pragma once
// Reads a zip's central directory from bytes fetched from the end of a remote archive, so that single
// entries can be asked for by range. Every number comes from the server: nothing here trusts one
// without checking it against the bytes at hand and the archive's size.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessara {

struct CentralDirectoryLocation {
    uint64_t offset = 0;
    uint64_t size = 0;
    uint64_t entries = 0;
};

// Finds the end record (and its Zip64 form) in the last bytes of an archive of archiveSize bytes;
// tail holds bytes archiveSize - tail.size() .. archiveSize - 1.
std::optional<CentralDirectoryLocation> FindCentralDirectory(const std::vector<unsigned char>& tail,
                                                             uint64_t archiveSize);

// One entry as the central directory places it: its bytes (local header, data and whatever follows
// up to the next entry) lie at [offset, end).
struct ZipEntrySpan {
    std::string name;
    uint64_t offset = 0;
    uint64_t end = 0;
    uint64_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
    uint32_t crc = 0;
    // General-purpose flags: how the name is encoded, among others.
    uint16_t flags = 0;
};

// The entries of the central directory, in archive order with their spans; nothing when it is
// malformed, its count disagrees with the location, or two entries overlap.
std::optional<std::vector<ZipEntrySpan>> ParseCentralDirectory(const std::vector<unsigned char>& directory,
                                                               const CentralDirectoryLocation& location);

}  // namespace tessara
