#pragma once
// The program's string tables, read as stored, language by language.
#include <windows.h>

#include <string>

namespace tessara {

inline constexpr LANGID kTableLanguages[] = {1031, 1033, 1034, 1036, 1040, 1041,
                                             1042, 1043, 1046, 1049, 1055, 2052};

// The text stored for exactly this language, without the loader's fallback to another table: a table
// missing from the program must not pass as its English neighbour. Empty when there is none.
inline std::wstring FindStoredString(LANGID language, UINT id) {
    const HMODULE module = ::GetModuleHandleW(nullptr);
    const HRSRC block = ::FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), language);
    if (!block) return std::wstring();
    const auto* entry = static_cast<const wchar_t*>(::LockResource(::LoadResource(module, block)));
    for (UINT skip = id % 16; skip > 0; --skip) entry += 1 + *entry;  // each entry: length, then text
    return std::wstring(entry + 1, *entry);
}

}  // namespace tessara
