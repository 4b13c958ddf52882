#include "engine/RunJournal.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "app/Config.h"
#include "app/FailureLog.h"
#include "app/FileSystem.h"
#include "app/Log.h"
#include "app/RunLimits.h"
#include "app/ScopedWin.h"
#include "app/Text.h"
#include "engine/Download.h"
#include "app/InstallLocations.h"
#include "system/Registration.h"
#include "system/RegistryValues.h"
#include "system/Shortcuts.h"

namespace tessara {
namespace {

constexpr const wchar_t* JournalFolderSuffix = L"\\Orvix\\TessaraSetup";
constexpr const wchar_t* JournalFileName = L"run.journal";
constexpr const wchar_t* RegistryUndoFileName = L"registry.undo";
constexpr const wchar_t* SetAsideSuffix = L".rejected";
// Far more than any run of ours writes; a larger file is not ours.
constexpr uint64_t MaxJournalSize = 1 << 20;

// The first line names the run; the notes follow, one a line, as "kind<TAB>value".
constexpr const wchar_t* InstallRunNote = L"install";
constexpr const wchar_t* UninstallRunNote = L"uninstall";
constexpr const wchar_t* TemporaryNote = L"temporary";
constexpr const wchar_t* DownloadNote = L"download";
constexpr const wchar_t* PresentFolderNote = L"present";
constexpr const wchar_t* AbsentFolderNote = L"absent";
constexpr const wchar_t* BackedUpNote = L"backed-up";
constexpr const wchar_t* CommittedNote = L"committed";
constexpr const wchar_t* DiscardingNote = L"discarding";

// The commit point: written last inside the run's registry transaction, so that it is in the registry
// exactly when the transaction's changes are.
constexpr const wchar_t* CommitMarkKeyPath = L"Software\\Orvix\\TessaraSetup";
constexpr const wchar_t* CommitMarkValueName = L"CommittedRun";
constexpr const wchar_t* VendorKeyPath = L"Software\\Orvix";

// The unique-name service takes three letters of the prefix, then up to four hexadecimal digits.
constexpr const wchar_t* TempNamePrefix = L"Tess";
constexpr size_t TempNameLetters = 3;
constexpr const wchar_t* TempNameExtension = L".tmp";
constexpr const wchar_t* SafetyCopySuffix = L"_temp";
constexpr int TempNameAttempts = 64;

constexpr const wchar_t* BackupSuffix = L".backup";
constexpr const wchar_t* DiscardSuffix = L".discard";
constexpr const wchar_t* StagingSuffix = L".partial";

// %LOCALAPPDATA%\Orvix\TessaraSetup: the profile's own machine-local folder, which no roaming
// copies around and no clean-up of the temporary folder touches.
std::wstring JournalFolder() {
    wchar_t folder[MAX_PATH] = {};
    if (!::SHGetSpecialFolderPathW(nullptr, folder, CSIDL_LOCAL_APPDATA, FALSE)) return {};
    return std::wstring(folder) + JournalFolderSuffix;
}

std::wstring InJournalFolder(const wchar_t* name) {
    const std::wstring folder = JournalFolder();
    return folder.empty() ? std::wstring() : JoinPath(folder, name);
}

std::wstring JournalFile() { return InJournalFolder(JournalFileName); }
std::wstring UndoRecordFile() { return InJournalFolder(RegistryUndoFileName); }

// Beside the install folder, hidden: on the same volume as the installation and the legacy folder,
// both in the roaming profile.
std::wstring SiblingOfInstallFolder(const wchar_t* suffix) {
    const std::wstring installFolder = GetInstallFolder();
    return installFolder.empty() ? std::wstring() : installFolder + suffix;
}

std::wstring BackupRoot() { return SiblingOfInstallFolder(BackupSuffix); }
std::wstring DiscardFolder() { return SiblingOfInstallFolder(DiscardSuffix); }

std::wstring StagingCopyOf(const std::wstring& target) { return target + StagingSuffix; }

std::wstring BackupCopyOf(const std::wstring& backupRoot, const std::wstring& folder) {
    return JoinPath(backupRoot, LastComponentOf(folder));
}

// The temporary folder with its trailing separator; empty when the system names none.
std::wstring TemporaryFolder() {
    wchar_t folder[MAX_PATH] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH, folder);
    if (length == 0 || length > MAX_PATH) return {};
    return JoinPath(folder, L"");
}

bool SamePath(const std::wstring& a, const std::wstring& b) { return !a.empty() && EqualsIgnoringCase(a, b); }

// A name the unique-name service gives with our prefix.
bool IsTemporaryForm(const std::wstring& name) {
    const size_t digitsEnd = name.find_first_not_of(L"0123456789ABCDEFabcdef", TempNameLetters);
    return name.size() > TempNameLetters &&
           EqualsIgnoringCase(std::wstring_view(name).substr(0, TempNameLetters),
                              std::wstring_view(TempNamePrefix).substr(0, TempNameLetters)) &&
           digitsEnd != std::wstring::npos && digitsEnd > TempNameLetters &&
           digitsEnd <= TempNameLetters + 4 &&
           EqualsIgnoringCase(std::wstring_view(name).substr(digitsEnd), TempNameExtension);
}

// Such a name directly in the temporary folder.
bool IsTemporaryName(const std::wstring& path) {
    const std::wstring folder = TemporaryFolder();
    return !folder.empty() && path.size() > folder.size() &&
           EqualsIgnoringCase(std::wstring_view(path).substr(0, folder.size()), folder) &&
           IsTemporaryForm(path.substr(folder.size()));
}

bool IsReplaceableFolder(const std::wstring& path) {
    return SamePath(path, GetInstallFolder()) || SamePath(path, GetLegacyAddinFolder());
}

bool IsPlainText(const std::wstring& text) {
    return std::all_of(text.begin(), text.end(), [](wchar_t c) { return c > L' ' && c != 0x7f; });
}

// "<start time in hex> <URL>": a web address of the payload and when its download began.
constexpr size_t TimeDigits = 16;

bool IsDownloadNote(const std::wstring& value) {
    if (value.size() <= TimeDigits + 1 || value[TimeDigits] != L' ') return false;
    const std::wstring time = value.substr(0, TimeDigits), url = value.substr(TimeDigits + 1);
    return time.find_first_not_of(L"0123456789ABCDEF") == std::wstring::npos && IsPlainText(url) &&
           (url.compare(0, 7, L"http://") == 0 || url.compare(0, 8, L"https://") == 0);
}

struct Entry {
    std::wstring kind;
    std::wstring value;
};

// A journal as read back, every entry one our runs write.
struct Journal {
    RunKind kind = RunKind::Install;
    std::wstring runId;
    std::vector<Entry> entries;

