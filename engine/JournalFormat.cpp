#include "engine/JournalFormat.h"

#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "app/FileSystem.h"
#include "app/HttpText.h"
#include "app/InstallLocations.h"
#include "app/Log.h"
#include "app/RunId.h"
#include "app/RunLimits.h"
#include "app/ScopedWin.h"
#include "app/Text.h"
#include "system/Registration.h"

namespace tessara {
namespace {

constexpr const wchar_t* JournalFolderSuffix = L"\\Orvix\\TessaraSetup";
constexpr const wchar_t* JournalFileName = L"run.journal";
constexpr const wchar_t* RegistryUndoFileName = L"registry.undo";
constexpr const wchar_t* SetAsideSuffix = L".rejected";
// Far more than any run of ours writes; a larger file is not ours.
constexpr uint64_t MaxJournalSize = 1 << 20;

std::wstring InJournalFolder(const wchar_t* name) {
    const std::wstring folder = JournalFolder();
    return folder.empty() ? std::wstring() : JoinPath(folder, name);
}

// A run's folder of temporaries, or a temporary name of earlier versions.
bool IsTemporaryForm(const std::wstring& name) {
    return !RunIdOfTemporaryFolder(name).empty() || IsTempNameForm(name, L".tmp");
}

// Such a name directly in the temporary folder.
bool IsTemporaryName(const std::wstring& path) {
    const std::wstring folder = GetTempFolder();
    return !folder.empty() && path.size() > folder.size() &&
           EqualsIgnoringCase(std::wstring_view(path).substr(0, folder.size()), folder) &&
           IsTemporaryForm(path.substr(folder.size()));
}

bool IsReplaceableFolder(const std::wstring& path) {
    return SamePath(path, GetInstallFolder()) || SamePath(path, GetLegacyAddinFolder());
}

// Values are written as they are, but for control characters and the escape character itself, which
// are written "%XX": every text a run can hold, a URL with a line end in it included, reads back as it
// was written.
constexpr wchar_t EscapeCharacter = L'%';

bool NeedsEscape(wchar_t c) { return c < L' ' || c == 0x7f || c == EscapeCharacter; }

std::wstring Escaped(const std::wstring& value) {
    std::wstring text;
    for (const wchar_t c : value)
        text += NeedsEscape(c) ? std::wstring(1, EscapeCharacter) + Hex(c, 2) : std::wstring(1, c);
    return text;
}

std::optional<std::wstring> Unescaped(const std::wstring& text) {
    std::wstring value;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != EscapeCharacter) {
            value += text[i];
            continue;
        }
        const std::wstring digits = text.substr(i + 1, 2);
        if (digits.size() != 2 || digits.find_first_not_of(L"0123456789ABCDEF") != std::wstring::npos)
            return std::nullopt;
        value += static_cast<wchar_t>(std::wcstoul(digits.c_str(), nullptr, 16));
        i += 2;
    }
    return value;
}

// A download note is "<start time in this many hexadecimal digits> <URL>": the URL as the run was given
// it, in any form the program accepts (a web address, a file URL, a local or UNC path), without its
// user name and password.
bool IsDownloadNote(const std::wstring& value) {
    return value.size() > DownloadTimeDigits + 1 && value[DownloadTimeDigits] == L' ' &&
           value.find_first_not_of(L"0123456789ABCDEF") == DownloadTimeDigits;
}

bool IsEmptyValue(const std::wstring& value) { return value.empty(); }

// Every note a run writes, each defined once: the writer refuses what the reader would not take back,
// and the reader takes back whatever the writer writes.
struct NoteDefinition {
    const wchar_t* kind;
    bool first;  // only the first line of a journal, which names the run
    bool (*accepts)(const std::wstring& value);
};

constexpr NoteDefinition Notes[] = {
    {InstallRunNote, true, IsRunId},
    {UninstallRunNote, true, IsRunId},
    {TemporaryNote, false, IsTemporaryName},
    {DownloadNote, false, IsDownloadNote},
    {PresentFolderNote, false, IsReplaceableFolder},
    {AbsentFolderNote, false, IsReplaceableFolder},
    {BackedUpNote, false, IsReplaceableFolder},
    {CommittedNote, false, IsEmptyValue},
    {DiscardingNote, false, IsEmptyValue},
};

const NoteDefinition* DefinitionOf(const std::wstring& kind) {
    for (const NoteDefinition& note : Notes)
        if (kind == note.kind) return &note;
    return nullptr;
}

bool IsNoteOfOurs(const JournalEntry& entry, bool first) {
    const NoteDefinition* note = DefinitionOf(entry.kind);
    return note && note->first == first && note->accepts(entry.value);
}

