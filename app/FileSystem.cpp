#include "app/FileSystem.h"

#include <algorithm>

#include "app/Config.h"
#include "app/DiskFlush.h"
#include "app/FailureLog.h"
#include "app/Log.h"
#include "app/RunLimits.h"
#include "app/ScopedWin.h"
#include "app/Text.h"

namespace tessara {
namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsMissing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// The entries of a folder without their short names, which the system would otherwise make up for every
// long name (under Wine, for every entry each time a folder is listed).
unique_find_handle FindFolderEntries(const std::wstring& folder, WIN32_FIND_DATAW& found) {
    return unique_find_handle(::FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found,
                                                 FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
}

// The attributes come from the folder's listing where there is one: asking again would double the
// file system's work per file, and a folder of thousands of files is removed after every reinstall.
bool RemoveExtended(const std::wstring& path, DWORD attributes = INVALID_FILE_ATTRIBUTES) {
    if (attributes == INVALID_FILE_ATTRIBUTES) attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return IsMissing(::GetLastError());
    const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        ::SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (!directory) return ::DeleteFileW(path.c_str()) || IsMissing(::GetLastError());
    bool removed = true;
    // A link or junction to a folder goes as it is; what it points to is not ours to delete.
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW found{};
        if (const unique_find_handle search = FindFolderEntries(path, found)) {
            do {
                const std::wstring name = found.cFileName;
                if (name != L"." && name != L"..")
                    removed = RemoveExtended(path + L"\\" + name, found.dwFileAttributes) && removed;
            } while (::FindNextFileW(search.get(), &found));
        }
    }
    return (::RemoveDirectoryW(path.c_str()) || IsMissing(::GetLastError())) && removed;
}

// False when the visitor stopped the walk; complete turns false when a folder could not be listed.
bool WalkBelow(const std::wstring& folder, int depth, int maxDepth, const FolderVisitor& visit,
               bool& complete) {
    std::vector<FolderEntry> entries;
    complete = ListFolder(folder, entries) && complete;
    for (const FolderEntry& entry : entries) {
        const std::wstring path = JoinPath(folder, entry.name);
        if (!visit(path, entry, depth)) return false;
        if (entry.isDirectory && !entry.isLink && depth < maxDepth &&
            !WalkBelow(path, depth + 1, maxDepth, visit, complete))
            return false;
    }
    return true;
}

bool CopyOneFile(const std::wstring& source, const std::wstring& target, bool overwrite) {
    if (::CopyFileW(ExtendedLengthPath(source).c_str(), ExtendedLengthPath(target).c_str(),
                    overwrite ? FALSE : TRUE)) {
        NoteFileWritten(target);
        FlushInBackground(target);
        return true;
    }
    LogFileOperationFailure("copy a file to", target, ::GetLastError());
    return false;
}

// A link or junction is never followed by a copy: what it points to is not part of the folder, may be
// anywhere (the whole profile, or the folder itself), and is not ours to duplicate.
bool SkipLink(const std::wstring& path, const FolderEntry& entry) {
    if (entry.isLink) LogFormat("Not copying the link %S", path);
    return entry.isLink;
}

// Reads up to `size` bytes, fewer only at the end of the file; -1 on a read error.
long ReadChunk(HANDLE file, char* buffer, DWORD size) {
    DWORD total = 0;
    while (total < size) {
        DWORD read = 0;
        if (!::ReadFile(file, buffer + total, size - total, &read, nullptr)) return -1;
        if (read == 0) break;
        total += read;
    }
    return static_cast<long>(total);
}

bool SameFileContent(const std::wstring& first, const std::wstring& second) {
    const std::optional<uint64_t> firstSize = FileSizeOf(first);
    if (!IsRegularFile(second) || !firstSize || firstSize != FileSizeOf(second)) return false;
    const auto open = [](const std::wstring& path) {
        return unique_file_handle(::CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ,
                                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    };
    const unique_file_handle a = open(first), b = open(second);
    if (!a || !b) return false;
    constexpr DWORD kChunk = 1 << 16;
    std::vector<char> bufferA(kChunk), bufferB(kChunk);
    for (;;) {
        const long readA = ReadChunk(a.get(), bufferA.data(), kChunk);
        const long readB = ReadChunk(b.get(), bufferB.data(), kChunk);
        if (readA < 0 || readA != readB ||
            !std::equal(bufferA.begin(), bufferA.begin() + readA, bufferB.begin()))
            return false;
        if (readA < static_cast<long>(kChunk)) return true;
    }
}

}  // namespace

std::wstring ExtendedLengthPath(const std::wstring& path) {
    if (path.size() < 3 || path.compare(0, 4, L"\\\\?\\") == 0) return path;
    std::wstring normalized = path;
    for (wchar_t& c : normalized)
        if (c == L'/') c = L'\\';
    // The system resolves "." and ".." components and doubled separators in a plain path but takes them
    // literally in the extended-length form; they are resolved here, after the root, so that both forms
    // name the same file.
    const auto resolved = [&normalized](size_t root) {
        return normalized.substr(0, root) + ResolveDotComponents(std::wstring_view(normalized).substr(root));
    };
    if (normalized[1] == L':' && normalized[2] == L'\\') return L"\\\\?\\" + resolved(3);
    if (normalized.compare(0, 2, L"\\\\") == 0) {
        const size_t server = normalized.find(L'\\', 2);
        const size_t share = server == std::wstring::npos ? server : normalized.find(L'\\', server + 1);
        return L"\\\\?\\UNC\\" +
               resolved(share == std::wstring::npos ? normalized.size() : share + 1).substr(2);
    }
    return path;
}

std::optional<WIN32_FILE_ATTRIBUTE_DATA> FileAttributesOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (path.empty() ||
        !::GetFileAttributesExW(ExtendedLengthPath(path).c_str(), GetFileExInfoStandard, &data))
        return std::nullopt;
    return data;
}

