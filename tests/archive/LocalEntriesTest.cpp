#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "archive/LocalEntries.h"

namespace tessara {
namespace {

namespace fs = std::filesystem;

// A fixture's bytes as an archive that has arrived, whole or broken off where the file ends.
class CArrivedFixture : public IArrivingArchive {
public:
    CArrivedFixture(const char* name, bool whole) : m_whole(whole) {
        std::ifstream in(fs::path(TESSARA_TEST_DATA_DIR) / name, std::ios::binary);
        m_bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    bool Read(uint64_t offset, unsigned char* into, size_t size) override {
        if (offset > m_bytes.size() || size > m_bytes.size() - offset) return false;
        std::copy_n(m_bytes.begin() + static_cast<std::ptrdiff_t>(offset), size, into);
        return true;
    }
    std::optional<uint64_t> FinalSize() override {
        return m_whole ? std::optional<uint64_t>(m_bytes.size()) : std::nullopt;
    }

private:
    std::vector<char> m_bytes;
    const bool m_whole;
};

struct ReaderCase {
    const char* fixture;
    bool whole;
    size_t intact;
    std::vector<std::string> broken;
    bool atDirectory;
    bool matchesDirectory;
};

// Every entry read in turn, its data checked; then whether the directory at the end lists what was read.
TEST(LocalEntryReader, ReadsEntriesInOrderAndTakesTheirWorkOnlyWhenTheDirectoryAgrees) {
    const ReaderCase cases[] = {
        // Folders, empty files, stored, deflated, names that differ only in case.
        {"layout.zip", true, 8, {}, true, true},
        // A wrong CRC; then a stored entry whose two sizes differ, which cannot be followed.
        {"lying.zip", true, 1, {"badcrc.txt"}, false, false},
        {"damaged.zip", true, 1, {"damaged.txt"}, true, true},
        // The directory's end comes in its Zip64 form.
        {"zip64.zip", true, 65540, {}, true, true},
        {"descriptor.zip", true, 1, {}, false, false},
        {"unlisted.zip", true, 2, {}, true, false},
        {"cut.zip", false, 1, {"b.txt"}, false, false},
        {"notzip.zip", true, 0, {}, false, false},
    };
    for (const ReaderCase& c : cases) {
        SCOPED_TRACE(c.fixture);
        CArrivedFixture archive(c.fixture, c.whole);
        CLocalEntryReader reader(archive);
        size_t intact = 0;
        std::vector<std::string> broken;
        while (const std::optional<LocalEntry> entry = reader.Next()) {
            std::string data;
            const bool copied = reader.CopyData([&data](const unsigned char* piece, size_t size) {
                data.append(reinterpret_cast<const char*>(piece), size);
                return true;
            });
            if (copied && data.size() == entry->uncompressedSize)
                ++intact;
            else
                broken.push_back(entry->name);
        }
        EXPECT_EQ(c.intact, intact);
        EXPECT_EQ(c.broken, broken);
        EXPECT_EQ(c.atDirectory, reader.AtDirectory());
        EXPECT_EQ(c.matchesDirectory, reader.MatchesCentralDirectory());
    }
}

}  // namespace
}  // namespace tessara
