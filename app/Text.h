#pragma once
// Conversions and checks on text that comes from outside the program: archive entry names, manifest
// references and string resources.
#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

namespace tessara {

// Narrow text in the given code page as UTF-16; nothing when a byte sequence is not valid there.
std::optional<std::wstring> WidenText(const std::string& text, UINT codePage);
// UTF-16 as narrow text in the given code page; nothing when it cannot be converted. With `exact`, a
// character the code page lacks is not replaced by a look-alike, and *exact tells whether every
// character had its own place there.
std::optional<std::string> NarrowText(const std::wstring& text, UINT codePage, bool* exact = nullptr);

// True when a relative path ('/' or '\' separators) can only name something inside the folder it is
// joined under: not rooted, no drive or stream colon, never climbing above its start with "..", no
// component other than "." and ".." that ends in a dot or a blank (Windows strips them, so "a.txt."
// would be stored as another file and "..." could mean the parent), and no device name such as "con".
bool StaysInsideFolder(std::wstring_view relative);

// A relative path ('/' or '\\' separators) with "." and empty components dropped and ".." resolved
// (never above its start), joined with single backslashes.
std::wstring ResolveDotComponents(std::wstring_view relative);

// File names and paths compare this way: ordinal, without regard to case.
bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b);

// Paths are joined with exactly one backslash between folder and name.
std::wstring JoinPath(const std::wstring& folder, const std::wstring& name);
// A path below the folder (letter case ignored) that does not climb back out of it.
bool IsInsideFolder(const std::wstring& path, const std::wstring& folder);

// The language of the string table a user of the UI language reads: the table of that very language,
// else one of its primary language (every Spanish, Portuguese or Chinese variant reads the one table the
// program has for it), else English. The system's own fallback would take a Mexican or a Spanish user
// of today's locale to English, as the table is tagged with one sublanguage. 0 when the module has no
// such text.
constexpr LANGID kEnglishTable = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
LANGID StringTableLanguage(HINSTANCE module, UINT id, LANGID uiLanguage);
// A string-table text of the module in the table chosen for the UI language (by default the user's);
// empty when it is missing.
std::wstring LoadResourceText(HINSTANCE module, UINT id, LANGID uiLanguage);
std::wstring LoadResourceText(HINSTANCE module, UINT id);

}  // namespace tessara