bool PathExists(const std::wstring& path) { return FileAttributesOf(path).has_value(); }

bool IsDirectory(const std::wstring& path) {
    const auto data = FileAttributesOf(path);
    return data && (data->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsRegularFile(const std::wstring& path) {
    const auto data = FileAttributesOf(path);
    return data && !(data->dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE));
}

std::optional<uint64_t> FileSizeOf(const std::wstring& path) {
    const auto data = FileAttributesOf(path);
    if (!data || (data->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return std::nullopt;
    return (static_cast<uint64_t>(data->nFileSizeHigh) << 32) | data->nFileSizeLow;
}

bool CreateFolders(const std::wstring& path) {
    if (path.empty()) return false;
    if (IsDirectory(path)) return true;
    const std::wstring parent = ParentFolderOf(path);
    // A drive root or a share has no parent to make; creating it below then fails or finds it there.
    if (!parent.empty() && parent != path && !(parent.size() == 2 && parent[1] == L':'))
        CreateFolders(parent);
    return ::CreateDirectoryW(ExtendedLengthPath(path).c_str(), nullptr) || IsDirectory(path);
}

bool CreateFoldersOnce(const std::wstring& root, const std::wstring& relativePath, std::wstring& lastMade) {
    const size_t slash = relativePath.rfind(L'/');
    if (slash == std::wstring::npos || relativePath.compare(0, slash, lastMade) == 0) return true;
    lastMade.clear();
    if (!CreateFolders(JoinPath(root, relativePath.substr(0, slash)))) return false;
    lastMade = relativePath.substr(0, slash);
    return true;
}

bool RemoveFile(const std::wstring& path) {
    const std::wstring extended = ExtendedLengthPath(path);
    const DWORD attributes = ::GetFileAttributesW(extended.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return IsMissing(::GetLastError());
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return false;
    PassDurableStep("delete");
    if (attributes & FILE_ATTRIBUTE_READONLY)
        ::SetFileAttributesW(extended.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    return ::DeleteFileW(extended.c_str()) || IsMissing(::GetLastError());
}

// A NUL inside a path would cut it short at the system's calls, so that a folder's entries would name
// the folder itself again: such a path names nothing.
bool HasNul(const std::wstring& path) { return path.find(L'\0') != std::wstring::npos; }

bool RemoveTree(const std::wstring& path) {
    if (path.empty()) return true;
    if (HasNul(path)) return false;
    const std::wstring extended = ExtendedLengthPath(path);
    if (::GetFileAttributesW(extended.c_str()) != INVALID_FILE_ATTRIBUTES) PassDurableStep("remove");
    return RemoveExtended(extended);
}

std::optional<std::vector<unsigned char>> ReadFileBytes(const std::wstring& path, uint64_t maxSize) {
    const unique_file_handle file(::CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ,
                                                FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size{};
    if (!file || !::GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
        static_cast<uint64_t>(size.QuadPart) > std::min<uint64_t>(maxSize, MAXLONG))
        return std::nullopt;
    std::vector<unsigned char> bytes(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!bytes.empty() &&
        (!::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
         read != bytes.size()))
        return std::nullopt;
    return bytes;
}

PatientReading ReadFilePatiently(const std::wstring& path, uint64_t maxSize) {
    // Another program (a scanner, a backup tool) usually lets go of a file within a second.
    constexpr int attempts = 20;
    constexpr DWORD pauseMilliseconds = 100;
    using State = PatientReading::State;
    for (int attempt = 1;; ++attempt) {
        const DWORD attributes = ::GetFileAttributesW(ExtendedLengthPath(path).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return {State::NotAFile, {}, 0};
        // Shared for writing too: the run that writes it may still be appending while it is looked at.
        const unique_file_handle file(::CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                    nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                                                    nullptr));
        DWORD error = ::GetLastError();
        if (!file && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND))
            return {State::Missing, {}, 0};
        LARGE_INTEGER size{};
        if (file && ::GetFileSizeEx(file.get(), &size)) {
            if (static_cast<uint64_t>(size.QuadPart) > std::min<uint64_t>(maxSize, MAXLONG))
                return {State::NotAFile, {}, 0};
            std::vector<unsigned char> bytes(static_cast<size_t>(size.QuadPart));
            DWORD read = 0;
            if (bytes.empty() ||
                (::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
                 read == bytes.size()))
                return {State::Read, std::move(bytes), 0};
        }
        if (file) error = ::GetLastError();
        if (attempt == attempts) return {State::Unreadable, {}, error};
        ::Sleep(pauseMilliseconds);
    }
}

unique_file_handle CreateFileForWriting(const std::wstring& path, bool replace) {
    unique_file_handle file(::CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                          replace ? CREATE_ALWAYS : CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                          nullptr));
    if (file) NoteFileWritten(path);
    return file;
}

// Positioned first and then read: a read given its offset in an OVERLAPPED posts its completion, and
// under Wine that is a round trip to the server for every piece of a payload read as it arrives.
DWORD ReadFileAt(HANDLE file, uint64_t offset, void* into, DWORD size) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    DWORD read = 0;
    return ::SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && ::ReadFile(file, into, size, &read, nullptr)
               ? read
               : 0;
}

bool WriteToFile(HANDLE file, const void* data, size_t size) {
    DWORD written = 0;
    return ::WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) && written == size;
}

bool WriteFileBytes(const std::wstring& path, const void* data, size_t size, bool replace) {
    PassDurableStep("write");
    const unique_file_handle file = CreateFileForWriting(path, replace);
    return file && WriteToFile(file.get(), data, size) && FlushNow(file.get(), path);
}

bool ListFolder(const std::wstring& folder, std::vector<FolderEntry>& entries) {
    entries.clear();
    if (folder.empty() || HasNul(folder)) return false;
    WIN32_FIND_DATAW found{};
    const unique_find_handle search = FindFolderEntries(ExtendedLengthPath(folder), found);
    if (!search) return false;
    do {
        FolderEntry entry;
        entry.name = found.cFileName;
        if (entry.name == L"." || entry.name == L"..") continue;
        entry.isDirectory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entry.isLink = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (!entry.isDirectory)
            entry.size = (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        entries.push_back(std::move(entry));
    } while (::FindNextFileW(search.get(), &found));
    return ::GetLastError() == ERROR_NO_MORE_FILES;
}

bool WalkFolder(const std::wstring& folder, const FolderVisitor& visit, int maxDepth) {
    bool complete = true;
    return WalkBelow(folder, 0, maxDepth, visit, complete) && complete;
}

bool ListTree(const std::wstring& folder, std::vector<FolderEntry>& entries) {
    entries.clear();
    const size_t rootLength = JoinPath(folder, std::wstring()).size();
    return WalkFolder(folder, [&](const std::wstring& path, const FolderEntry& entry, int) {
        FolderEntry listed = entry;
        listed.name = path.substr(rootLength);
        entries.push_back(std::move(listed));
        return true;
    });
}

std::wstring LastComponentOf(const std::wstring& path) {
    size_t end = path.size();
    while (end > 0 && IsSeparator(path[end - 1])) --end;
    size_t start = end;
    while (start > 0 && !IsSeparator(path[start - 1])) --start;
    const std::wstring last = path.substr(start, end - start);
    return last.size() == 2 && last[1] == L':' ? std::wstring() : last;
}

// Written through: a folder's move is a step of a run that what follows relies on, as on a journal line.
bool MoveFolder(const std::wstring& source, const std::wstring& target) {
    PassDurableStep("move");
    if (!::MoveFileExW(ExtendedLengthPath(source).c_str(), ExtendedLengthPath(target).c_str(),
                       MOVEFILE_WRITE_THROUGH))
        return false;
    NoteFolderMoved(source, target);
    return true;
}

bool CopyTree(const std::wstring& source, const std::wstring& target) {
    std::vector<FolderEntry> entries;
    if (!IsDirectory(source) || !CreateFolders(target) || !ListFolder(source, entries)) return false;
    for (const FolderEntry& entry : entries) {
        const std::wstring from = JoinPath(source, entry.name), to = JoinPath(target, entry.name);
        if (SkipLink(from, entry)) continue;
        if (!(entry.isDirectory ? CopyTree(from, to) : CopyOneFile(from, to, false))) return false;
    }
    return true;
}

bool MirrorFolder(const std::wstring& source, const std::wstring& target) {
    std::vector<FolderEntry> existing, wanted;
    if (!CreateFolders(target) || !ListFolder(target, existing)) return false;

    bool complete = true;
    for (const FolderEntry& entry : existing) {
        const std::wstring counterpart = JoinPath(source, entry.name);
        // A link is never written through: it goes, and what it points to stays as it is.
        if (!entry.isLink && PathExists(counterpart) && IsDirectory(counterpart) == entry.isDirectory)
            continue;
        complete = RemoveTree(JoinPath(target, entry.name)) && complete;
    }

    const bool listed = ListFolder(source, wanted);
    for (const FolderEntry& entry : wanted) {
        const std::wstring from = JoinPath(source, entry.name), to = JoinPath(target, entry.name);
        if (SkipLink(from, entry)) continue;
        if (entry.isDirectory) {
            complete = MirrorFolder(from, to) && complete;
        } else if (!SameFileContent(from, to)) {
            complete = CopyOneFile(from, to, true) && complete;
        }
    }
    return complete && listed;
}

// The copy, the rename into place and, once the target is whole, the note that says so; the source
// is removed only after that (its removal is not examined, as a file held open may stay behind).
bool MoveOrCopyFolder(const std::wstring& source, const std::wstring& target,
                      const std::function<bool()>& noteWhole) {
    const auto whole = [&noteWhole] { return !noteWhole || noteWhole(); };
    if (MoveFolder(source, target)) return whole();
    const std::wstring staging = StagingCopyOf(target);
    RemoveTree(staging);
    // The copies are on the disk before they appear under the target's name.
    if (!CopyTree(source, staging) || !WaitUntilOnDisk() || !MoveFolder(staging, target)) {
        RemoveTree(staging);
        return false;
    }
    if (!whole()) return false;
    RemoveTree(source);
    return true;
}

std::wstring StagingCopyOf(const std::wstring& target) { return target + L".partial"; }

std::wstring FindFileInUse(const std::wstring& folder) {
    std::wstring found;
    WalkFolder(folder, [&found](const std::wstring& path, const FolderEntry& entry, int) {
        if (entry.isDirectory) return true;
        const unique_file_handle file(::CreateFileW(ExtendedLengthPath(path).c_str(), DELETE,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file || ::GetLastError() != ERROR_SHARING_VIOLATION) return true;
        found = path;
        return false;
    });
    return found;
}

}  // namespace tessara