// Every whole line ends with its line end and holds exactly one tab. What a power cut leaves after the
// last whole line (a line without its end, zero bytes, or nothing at all) only means that its change
// may or may not have happened, and is dropped. Anything else (a NUL or control character inside, a
// kind or a path our runs never write) makes the whole file foreign.
std::optional<Journal> ParseJournal(const std::vector<unsigned char>& bytes) {
    size_t whole = bytes.size();
    while (whole > 0 && bytes[whole - 1] == 0) --whole;
    while (whole > 0 && bytes[whole - 1] != '\n') --whole;
    if (whole < bytes.size())
        LogWrite("The run journal ends in a record cut short; the records before it hold");
    Journal journal;
    if (whole == 0) return journal;
    if (std::memchr(bytes.data(), 0, whole)) return std::nullopt;
    const std::optional<std::wstring> text =
        WidenText(std::string(bytes.begin(), bytes.begin() + whole), CP_UTF8);
    if (!text) return std::nullopt;
    bool first = true;
    for (size_t start = 0, end; (end = text->find(L'\n', start)) != std::wstring::npos; start = end + 1) {
        const std::wstring line = text->substr(start, end - start);
        const size_t tab = line.find(L'\t');
        if (tab == std::wstring::npos || line.find(L'\t', tab + 1) != std::wstring::npos ||
            std::any_of(line.begin(), line.end(), [](wchar_t c) { return c < L' ' && c != L'\t'; }))
            return std::nullopt;
        const std::optional<std::wstring> value = Unescaped(line.substr(tab + 1));
        if (!value) return std::nullopt;
        JournalEntry entry{line.substr(0, tab), *value};
        if (IsNoteOfOurs(entry, first)) {
            if (first) {
                journal.kind = entry.kind == InstallRunNote ? RunKind::Install : RunKind::Uninstall;
                journal.runId = entry.value;
            } else {
                journal.entries.push_back(std::move(entry));
            }
            first = false;
        } else if (!first && entry.kind == TemporaryNote && IsTemporaryForm(LastComponentOf(entry.value))) {
            // A run made under another temporary folder (another session's): its file is left alone.
            LogFormat("Leaving %S alone: it is not in this temporary folder", entry.value);
        } else {
            return std::nullopt;
        }
    }
    return journal;
}

// A journal of an earlier version may hold a password written into its download URL: what is kept for
// a look later keeps it masked.
void MaskCredentialsIn(const std::wstring& file) {
    const std::optional<std::vector<unsigned char>> bytes = ReadFileBytes(file, MaxJournalSize);
    if (!bytes) return;
    const std::string text(bytes->begin(), bytes->end());
    const std::string masked = MaskUrlCredentials(text);
    if (masked != text) WriteFileBytes(file, masked.data(), masked.size());
}

}  // namespace

bool IsFolderNote(const JournalEntry& entry) {
    return entry.kind == PresentFolderNote || entry.kind == AbsentFolderNote || entry.kind == BackedUpNote;
}

bool Journal::Has(const wchar_t* kind, const std::wstring& value) const {
    return std::any_of(entries.begin(), entries.end(), [&](const JournalEntry& entry) {
        return entry.kind == kind && (value.empty() || SamePath(entry.value, value));
    });
}

// %LOCALAPPDATA%\Orvix\TessaraSetup: the profile's own machine-local folder, which no roaming
// copies around and no clean-up of the temporary folder touches.
std::wstring JournalFolder() {
    wchar_t folder[MAX_PATH] = {};
    if (!::SHGetSpecialFolderPathW(nullptr, folder, CSIDL_LOCAL_APPDATA, FALSE)) return {};
    return std::wstring(folder) + JournalFolderSuffix;
}

std::wstring JournalFile() { return InJournalFolder(JournalFileName); }
std::wstring UndoRecordFile() { return InJournalFolder(RegistryUndoFileName); }
std::wstring RunNoteFile(const std::wstring& runFolder) { return JoinPath(runFolder, L"run.note"); }

JournalReading ReadJournalFile(const std::wstring& path) {
    PatientReading file = ReadFilePatiently(path, MaxJournalSize);
    switch (file.state) {
        case PatientReading::State::Missing:
            return {JournalState::Missing, {}, 0};
        case PatientReading::State::Unreadable:
            return {JournalState::Unreadable, {}, file.error};
        case PatientReading::State::NotAFile:
            return {JournalState::Foreign, {}, 0};
        case PatientReading::State::Read:
            break;
    }
    std::optional<Journal> journal = ParseJournal(file.bytes);
    return journal ? JournalReading{JournalState::Ours, std::move(*journal), 0}
                   : JournalReading{JournalState::Foreign, {}, 0};
}

std::optional<Journal> ReadJournal(const std::wstring& path) {
    JournalReading reading = ReadJournalFile(path);
    if (reading.state == JournalState::Ours) return std::move(reading.journal);
    return std::nullopt;
}

// Undo steps only ever touch the three registrations and the commit mark, on the current user's hive;
// a key may also go again that a registration or the mark had to create, the mark's own included.
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
                if (step.path.size() <= key.size() &&
                    (step.path.size() == key.size() || key[step.path.size()] == L'\\') &&
                    EqualsIgnoringCase(std::wstring_view(key).substr(0, step.path.size()), step.path))
                    return true;
            }
            return false;
    }
    return false;
}

bool WriteJournalLine(const std::wstring& path, const std::wstring& kind, const std::wstring& value,
                      DWORD disposition) {
    const NoteDefinition* note = DefinitionOf(kind);
    if (!note || !note->accepts(value)) {
        // Never written: the reader would take the whole file for another program's.
        LogFormat("The note %S of the run journal does not fit its definition and is not written", kind);
        return false;
    }
    const std::optional<std::string> bytes = NarrowText(kind + L"\t" + Escaped(value) + L"\n", CP_UTF8);
    if (!bytes) return false;
    PassDurableStep(SamePath(path, JournalFile())           ? "journal"
                    : IsInsideFolder(path, GetTempFolder()) ? "note"
                                                            : "marker");
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
    PassDurableStep("set-aside");
    if (!::MoveFileExW(file.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ::DeleteFileW(file.c_str());
    }
    MaskCredentialsIn(aside);
    LogFormat("The %s %S is not one this program wrote; it is set aside as %S", what, file, aside);
}

}  // namespace tessara
