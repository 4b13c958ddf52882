#pragma once
// The file operations of the program, straight on the system's wide calls. Every path may be longer
// than MAX_PATH (absolute paths get the "\\?\" form inside), no call raises, and links and junctions
// are never followed into: removing one removes the link, not what it points to.
#include <windows.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/ScopedWin.h"

namespace tessara {

struct FolderEntry {
    std::wstring name;  // the name inside the folder, without the folder
    bool isDirectory = false;
    bool isLink = false;  // a symbolic link or junction (never descended into)
    uint64_t size = 0;    // files only
};

// The form of an absolute path that the system takes at any length, "." and ".." resolved; others
// unchanged.
std::wstring ExtendedLengthPath(const std::wstring& path);

// Attributes, size and times of a file or folder; nothing when the path cannot be asked about.
std::optional<WIN32_FILE_ATTRIBUTE_DATA> FileAttributesOf(const std::wstring& path);
bool PathExists(const std::wstring& path);
bool IsDirectory(const std::wstring& path);
bool IsRegularFile(const std::wstring& path);
std::optional<uint64_t> FileSizeOf(const std::wstring& path);

// Creates the folder with every missing parent; true when it is a folder afterwards.
bool CreateFolders(const std::wstring& path);
// Makes the folders a file at relativePath ('/' separators) under root needs, unless they are those
// the previous call made (lastMade, kept by the caller): a payload lists the files of a folder
// together, so its folders are made once, not asked for per file.
bool CreateFoldersOnce(const std::wstring& root, const std::wstring& relativePath, std::wstring& lastMade);
// Deletes one file (read-only or not); true when no file is left at the path.
bool RemoveFile(const std::wstring& path);
// Deletes a file, or a folder with everything in it; true when nothing is left at the path. A missing
// path and an empty path are no error.
bool RemoveTree(const std::wstring& path);
// The whole content of a file of at most maxSize bytes; nothing when it is missing, larger, or could
// not be read completely.
std::optional<std::vector<unsigned char>> ReadFileBytes(const std::wstring& path, uint64_t maxSize);
// A file of the program's own bookkeeping as found: not there, read whole, one the program could not have
// written (a folder, or larger than maxSize), or one that could not be read for a passing reason (held
// by another program, a read error), even when tried again for a while.
struct PatientReading {
    enum class State { Missing, Read, NotAFile, Unreadable } state = State::Missing;
    std::vector<unsigned char> bytes;
    DWORD error = 0;  // the system's reason, when unreadable
};
PatientReading ReadFilePatiently(const std::wstring& path, uint64_t maxSize);
// A new file to write, by its extended-length path; with replace, an existing one is truncated, else
// it is an error. Empty when the file could not be created.
unique_file_handle CreateFileForWriting(const std::wstring& path, bool replace = true);
// Writes all of the bytes at the file's position; false when the system took fewer.
bool WriteToFile(HANDLE file, const void* data, size_t size);
// Reads up to `size` bytes at `offset`, leaving the file's position after them; the bytes read, 0 on
// failure. For a handle that one thread reads at a time.
DWORD ReadFileAt(HANDLE file, uint64_t offset, void* into, DWORD size);
// Replaces the file with exactly these bytes, flushed to the disk; false when not all of them were.
bool WriteFileBytes(const std::wstring& path, const void* data, size_t size, bool replace = true);
// The entries directly inside a folder, without "." and ".."; false when it cannot be listed.
bool ListFolder(const std::wstring& folder, std::vector<FolderEntry>& entries);
// Every entry under a folder, each folder before what it holds, named by its path relative to the
// folder ("sub\\file"). Links are listed but not descended into. False when some folder could not be
// listed completely; what could be listed is still there.
bool ListTree(const std::wstring& folder, std::vector<FolderEntry>& entries);

// Called for each entry of a walk with its full path and its depth (0 directly inside the walked
// folder); returning false stops the walk.
using FolderVisitor = std::function<bool(const std::wstring& path, const FolderEntry& entry, int depth)>;
// Visits every entry below a folder, each folder before its content. Folders at a depth below
// maxDepth are entered; links are visited but never entered. A folder that cannot be listed is
// skipped. True when the walk was neither stopped nor skipped anything.
bool WalkFolder(const std::wstring& folder, const FolderVisitor& visit, int maxDepth = INT_MAX);

// The last component of a path, trailing separators ignored ("C:\a\b\" gives "b").
std::wstring LastComponentOf(const std::wstring& path);

// A rename on the same volume; false across volumes or when something inside is held open.
bool MoveFolder(const std::wstring& source, const std::wstring& target);
// Copies every file and folder below source into target, creating target when missing; an existing
// target file is an error. Links are never followed. The copies are flushed in the background
// (app/DiskFlush.h), as are those of MirrorFolder.
bool CopyTree(const std::wstring& source, const std::wstring& target);
// Makes target hold exactly what source holds. Files that already match are left alone, so a file that
// another process keeps open, and that therefore was never replaced, does not fail it.
bool MirrorFolder(const std::wstring& source, const std::wstring& target);
// The name under which MoveOrCopyFolder builds a copy of target before it renames it into place.
std::wstring StagingCopyOf(const std::wstring& target);
// Moves source to target, which must not exist yet, copying under a staging name where a rename cannot
// be done, so that the target appears only whole, and only once the copies are on the disk.
// noteWhole, when given, is called once the target is whole and before the source goes; its false
// fails the move. True when the target is whole; the source may still be there after a copy.
bool MoveOrCopyFolder(const std::wstring& source, const std::wstring& target,
                      const std::function<bool()>& noteWhole = {});
// A file below the folder that another process holds open without letting it be deleted (the system
// answers ERROR_SHARING_VIOLATION); empty when there is none. Windows then refuses to rename the
// folder; checking first gives the same outcome where the system would rename it anyway and leave the
// other process working on a file that moved away.
std::wstring FindFileInUse(const std::wstring& folder);

}  // namespace tessara
