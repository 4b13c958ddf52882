#pragma once
// Every folder and temporary name an installation touches, and the fixed names of the installed
// application.
#include <string>

namespace tessara {

constexpr const char* AppExecutableName = "Tessara.exe";
constexpr const char* DetectorExecutableName = "tessaradetector.exe";
constexpr const wchar_t* SetupImageName = L"TessaraAppSetup.exe";

// %APPDATA%\Orvix\Tessara; empty when the shell folder is unknown.
std::wstring GetInstallFolder();
// %APPDATA%\Cindervale\Gleam Player\<legacy site>\bin\orvixtessaraaddin; empty when unknown.
std::wstring GetLegacyAddinFolder();
// Every temporary name begins with the first three letters of this prefix (the unique-name service
// takes three).
constexpr const wchar_t* TempNamePrefix = L"Tess";
// The temporary folder with its trailing separator; empty when the system names none.
std::wstring GetTempFolder();
// A fresh name "Tes????.tmp" in the temporary folder at which nothing stands yet, only formed, so that
// a caller can note it before anything exists under it; empty when none could be formed. Every
// temporary name of the program comes from here.
std::wstring NewTempName();
// A name as NewTempName forms it (letter case ignored), with the given extension in place of ".tmp".
bool IsTempNameForm(const std::wstring& name, const wchar_t* extension);
// %TEMP%\TessaraRun-<run id>: the one folder that holds every temporary file of a run, so that what a
// run left is known for its own by its name alone. Empty when the system names no temporary folder.
std::wstring RunTemporaryFolder(const std::wstring& runId);
// The run id in the name of such a folder (its name alone); empty for any other name.
std::wstring RunIdOfTemporaryFolder(const std::wstring& name);
// A new empty file under a fresh temporary name; empty when none could be made.
std::wstring CreateTempFileName();
// A new empty folder under a fresh temporary name; empty when it could not be created.
std::wstring CreateTempFolder();
// Removes "TessaraAppCache" from the user's Documents folder; true when none is left there. A missing
// folder, or no Documents folder at all, is no error.
bool ClearApplicationCache();

// A folder joined with one of the narrow fixed names above by one backslash; empty when the folder is
// empty, so that a name in an unknown folder never resolves against the current folder.
std::wstring JoinFixedName(const std::wstring& folder, const char* name);

}  // namespace tessara