    bool Has(const wchar_t* kind, const std::wstring& value = {}) const {
        return std::any_of(entries.begin(), entries.end(), [&](const Entry& entry) {
            return entry.kind == kind && (value.empty() || SamePath(entry.value, value));
        });
    }
};

bool IsHonoured(const Entry& entry) {
    if (entry.kind == TemporaryNote) return IsTemporaryName(entry.value);
    if (entry.kind == DownloadNote) return IsDownloadNote(entry.value);
    if (entry.kind == PresentFolderNote || entry.kind == AbsentFolderNote || entry.kind == BackedUpNote)
        return IsReplaceableFolder(entry.value);
    if (entry.kind == CommittedNote || entry.kind == DiscardingNote) return entry.value.empty();
    return false;
}

bool IsRunId(const std::wstring& id) {
    return !id.empty() && id.size() <= 40 && id.find_first_not_of(L"0123456789ABCDEF-") == std::wstring::npos;
}

// Every line ends with its line end and holds exactly one tab; anything else (a NUL, a control
// character, a line cut short, a kind or a path our runs never write) makes the whole file foreign.
std::optional<Journal> ParseJournal(const std::vector<unsigned char>& bytes) {
    if (bytes.empty() || bytes.back() != '\n' || std::memchr(bytes.data(), 0, bytes.size()))
        return std::nullopt;
    const std::optional<std::wstring> text = WidenText(std::string(bytes.begin(), bytes.end()), CP_UTF8);
    if (!text) return std::nullopt;
    Journal journal;
    bool first = true;
    for (size_t start = 0, end; (end = text->find(L'\n', start)) != std::wstring::npos; start = end + 1) {
        const std::wstring line = text->substr(start, end - start);
        const size_t tab = line.find(L'\t');
        if (tab == std::wstring::npos || line.find(L'\t', tab + 1) != std::wstring::npos ||
            std::any_of(line.begin(), line.end(), [](wchar_t c) { return c < L' ' && c != L'\t'; }))
            return std::nullopt;
        Entry entry{line.substr(0, tab), line.substr(tab + 1)};
        if (first) {
            if ((entry.kind != InstallRunNote && entry.kind != UninstallRunNote) || !IsRunId(entry.value))
                return std::nullopt;
            journal.kind = entry.kind == InstallRunNote ? RunKind::Install : RunKind::Uninstall;
            journal.runId = entry.value;
            first = false;
        } else if (IsHonoured(entry)) {
            journal.entries.push_back(std::move(entry));
        } else if (entry.kind == TemporaryNote && IsTemporaryForm(LastComponentOf(entry.value))) {
            // A run made under another temporary folder (another session's): its file is left alone.
            LogFormat("Leaving %S alone: it is not in this temporary folder", entry.value);
        } else {
            return std::nullopt;
        }
    }
    return journal;
}

// Undo steps only ever touch the three registrations and the commit mark, on the current user's hive;
// a key may also go again that a registration had to create on the way to its own.
bool IsRegistrationStep(const RegistryUndoStep& step) {
    if (step.root != HKEY_CURRENT_USER) return false;
    const std::wstring protocolPrefix = std::wstring(ProtocolKeyPath) + L"\\";
    const bool protocol =
        SamePath(step.path, ProtocolKeyPath) ||
        (step.path.size() > protocolPrefix.size() &&
         EqualsIgnoringCase(std::wstring_view(step.path).substr(0, protocolPrefix.size()), protocolPrefix));
    const bool entryKey = protocol || SamePath(step.path, UninstallKeyPath);
    switch (step.kind) {
        case RegistryUndoKind::RecreateDeletedKey:
            return entryKey;
        case RegistryUndoKind::RestoreValue:
            return entryKey || (SamePath(step.path, RunKeyPath) && SamePath(step.valueName, RunValueName)) ||
                   (SamePath(step.path, CommitMarkKeyPath) && SamePath(step.valueName, CommitMarkValueName));
        case RegistryUndoKind::RemoveCreatedKey:
            if (entryKey) return true;
            for (const std::wstring& key : {std::wstring(UninstallKeyPath), std::wstring(ProtocolKeyPath),
                                            std::wstring(CommitMarkKeyPath)}) {
                if (step.path.size() < key.size() && key[step.path.size()] == L'\\' &&
                    EqualsIgnoringCase(std::wstring_view(key).substr(0, step.path.size()), step.path))
                    return true;
            }
            return false;
    }
    return false;
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

// Renamed out of the way and never read again; without a rename it is deleted, so that it can never
// be followed at a later start either.
void SetAside(const std::wstring& file, const char* what) {
    const std::wstring aside = file + SetAsideSuffix;
    if (!::MoveFileExW(file.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ::DeleteFileW(file.c_str());
    }
    LogFormat("The %s %S is not one this program wrote; it is set aside as %S", what, file, aside);
}

// Upper-case hexadecimal, exactly `digits` long.
std::wstring Hex(uint64_t value, int digits) {
    std::wstring text(static_cast<size_t>(digits), L'0');
    for (int i = digits - 1; i >= 0; --i, value >>= 4)
        text[static_cast<size_t>(i)] = L"0123456789ABCDEF"[value & 15];
    return text;
}

uint64_t FileTimeNumber(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

std::wstring NewRunId() {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    return Hex(::GetCurrentProcessId(), 8) + L"-" + Hex(FileTimeNumber(now), 16);
}

bool IsCommitMarked(const std::wstring& runId) {
    wchar_t value[64] = {};
    DWORD size = sizeof value;
    return ::RegGetValueW(HKEY_CURRENT_USER, CommitMarkKeyPath, CommitMarkValueName, RRF_RT_REG_SZ, nullptr,
                          value, &size) == ERROR_SUCCESS &&
           runId == value;
}

// A rename on the same volume; false across volumes or when something inside is held open.
bool MoveFolder(const std::wstring& source, const std::wstring& target) {
    return ::MoveFileExW(ExtendedLengthPath(source).c_str(), ExtendedLengthPath(target).c_str(), 0) != FALSE;
}

bool CopyOneFile(const std::wstring& source, const std::wstring& target, bool overwrite) {
    if (::CopyFileW(ExtendedLengthPath(source).c_str(), ExtendedLengthPath(target).c_str(),
                    overwrite ? FALSE : TRUE))
        return true;
    LogFileOperationFailure("copy a file to", target, ::GetLastError());
    return false;
}

// A link or junction is never followed by a copy: what it points to is not part of the folder, may be
// anywhere (the whole profile, or the folder itself), and is not ours to duplicate.
bool SkipLink(const std::wstring& path, const FolderEntry& entry) {
    if (entry.isLink) LogFormat("Not copying the link %S", path);
    return entry.isLink;
}

// Copies every file and folder below source into target, creating target when missing; an existing
// target file is an error.
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

bool HasFileInUse(const std::wstring& folder) { return !FindFileInUse(folder).empty(); }

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

// Makes target hold exactly what source holds. Files that already match are left alone, so a file that
// another process keeps open, and that therefore was never replaced, does not fail the restore.
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
bool MoveOrCopyFolderNoting(const std::wstring& source, const std::wstring& target, bool mayBeInUse,
                            const std::function<bool()>& noteWhole) {
    const auto whole = [&noteWhole] { return !noteWhole || noteWhole(); };
    if (!(mayBeInUse && HasFileInUse(source)) && MoveFolder(source, target)) return whole();
    const std::wstring staging = StagingCopyOf(target);
    RemoveTree(staging);
    if (!CopyTree(source, staging) || !MoveFolder(staging, target)) {
        RemoveTree(staging);
        return false;
    }
    if (!whole()) return false;
    RemoveTree(source);
    return true;
}

// Moves a folder into the backup root under its last path component: by renaming it, or, where that
// cannot be done, by copying it under a staging name and renaming that. True only when the whole
// folder is in the backup; a backup copy under that name is always complete.
bool BackupFolderNoting(const std::wstring& backupRoot, const std::wstring& folder,
                        const std::function<bool()>& noteWhole) {
    LogFormat("Backing up %S to %S", folder, backupRoot);
    if (backupRoot.empty() || folder.empty() ||
        !MoveOrCopyFolderNoting(folder, BackupCopyOf(backupRoot, folder), true, noteWhole))
        return false;
    LogFormat("Backing up %S to %S done", folder, backupRoot);
    LogFormat("Removed %S done", folder);
    return true;
}

// Puts back what the run replaced, newest first: a folder from its backup when the backup is whole
// (noted so, or moved there by a rename, which leaves nothing at the source), and removes what stands
// where nothing stood.
bool PutBackFolders(const Journal& journal) {
    const std::wstring backupRoot = BackupRoot();
    bool restored = true;
    for (auto entry = journal.entries.rbegin(); entry != journal.entries.rend(); ++entry) {
        const bool present = entry->kind == PresentFolderNote;
        if (!present && entry->kind != AbsentFolderNote) continue;
        const std::wstring& folder = entry->value;
        const std::wstring copy = BackupCopyOf(backupRoot, folder);
        RemoveTree(StagingCopyOf(folder));
        RemoveTree(StagingCopyOf(copy));
        const bool whole = journal.Has(BackedUpNote, folder) || (present && !PathExists(folder));
        if (present && whole && IsDirectory(copy)) {
            restored = RestoreBackup(backupRoot, folder) && restored;
        } else if (!present) {
            restored = RemoveTree(folder) && restored;
        }
    }
    return restored;
}

// A file that another process holds open, with leave to delete it, keeps its folder from going until
// it is closed. Moved into the journal folder, on the same volume, it lets the folder go and vanishes
// there once it is closed.
void MoveOutHeldFiles(const std::wstring& folder) {
    std::vector<FolderEntry> left;
    ListTree(folder, left);
    const std::wstring prefix = JoinPath(JournalFolder(), L"discarded-" + NewRunId() + L"-");
    int count = 0;
    for (const FolderEntry& entry : left) {
        if (entry.isDirectory) continue;
        const std::wstring aside = prefix + Hex(++count, 4);
        if (::MoveFileExW(ExtendedLengthPath(JoinPath(folder, entry.name)).c_str(), aside.c_str(), 0))
            ::DeleteFileW(aside.c_str());
    }
}

// Out of reach of any restore first, then removed; what cannot go now goes at a later start.
void DiscardBackup() {
    const std::wstring backupRoot = BackupRoot(), discard = DiscardFolder();
    PassStopPoint("discarding");
    RemoveTree(discard);
    if (IsDirectory(backupRoot) && !MoveFolder(backupRoot, discard)) RemoveTree(backupRoot);
    if (!RemoveTree(discard)) {
        MoveOutHeldFiles(discard);
        RemoveTree(discard);
    }
}

// The uninstall's removal is final once committed: what it had still to do goes now.
void FinishRemoval() {
    ScopedCom com;
    UpdateShortcuts(false, false, GetInstallFolder());
    ClearApplicationCache();
}

// A settled run leaves none of its bookkeeping: the commit mark counts only while the run's journal
// exists. The folders of the journal and of the installation go as well when nothing else is in them,
// as after an uninstallation.
void RemoveBookkeeping() {
    if (const unique_hkey mark = OpenKeyOutside(HKEY_CURRENT_USER, CommitMarkKeyPath, KEY_SET_VALUE))
        ::RegDeleteValueW(mark.get(), CommitMarkValueName);
    DeleteKeyIfEmpty(HKEY_CURRENT_USER, CommitMarkKeyPath);
    DeleteKeyIfEmpty(HKEY_CURRENT_USER, VendorKeyPath);
    for (const std::wstring& folder :
         {JournalFolder(), ParentFolderOf(JournalFolder()), ParentFolderOf(GetInstallFolder())})
        ::RemoveDirectoryW(folder.c_str());
}

bool Settle(const Journal& journal) {
    const bool committed = journal.Has(CommittedNote) || IsCommitMarked(journal.runId);
    const std::wstring undoRecord = UndoRecordFile();
    if (!committed && !journal.Has(DiscardingNote)) {
        if (RevertRegistryUndoRecord(undoRecord, IsRegistrationStep) != UndoRecordOutcome::Reverted) {
            SetAside(undoRecord, "registry undo record");
        }
        if (!PutBackFolders(journal)) {
            LogFormat("The previous installation could not be restored completely; it is kept in %S",
                      BackupRoot());
            return false;
        }
    }
    ::DeleteFileW(undoRecord.c_str());
    if (committed && journal.kind == RunKind::Uninstall) FinishRemoval();
    if (!journal.Has(DiscardingNote)) WriteJournal(DiscardingNote, L"", OPEN_EXISTING);
    DiscardBackup();
    for (const Entry& entry : journal.entries) {
        if (entry.kind == TemporaryNote) {
            RemoveTree(entry.value);
            RemoveFile(entry.value + SafetyCopySuffix);
        } else if (entry.kind == DownloadNote) {
            const uint64_t start = std::wcstoull(entry.value.substr(0, TimeDigits).c_str(), nullptr, 16);
            RemoveDownloadLeftovers(entry.value.substr(TimeDigits + 1),
                                    FILETIME{static_cast<DWORD>(start), static_cast<DWORD>(start >> 32)});
        }
    }
    ::DeleteFileW(JournalFile().c_str());
    RemoveBookkeeping();
    return true;
}

// The journal in its place, when it is one our runs write.
std::optional<Journal> ReadJournal() {
    const std::optional<std::vector<unsigned char>> bytes = ReadFileBytes(JournalFile(), MaxJournalSize);
    return bytes ? ParseJournal(*bytes) : std::nullopt;
}

// Settles the journal a run left, if any; a journal that is not ours is set aside, never followed.
bool SettleLeftOverRun() {
    RemoveTree(DiscardFolder());
    const std::wstring path = JournalFile();
    if (path.empty() || ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
    const std::optional<Journal> journal = ReadJournal();
    if (!journal) {
        SetAside(path, "run journal");
        if (::GetFileAttributesW(UndoRecordFile().c_str()) != INVALID_FILE_ATTRIBUTES)
            SetAside(UndoRecordFile(), "registry undo record");
        return true;
    }
    return Settle(*journal);
}

}  // namespace

bool CRunJournal::Begin(RunKind kind) {
    if (!SettleLeftOverRun()) return false;
    if (!CreateFolders(JournalFolder())) return false;
    ::DeleteFileW(UndoRecordFile().c_str());
    m_runId = NewRunId();
    return WriteJournal(kind == RunKind::Install ? InstallRunNote : UninstallRunNote, m_runId, CREATE_ALWAYS);
}

std::wstring CRunJournal::NewTemporaryFile() { return NewTemporary(false); }

std::wstring CRunJournal::NewTemporaryFolder() { return NewTemporary(true); }

std::wstring CRunJournal::NewTemporary(bool folder) {
    const std::wstring temporaryFolder = TemporaryFolder();
    if (temporaryFolder.empty()) return {};
    LARGE_INTEGER seed{};
    ::QueryPerformanceCounter(&seed);
    UINT unique = static_cast<UINT>(seed.QuadPart ^ ::GetCurrentThreadId());
    for (int attempt = 0; attempt < TempNameAttempts; ++attempt) {
        unique = unique * 1103515245u + 12345u;
        wchar_t name[MAX_PATH] = {};
        // With a number of its own, the service only forms the name; the journal has it before it exists.
        if (!::GetTempFileNameW(temporaryFolder.c_str(), TempNamePrefix, 1 + (unique >> 16) % 0xFFFF, name))
            return {};
        const std::wstring path = name;
        if (PathExists(path) || PathExists(path + SafetyCopySuffix)) continue;
        if (!Note(TemporaryNote, path)) return {};
        const bool made =
            folder
                ? ::CreateDirectoryW(path.c_str(), nullptr) != FALSE
                : static_cast<bool>(unique_file_handle(::CreateFileW(
                      path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)));
        if (made) return path;
    }
    return {};
}

bool CRunJournal::NoteDownload(const std::wstring& url) {
    return Note(DownloadNote, Hex(FileTimeNumber(DownloadStartTime()), 16) + L" " + url);
}

bool CRunJournal::BackUpInstallation() {
    const std::wstring backupRoot = BackupRoot();
    // A backup that no journal refers to any more (its journal was set aside) is neither ours to restore
    // nor to delete: it is kept under a name of its own, so that it blocks no run.
    std::vector<FolderEntry> stale;
    if (ListFolder(backupRoot, stale) && !stale.empty()) {
        const std::wstring kept = backupRoot + L"-" + m_runId;
        LogFormat("An earlier backup that no journal refers to is kept as %S", kept);
        if (!MoveFolder(backupRoot, kept)) return false;
    }
    if (backupRoot.empty() || !CreateFolders(backupRoot)) return false;
    // Out of sight like the journal: nobody is meant to open it.
    ::SetFileAttributesW(backupRoot.c_str(), FILE_ATTRIBUTE_HIDDEN);
    const std::wstring installFolder = GetInstallFolder(), legacyFolder = GetLegacyAddinFolder();
    const bool legacyPresent = IsDirectory(legacyFolder);
    const bool installPresent = IsDirectory(installFolder);
    if (!Note(legacyPresent ? PresentFolderNote : AbsentFolderNote, legacyFolder) ||
        !Note(installPresent ? PresentFolderNote : AbsentFolderNote, installFolder))
        return false;
    const auto backUp = [this, &backupRoot](const std::wstring& folder) {
        return BackupFolderNoting(backupRoot, folder, [this, &folder] { return Note(BackedUpNote, folder); });
    };
    if (legacyPresent && !backUp(legacyFolder)) return false;
    PassStopPoint("backed-up-legacy");
    return !installPresent || backUp(installFolder);
}

std::unique_ptr<IRegistryTransaction> CRunJournal::CreateTransaction(const std::wstring& description) const {
    return CreateRegistryTransaction(description, UndoRecordFile());
}

bool CRunJournal::Commit(IRegistryTransaction& transaction) {
    const std::unique_ptr<ITransactedKey> mark = transaction.CreateKey(HKEY_CURRENT_USER, CommitMarkKeyPath);
    if (!mark || !mark->SetValue(CommitMarkValueName, REG_SZ, m_runId.data(),
                                 static_cast<DWORD>(m_runId.size() * sizeof(wchar_t))))
        return false;
    PassStopPoint("committing");
    if (!transaction.Commit()) return false;
    PassStopPoint("registry-committed");
    // The mark already tells; the note only saves the next start a look into the registry.
    Note(CommittedNote, L"");
    PassStopPoint("committed");
    return true;
}

bool CRunJournal::Complete() {
    const std::optional<Journal> journal = ReadJournal();
    return journal && Settle(*journal);
}

bool CRunJournal::Note(const wchar_t* kind, const std::wstring& value) {
    return (!value.empty() || kind == CommittedNote) && WriteJournal(kind, value, OPEN_EXISTING);
}

void RecoverInterruptedRun() {
    if (::GetFileAttributesW(JournalFile().c_str()) != INVALID_FILE_ATTRIBUTES)
        LogWrite("Completing an interrupted installation run");
    SettleLeftOverRun();
}

bool RestoreBackup(std::wstring backupRoot, std::wstring folder) {
    LogFormat("Restoring backup from %s to %s", NarrowForLog(backupRoot), NarrowForLog(folder));
    if (backupRoot.empty() || folder.empty()) return false;
    const std::wstring copy = BackupCopyOf(backupRoot, folder);
    // Whatever the failed run left there goes first; a folder that cannot be cleared is made equal to
    // the backup file by file instead.
    if (RemoveTree(folder)) {
        CreateFolders(ParentFolderOf(folder));
        if (MoveOrCopyFolderNoting(copy, folder, false, {})) return true;
    }
    return MirrorFolder(copy, folder);
}

bool MoveOrCopyFolder(const std::wstring& source, const std::wstring& target, bool mayBeInUse) {
    return MoveOrCopyFolderNoting(source, target, mayBeInUse, {});
}

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
