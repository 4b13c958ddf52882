#include "archive/CompressedFile.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "app/Text.h"
#include "archive/WideFileFunctions.h"

namespace NsCommon {
namespace details {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kNameBufferSize = 260;
constexpr unsigned kCopyBufferSize = 1024;
// General-purpose flag bit 11: the entry's name is UTF-8.
constexpr uLong kUtf8NameFlag = 0x800;

// Closes the entry opened in the archive. Its result, a CRC mismatch included, is of no use here:
// the digest check of the extracted files catches damaged content.
using unique_open_entry = tessara::UniqueResource<tessara::SimpleTraits<unzFile, ::unzCloseCurrentFile>>;

char FoldCase(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

void CopyOpenEntry(unzFile archive, std::ofstream& out) {
    char buffer[kCopyBufferSize];
    int read = 0;
    while ((read = unzReadCurrentFile(archive, buffer, kCopyBufferSize)) > 0) out.write(buffer, read);
}

}  // namespace

CCompressedFile::CCompressedFile(const std::wstring& archivePath) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    zlib_filefunc64_def functions = WideFileFunctions();
    m_archive.reset(unzOpen2_64(archivePath.c_str(), &functions));
    if (m_archive) BuildIndex();
}

CCompressedFile::~CCompressedFile() {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    m_archive.reset();
}

void CCompressedFile::BuildIndex() {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    unzFile archive = m_archive.get();
    unzGetGlobalInfo64(archive, &m_globalInfo);
    if (unzGoToFirstFile(archive) != UNZ_OK) return;
    do {
        EntryInfo entry{};
        // A longer stored name comes back cut to the buffer, without a terminator.
        char name[kNameBufferSize] = {};
        const int status =
            unzGetCurrentFileInfo64(archive, &entry.info, name, sizeof name, nullptr, 0, nullptr, 0);
        const bool read = status == UNZ_OK && unzGetFilePos64(archive, &entry.position) == UNZ_OK;
        // Folders and empty files have nothing to extract.
        if (read && entry.info.uncompressed_size != 0) {
            m_index[MakeKey(name, strnlen(name, sizeof name))] = entry;
        }
    } while (unzGoToNextFile(archive) == UNZ_OK);
}

// Index keys are only case-folded: a stored backslash stays, so such a name never matches a lookup.
std::string CCompressedFile::MakeKey(const char* storedName, std::size_t length) const {
    std::string key(storedName, length);
    if (m_caseFolding) {
        for (char& c : key) c = FoldCase(c);
    }
    return key;
}

std::string CCompressedFile::NormalizeName(const char* name, int length) const {
    if (name == nullptr || length <= 0) return std::string();
    std::string key = MakeKey(name, static_cast<std::size_t>(length));
    for (char& c : key) {
        if (c == '\\') c = '/';
    }
    return key;
}

const CCompressedFile::EntryInfo* CCompressedFile::Find(const char* name, int length) const {
    const auto found = m_index.find(NormalizeName(name, length));
    return found == m_index.end() ? nullptr : &found->second;
}

int CCompressedFile::GetEntryCount() const { return static_cast<int>(m_index.size()); }

std::vector<std::string> CCompressedFile::GetEntryNames() const {
    std::vector<std::string> names;
    names.reserve(m_index.size());
    for (const auto& item : m_index) names.push_back(item.first);
    return names;
}

bool CCompressedFile::HasEntry(const char* name, int length) const { return Find(name, length) != nullptr; }

std::optional<uint64_t> CCompressedFile::GetUncompressedSize(const char* name, int length) const {
    const EntryInfo* entry = Find(name, length);
    if (entry == nullptr) return std::nullopt;
    return entry->info.uncompressed_size;
}

std::optional<uint64_t> CCompressedFile::GetCompressedSize(const char* name, int length) const {
    const EntryInfo* entry = Find(name, length);
    if (entry == nullptr) return std::nullopt;
    return entry->info.compressed_size;
}

bool CCompressedFile::ExtractAll(std::wstring targetFolder) {
    bool result = true;
    const fs::path target(targetFolder);
    for (const auto& [key, entry] : m_index) {
        // Names not marked as UTF-8 are in the ANSI code page of the machine that packed them, which can
        // only be taken to be ours. A payload may only place files inside the extraction folder.
        const std::optional<std::wstring> name =
            tessara::WidenText(key, (entry.info.flag & kUtf8NameFlag) ? CP_UTF8 : CP_ACP);
        if (!name || !tessara::StaysInsideFolder(*name)) {
            result = false;
            continue;
        }
        const std::size_t slash = name->rfind(L'/');
        if (slash != std::wstring::npos) {
            const fs::path folder = target / name->substr(0, slash);
            if (!fs::is_directory(folder) && !fs::create_directories(folder)) {
                result = false;
                continue;
            }
        }
        // The name part of the destination is the case-folded key; the target folder is taken as given.
        result = ExtractEntry(key.data(), static_cast<int>(key.size()), (target / *name).wstring()) && result;
    }
    return result;
}

bool CCompressedFile::ExtractEntry(const char* name, int length, std::wstring destination) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    const EntryInfo* entry = Find(name, length);
    if (entry == nullptr) return false;
    unzFile archive = m_archive.get();
    if (unzGoToFilePos64(archive, &entry->position) != UNZ_OK || unzOpenCurrentFile(archive) != UNZ_OK) {
        return false;
    }
    const unique_open_entry openEntry(archive);
    std::ofstream out(fs::path(destination), std::ios::out | std::ios::trunc | std::ios::binary);
    if (!out.is_open()) return false;
    CopyOpenEntry(archive, out);
    return true;
}

}  // namespace details
}  // namespace NsCommon
