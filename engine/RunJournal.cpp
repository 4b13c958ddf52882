#include "engine/RunJournal.h"

#include <windows.h>
#include <shlobj.h>

#include <utility>
#include <vector>

#include "app/FileSystem.h"
#include "app/Log.h"
#include "app/ScopedWin.h"
#include "app/Text.h"
#include "engine/Download.h"
#include "engine/PayloadPipeline.h"
#include "system/RegistryTransaction.h"

namespace tessara {
namespace {

constexpr const wchar_t* JournalFolderSuffix = L"\\Orvix\\TessaraSetup";
constexpr const wchar_t* JournalFileName = L"run.journal";
constexpr const wchar_t* RegistryUndoFileName = L"registry.undo";

constexpr const wchar_t* TemporaryNote = L"temporary";
constexpr const wchar_t* UrlNote = L"url";
constexpr const wchar_t* BackupRootNote = L"backup-root";
constexpr const wchar_t* PresentFolderNote = L"present";
constexpr const wchar_t* AbsentFolderNote = L"absent";
constexpr const wchar_t* CommittedNote = L"committed";

// %LOCALAPPDATA%\Orvix\TessaraSetup: the profile's own machine-local folder, which no roaming
// copies around and no clean-up of the temporary folder touches.
std::wstring JournalFolder() {
    wchar_t folder[MAX_PATH] = {};
    if (!::SHGetSpecialFolderPathW(nullptr, folder, CSIDL_LOCAL_APPDATA, FALSE)) return {};
    return std::wstring(folder) + JournalFolderSuffix;
}

std::wstring JournalFile() {
    const std::wstring folder = JournalFolder();
    return folder.empty() ? std::wstring() : JoinPath(folder, JournalFileName);
}

using Entry = std::pair<std::wstring, std::wstring>;

// The notes of the journal in order. A note cut short by a kill has no line end and is left out:
// it was never acted upon.
bool ReadJournal(std::vector<Entry>& entries) {
    const std::wstring path = JournalFile();
    unique_file_handle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0)
        text.append(buffer, read);
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::optional<std::wstring> line = WidenText(text.substr(start, end - start), CP_UTF8);
        if (!line) continue;
        const size_t tab = line->find(L'\t');
        entries.emplace_back(line->substr(0, tab),
                             tab == std::wstring::npos ? std::wstring() : line->substr(tab + 1));
    }
    return true;
}

bool WriteJournal(const std::wstring& kind, const std::wstring& value, DWORD disposition) {
    const std::optional<std::string> bytes = NarrowText(kind + L"\t" + value + L"\n", CP_UTF8);
    if (!bytes) return false;
    const std::wstring path = JournalFile();
    unique_file_handle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                          disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file &&
           ::WriteFile(file.get(), bytes->data(), static_cast<DWORD>(bytes->size()), &written, nullptr) &&
           written == bytes->size() && ::FlushFileBuffers(file.get());
}

bool IsJournalPresent() {
    const std::wstring path = JournalFile();
    return !path.empty() && ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Puts back what the run replaced: the backups first, then removes what stands where nothing stood.
bool UndoReplacement(const std::vector<Entry>& entries, const std::wstring& backupRoot) {
    bool restored = true;
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        const bool present = entry->first == PresentFolderNote;
        if (!present && entry->first != AbsentFolderNote) continue;
        RemoveTree(StagingCopyOf(entry->second));
        // Only a complete backup carries the folder's own name in the backup root.
        if (!backupRoot.empty() && IsDirectory(BackupCopyOf(backupRoot, entry->second))) {
            restored = RestoreBackup(backupRoot, entry->second) && restored;
        } else if (!present) {
            restored = RemoveTree(entry->second) && restored;
        }
    }
    return restored;
}

}  // namespace

bool CRunJournal::Begin() {
    if (IsJournalPresent() && !CompleteRun()) return false;
    const std::wstring folder = JournalFolder();
    if (!CreateFolders(folder)) return false;
    ::DeleteFileW(RegistryUndoRecord().c_str());
    return WriteJournal(L"run", L"", CREATE_ALWAYS);
}

bool CRunJournal::NoteTemporary(const std::wstring& path) { return Note(TemporaryNote, path); }

bool CRunJournal::NoteDownloadUrl(const std::wstring& url) { return Note(UrlNote, url); }

bool CRunJournal::NoteBackupRoot(const std::wstring& path) { return Note(BackupRootNote, path); }

bool CRunJournal::NoteReplacedFolder(const std::wstring& folder, bool present) {
    return Note(present ? PresentFolderNote : AbsentFolderNote, folder);
}

bool CRunJournal::NoteCommitted() { return Note(CommittedNote, L""); }

std::wstring CRunJournal::RegistryUndoRecord() const {
    const std::wstring folder = JournalFolder();
    return folder.empty() ? std::wstring() : JoinPath(folder, RegistryUndoFileName);
}

bool CRunJournal::Note(const wchar_t* kind, const std::wstring& value) {
    return !value.empty() || kind == CommittedNote ? WriteJournal(kind, value, OPEN_EXISTING) : false;
}

bool CompleteRun() {
    std::vector<Entry> entries;
    if (!ReadJournal(entries)) return true;
    bool committed = false;
    std::wstring backupRoot;
    for (const Entry& entry : entries) {
        committed = committed || entry.first == CommittedNote;
        if (entry.first == BackupRootNote) backupRoot = entry.second;
    }
    const std::wstring undoRecord = CRunJournal().RegistryUndoRecord();
    if (committed) {
        ::DeleteFileW(undoRecord.c_str());
    } else if (!RevertRegistryUndoRecord(undoRecord) || !UndoReplacement(entries, backupRoot)) {
        LogFormat("The previous installation could not be restored completely; it is kept in %S", backupRoot);
        return false;
    }
    for (const Entry& entry : entries) {
        if (entry.first == TemporaryNote || entry.first == BackupRootNote) RemoveTree(entry.second);
        if (entry.first == UrlNote) RemoveUrlCacheEntry(entry.second);
    }
    ::DeleteFileW(JournalFile().c_str());
    return true;
}

void RecoverInterruptedRun() {
    if (!IsJournalPresent()) return;
    LogWrite("Completing an interrupted installation run");
    CompleteRun();
}

}  // namespace tessara
