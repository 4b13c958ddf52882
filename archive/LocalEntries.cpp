#include "archive/LocalEntries.h"

#include <zlib.h>

#include <algorithm>

namespace tessara {
namespace {

constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr uint32_t kDirectorySignature = 0x02014b50;
constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kPieceSize = 64 * 1024;
// Encrypted (bit 0), sizes after the data (bit 3), strongly encrypted (bit 6).
constexpr uint16_t kUntakenFlags = 0x0001 | 0x0008 | 0x0040;
constexpr uint16_t kStored = 0;
constexpr uint16_t kDeflated = 8;
// A directory with its end records past this is not taken as it comes (tens of thousands of entries).
constexpr uint64_t kLongestTail = 4 * 1024 * 1024;

uint64_t ReadNumber(const unsigned char* bytes, int width) {
    uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = (value << 8) | bytes[i];
    return value;
}

}  // namespace

struct CLocalEntryReader::InflateState {
    z_stream stream{};
    bool ready = inflateInit2(&stream, -MAX_WBITS) == Z_OK;
    ~InflateState() {
        if (ready) inflateEnd(&stream);
    }
};

CLocalEntryReader::CLocalEntryReader(IArrivingArchive& archive)
    : m_archive(archive), m_inflate(std::make_unique<InflateState>()) {}

CLocalEntryReader::~CLocalEntryReader() = default;

std::optional<LocalEntry> CLocalEntryReader::Next() {
    if (m_current) m_offset = m_dataOffset + m_current->compressedSize;
    m_current.reset();
    // A directory entry is longer than a local header, so that one read serves either.
    unsigned char header[kLocalHeaderSize];
    if (m_atDirectory || !m_archive.Read(m_offset, header, sizeof header)) return std::nullopt;
    const uint64_t signature = ReadNumber(header, 4);
    if (signature == kDirectorySignature) {
        m_atDirectory = true;
        return std::nullopt;
    }
    if (signature != kLocalSignature) return std::nullopt;
    LocalEntry entry;
    entry.flags = static_cast<uint16_t>(ReadNumber(header + 6, 2));
    m_method = static_cast<uint16_t>(ReadNumber(header + 8, 2));
    m_crc = static_cast<uint32_t>(ReadNumber(header + 14, 4));
    entry.compressedSize = ReadNumber(header + 18, 4);
    entry.uncompressedSize = ReadNumber(header + 22, 4);
    const size_t nameLength = static_cast<size_t>(ReadNumber(header + 26, 2));
    const uint64_t extraLength = ReadNumber(header + 28, 2);
    if ((entry.flags & kUntakenFlags) || (m_method != kStored && m_method != kDeflated) ||
        entry.compressedSize == 0xFFFFFFFFu || entry.uncompressedSize == 0xFFFFFFFFu ||
        (m_method == kStored && entry.compressedSize != entry.uncompressedSize))
        return std::nullopt;
    entry.name.resize(nameLength);
    if (nameLength != 0 && !m_archive.Read(m_offset + kLocalHeaderSize,
                                           reinterpret_cast<unsigned char*>(entry.name.data()), nameLength))
        return std::nullopt;
    m_dataOffset = m_offset + kLocalHeaderSize + nameLength + extraLength;
    m_read.push_back(
        {entry.name, m_offset, 0, entry.compressedSize, entry.uncompressedSize, m_crc, entry.flags});
    m_current = entry;
    return entry;
}

bool CLocalEntryReader::CopyData(const std::function<bool(const unsigned char*, size_t)>& sink) {
    if (!m_current) return false;
    const uint64_t declared = m_current->uncompressedSize;
    uint32_t crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
    uint64_t produced = 0;
    const auto pass = [&](const unsigned char* data, size_t size) {
        produced += size;
        crc = static_cast<uint32_t>(crc32(crc, data, static_cast<uInt>(size)));
        return produced <= declared && sink(data, size);
    };
    m_input.resize(kPieceSize);
    z_stream& stream = m_inflate->stream;
    if (m_method == kDeflated && (!m_inflate->ready || inflateReset(&stream) != Z_OK)) return false;
    bool ended = m_method == kStored;
    for (uint64_t consumed = 0; consumed < m_current->compressedSize;) {
        const size_t piece =
            static_cast<size_t>(std::min<uint64_t>(kPieceSize, m_current->compressedSize - consumed));
        if (!m_archive.Read(m_dataOffset + consumed, m_input.data(), piece)) return false;
        consumed += piece;
        if (m_method == kStored) {
            if (!pass(m_input.data(), piece)) return false;
            continue;
        }
        // Data after the end of the deflated stream is no part of the file.
        if (ended) return false;
        m_output.resize(kPieceSize);
        stream.next_in = m_input.data();
        stream.avail_in = static_cast<uInt>(piece);
        do {
            stream.next_out = m_output.data();
            stream.avail_out = static_cast<uInt>(m_output.size());
            const int status = inflate(&stream, Z_NO_FLUSH);
            if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) return false;
            const size_t out = m_output.size() - stream.avail_out;
            if (out != 0 && !pass(m_output.data(), out)) return false;
            if (status == Z_STREAM_END) {
                ended = true;
                break;
            }
            if (status == Z_BUF_ERROR && out == 0) break;
        } while (stream.avail_in != 0 || stream.avail_out == 0);
        if (ended && stream.avail_in != 0) return false;
    }
    return ended && produced == declared && crc == m_crc;
}

bool CLocalEntryReader::MatchesCentralDirectory() {
    const std::optional<uint64_t> size = m_archive.FinalSize();
    if (!m_atDirectory || !size || *size < m_offset || *size - m_offset > kLongestTail) return false;
    std::vector<unsigned char> tail(static_cast<size_t>(*size - m_offset));
    if (!m_archive.Read(m_offset, tail.data(), tail.size())) return false;
    const std::optional<CentralDirectoryLocation> location = FindCentralDirectory(tail, *size);
    if (!location || location->offset != m_offset) return false;
    tail.resize(static_cast<size_t>(location->size));
    const std::optional<std::vector<ZipEntrySpan>> listed = ParseCentralDirectory(tail, *location);
    if (!listed || listed->size() != m_read.size()) return false;
    for (size_t i = 0; i < m_read.size(); ++i) {
        const ZipEntrySpan& one = (*listed)[i];
        const ZipEntrySpan& other = m_read[i];
        if (one.name != other.name || one.offset != other.offset ||
            one.compressedSize != other.compressedSize || one.uncompressedSize != other.uncompressedSize ||
            one.crc != other.crc || one.flags != other.flags)
            return false;
    }
    return true;
}

}  // namespace tessara
