#pragma once
// The files a run keeps about itself, and what may stand in them: where the journal and the registry
// undo record live, how a journal line is written and read back, and which of its notes and undo
// steps a run of ours could have written. Anything else makes a file foreign, and a foreign file is
// never followed.
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "system/RegistryTransaction.h"

namespace tessara {

enum class RunKind { Install, Uninstall };

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

// A download note is "<start time in this many hexadecimal digits> <URL>", the URL in any form a run
// accepts.
constexpr size_t DownloadTimeDigits = 16;
// A temporary file may have a safety copy under its name with this suffix.
constexpr const wchar_t* SafetyCopySuffix = L"_temp";

struct JournalEntry {
    std::wstring kind;
    std::wstring value;
};

// A journal as read back, every entry one our runs write.
struct Journal {
    RunKind kind = RunKind::Install;
    std::wstring runId;
    std::vector<JournalEntry> entries;

    bool Has(const wchar_t* kind, const std::wstring& value = {}) const;
};

// A note about one of the replaced folders (present, absent, backed up).
bool IsFolderNote(const JournalEntry& entry);

// %LOCALAPPDATA%\Orvix\TessaraSetup and the two files in it; empty when the shell folder is unknown.
std::wstring JournalFolder();
std::wstring JournalFile();
std::wstring UndoRecordFile();
// The note in a run's folder of temporaries: the journal's form, with the run and its downloads, so that
// what the run left in the Internet cache is found with the folder, also when the journal is lost.
std::wstring RunNoteFile(const std::wstring& runFolder);

enum class JournalState { Missing, Ours, Foreign, Unreadable };
// A journal as found: not there, one our runs write (its run id empty when not even its first record
// is whole, as in an emptied file), one they could not have written, or one that could not be read for
// a passing reason (held by another program, a read error) even when tried again for a while.
struct JournalReading {
    JournalState state = JournalState::Missing;
    Journal journal;
    DWORD error = 0;  // the system's reason, when unreadable
};
JournalReading ReadJournalFile(const std::wstring& path);
// The journal at path, when it is one our runs write.
std::optional<Journal> ReadJournal(const std::wstring& path);
// Appends one note, flushed to the disk before the call returns; false, and nothing written, for a note
// that does not fit its definition.
bool WriteJournalLine(const std::wstring& path, const std::wstring& kind, const std::wstring& value,
                      DWORD disposition);
// Undo steps only ever touch the three registrations and the commit mark, on the current user's hive.
bool IsRegistrationStep(const RegistryUndoStep& step);
// Renamed out of the way and never read again, with a log line.
void SetAside(const std::wstring& file, const char* what);

}  // namespace tessara
