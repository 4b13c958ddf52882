#pragma once
// The rules that every way of unpacking a payload holds to, whether it reads the finished archive, the
// archive as it arrives, or the entries an update fetched: the signed manifest comes under its fixed
// name and within a fixed size, and once it is verified only the files it signs are written, each with
// the size it signs, at a path that fits where it is extracted and where it is installed, and only when
// the volume has room for all of them.
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "verify/DigestManifest.h"

namespace tessara {

constexpr char kManifestEntryName[] = "digest.s";
// A real manifest is a few hundred bytes per file; anything near this is no manifest of ours.
constexpr uint64_t kMaxManifestSize = 16 * 1024 * 1024;

class CPayloadRules {
public:
    // From a verified manifest whose names are safe; the folders bound the paths and the room.
    CPayloadRules(const DigestManifest& manifest, const std::wstring& extractionFolder,
                  const std::wstring& installFolder);

    // Whether the manifest signs the file an entry names (by its stored or manifest spelling).
    bool Signs(const std::string& name) const;
    // Whether an entry that declares this size may be written: a manifest with per-file lines signs
    // the size of each file. Logged when not.
    bool SizeIsSigned(const std::string& name, uint64_t declared) const;
    // The sizes of all signed files together; nothing when some file has no signed size (a manifest
    // written before the per-file lines existed).
    std::optional<uint64_t> SignedTotal() const { return m_signedTotal; }
    // Whether a file of the payload at this path below the payload's folder fits both where it is
    // extracted and where it is installed. Logged when not.
    bool PathFits(const std::string& name, const std::wstring& path) const;
    // Whether the extraction folder's volume has room for this many bytes more, with a margin for the
    // file system and everything else the user runs. Logged, and noted for the exit code, when not.
    bool RoomFor(uint64_t bytes) const;
    // RoomFor for files that come one after another, each asked for as it comes: the volume is asked
    // again only when this file and those since its last answer would not fit in what it answered.
    bool RoomForNext(uint64_t bytes);

private:
    std::optional<uint64_t> FreeSpace() const;
    // Logged, and noted for the exit code, when the bytes and the margin do not fit.
    static bool Fits(uint64_t bytes, uint64_t available);

    std::wstring m_extractionFolder;
    std::wstring m_installFolder;
    std::set<std::string> m_signed;
    std::map<std::string, uint64_t> m_signedSizes;
    std::optional<uint64_t> m_signedTotal;
    // The volume's last answer to RoomForNext, and the bytes asked for since.
    std::optional<uint64_t> m_knownRoom;
    uint64_t m_askedSince = 0;
};

// a + b, or the largest value where that would overflow.
uint64_t AddSaturating(uint64_t a, uint64_t b);

}  // namespace tessara
