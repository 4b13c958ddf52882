#include "engine/PayloadRules.h"

#include <windows.h>

#include <limits>

#include "app/ExitCodes.h"
#include "app/FileSystem.h"
#include "app/Log.h"
#include "app/Text.h"
#include "archive/CompressedFile.h"

namespace tessara {
namespace {

// Room left on the volume for the file system's own records and for everything else the user runs.
constexpr uint64_t kFreeSpaceMargin = 64 * 1024 * 1024;
// The longest path the system takes in its extended-length form, in characters with the terminator.
constexpr size_t kExtendedPathLimit = 32767;

}  // namespace

uint64_t AddSaturating(uint64_t a, uint64_t b) {
    return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max() : a + b;
}

CPayloadRules::CPayloadRules(const DigestManifest& manifest, const std::wstring& extractionFolder,
                             const std::wstring& installFolder)
    : m_extractionFolder(extractionFolder), m_installFolder(installFolder) {
    for (const FileDigestLine& line : manifest.fileDigests)
        m_signedSizes[NsCommon::LookupKeyOf(line.uri)] = line.expected.size;
    uint64_t total = 0;
    bool everySizeSigned = true;
    for (const std::string& reference : manifest.references) {
        const std::string key = NsCommon::LookupKeyOf(reference);
        // A file named twice is written once.
        if (!m_signed.insert(key).second) continue;
        const auto size = m_signedSizes.find(key);
        everySizeSigned = everySizeSigned && size != m_signedSizes.end();
        if (size != m_signedSizes.end()) total = AddSaturating(total, size->second);
    }
    if (everySizeSigned) m_signedTotal = total;
}

bool CPayloadRules::Signs(const std::string& name) const {
    return m_signed.count(NsCommon::LookupKeyOf(name)) != 0;
}

bool CPayloadRules::SizeIsSigned(const std::string& name, uint64_t declared) const {
    const auto size = m_signedSizes.find(NsCommon::LookupKeyOf(name));
    if (size == m_signedSizes.end() || size->second == declared) return true;
    LogFormat("Per-file size check failed for %s: %s bytes signed, %s bytes found", name,
              std::to_string(size->second), std::to_string(declared));
    return false;
}

// Both places are written through the extended-length form, so under the longer of the two folders
// only the system's own limit binds; the install path stays below MAX_PATH, as the application and the
// shell open their files without it.
bool CPayloadRules::PathFits(const std::string& name, const std::wstring& path) const {
    const std::wstring& longer =
        m_extractionFolder.size() > m_installFolder.size() ? m_extractionFolder : m_installFolder;
    if (JoinPath(m_installFolder, path).size() >= MAX_PATH) {
        LogFormat("The install path of %s would be 260 characters or more", name);
        return false;
    }
    if (ExtendedLengthPath(JoinPath(longer, path)).size() >= kExtendedPathLimit) {
        LogFormat("The path of %s would be too long for the system", name);
        return false;
    }
    return true;
}

std::optional<uint64_t> CPayloadRules::FreeSpace() const {
    ULARGE_INTEGER available{};
    if (::GetDiskFreeSpaceExW(m_extractionFolder.c_str(), &available, nullptr, nullptr))
        return available.QuadPart;
    LogFormat("Could not read the free space of %S", m_extractionFolder);
    return std::nullopt;
}

bool CPayloadRules::Fits(uint64_t bytes, uint64_t available) {
    const uint64_t needed = AddSaturating(bytes, kFreeSpaceMargin);
    if (needed <= available) return true;
    LogFormat("Not enough free space to extract the payload: %s bytes needed, %s available",
              std::to_string(needed), std::to_string(available));
    NoteNotEnoughDiskSpace();
    return false;
}

bool CPayloadRules::RoomFor(uint64_t bytes) const {
    const std::optional<uint64_t> available = FreeSpace();
    return available && Fits(bytes, *available);
}

bool CPayloadRules::RoomForNext(uint64_t bytes) {
    // What was written since the last answer has taken its room; this file needs its own besides.
    const uint64_t asked = AddSaturating(m_askedSince, bytes);
    if (m_knownRoom && AddSaturating(asked, kFreeSpaceMargin) <= *m_knownRoom) {
        m_askedSince = asked;
        return true;
    }
    m_knownRoom = FreeSpace();
    m_askedSince = bytes;
    return m_knownRoom && Fits(bytes, *m_knownRoom);
}

}  // namespace tessara
