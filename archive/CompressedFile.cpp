#include "archive/CompressedFile.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>

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

// Names not marked as UTF-8 are in the ANSI code page of the machine that packed them, which can
// only be taken to be ours. A name that does not convert yields nothing.
std::optional<std::wstring> WidenEntryName(const std::string& name, uLong flags) {
    const UINT codePage = (flags & kUtf8NameFlag) ? CP_UTF8 : CP_ACP;
    const int size = static_cast<int>(name.size());
    const int length = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, name.data(), size, nullptr, 0);
    if (length <= 0) return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, name.data(), size, wide.data(), length);
    return wide;
}

// A payload may only place files inside the extraction folder. Refused: empty and rooted names,
// any colon (a drive such as "C:x", or an alternate data stream), and a component made only of dots
// and blanks: ".." climbs out, and Windows strips trailing dots and blanks from names, so ".. "
// and the like may resolve to it.
bool IsContainedName(const std::wstring& name) {
    if (name.empty() || name.front() == L'/' || name.front() == L'\\') return false;
    if (name.find(L':') != std::wstring::npos) return false;
    std::size_t start = 0;
    while (start <= name.size()) {
        const std::size_t end = std::min(name.find_first_of(L"/\\", start), name.size());
        const std::wstring_view component(name.data() + start, end - start);
        if (!component.empty() && component.find_first_not_of(L". ") == std::wstring_view::npos) return false;
        start = end + 1;
    }
    return true;
}

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
        const std::optional<std::wstring> name = WidenEntryName(key, entry.info.flag);
        if (!name || !IsContainedName(*name)) {
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
