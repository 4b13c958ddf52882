#pragma once
// Plain registry access outside any transaction, shared by the transaction layer: reading keys and
// values as they are, and writing a value so that it reads back byte for byte as it was given.
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "app/ScopedWin.h"

namespace tessara {

struct ValueImage {
    std::wstring name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

// RegOpenKeyExW outside any transaction; empty when the key does not open with that access.
unique_hkey OpenKeyOutside(HKEY root, const std::wstring& path, REGSAM access);
// Names of the direct subkeys, read completely before anyone deletes one; empty when unreadable.
std::vector<std::wstring> ReadSubkeyNames(HKEY key);
// True with `value` empty only when the registry reports the value absent; false when it exists
// but cannot be read, so that nobody takes it for absent and later deletes it.
bool ReadValue(HKEY key, const std::wstring& name, std::optional<ValueImage>& value);
// True only when every value of the key was read; a key recreated from a partial list would lose
// the rest. `values` holds what was read either way.
bool ReadAllValues(HKEY key, std::vector<ValueImage>& values);
// Deletes the key, outside any transaction, when it holds neither values nor subkeys.
void DeleteKeyIfEmpty(HKEY root, const std::wstring& path);
// RegSetValueExW with exactly `size` bytes. The registry adds a terminating NUL to a string whose
// count leaves one out when a NUL happens to follow in memory; the data is therefore passed from a
// copy that is followed by non-zero bytes, so strings stay without terminator as written.
LSTATUS WriteValueExactly(HKEY key, const std::wstring& name, DWORD type, const void* data, DWORD size);

}  // namespace tessara
