#include "system/RegistryValues.h"

#include <cstring>

namespace tessara {
namespace {

// Runs `read(data, capacity)`, a registry read that fails with ERROR_MORE_DATA and the size it
// needs when the buffer is too small, until the buffer holds the whole value: a value may grow
// between any two reads. On success `size` is the length of the data at the buffer's start.
template <typename Read>
LSTATUS ReadGrowing(std::vector<BYTE>& buffer, DWORD& size, Read read) {
    // A null buffer would only measure the value and report success without reading it.
    if (buffer.empty()) buffer.resize(256);
    for (;;) {
        size = static_cast<DWORD>(buffer.size());
        const LSTATUS status = read(buffer.data(), size);
        if (status != ERROR_MORE_DATA || size <= buffer.size()) return status;
        buffer.resize(size);
    }
}

}  // namespace

unique_hkey OpenKeyOutside(HKEY root, const std::wstring& path, REGSAM access) {
    unique_hkey key;
    if (::RegOpenKeyExW(root, path.c_str(), 0, access, key.put()) != ERROR_SUCCESS) key.reset();
    return key;
}

void DeleteKeyIfEmpty(HKEY root, const std::wstring& path) {
    {
        const unique_hkey key = OpenKeyOutside(root, path, KEY_QUERY_VALUE);
        DWORD subkeys = 0;
        DWORD values = 0;
        if (!key ||
            ::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                               nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
            subkeys || values)
            return;
    }
    ::RegDeleteKeyW(root, path.c_str());
}

std::vector<std::wstring> ReadSubkeyNames(HKEY key) {
    DWORD count = 0;
    DWORD longestName = 0;
    if (::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, &longestName, nullptr, nullptr, nullptr,
                           nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        return {};
    }
    std::vector<std::wstring> names;
    std::vector<wchar_t> buffer(longestName + 1);
    for (DWORD index = 0; index < count; ++index) {
        DWORD length = static_cast<DWORD>(buffer.size());
        if (::RegEnumKeyExW(key, index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        names.emplace_back(buffer.data(), length);
    }
    return names;
}

bool ReadValue(HKEY key, const std::wstring& name, std::optional<ValueImage>& value) {
    value.reset();
    std::vector<BYTE> buffer;
    DWORD type = REG_NONE;
    DWORD size = 0;
    const LSTATUS status = ReadGrowing(buffer, size, [&](BYTE* data, DWORD& capacity) {
        return ::RegQueryValueExW(key, name.c_str(), nullptr, &type, data, &capacity);
    });
    if (status == ERROR_FILE_NOT_FOUND) return true;
    if (status != ERROR_SUCCESS) return false;
    buffer.resize(size);
    value = ValueImage{name, type, std::move(buffer)};
    return true;
}

bool ReadAllValues(HKEY key, std::vector<ValueImage>& values) {
    values.clear();
    // Enumerated up to the registry's own end rather than to a count taken beforehand, so that a
    // value added meanwhile is read too. The name buffer holds the longest name a value may have.
    std::vector<wchar_t> name(16384);
    std::vector<BYTE> buffer;
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = 0;
        DWORD type = REG_NONE;
        DWORD size = 0;
        const LSTATUS status = ReadGrowing(buffer, size, [&](BYTE* data, DWORD& capacity) {
            nameLength = static_cast<DWORD>(name.size());
            return ::RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, data, &capacity);
        });
        if (status == ERROR_NO_MORE_ITEMS) return true;
        if (status != ERROR_SUCCESS) return false;
        values.push_back(ValueImage{std::wstring(name.data(), nameLength), type,
                                    std::vector<BYTE>(buffer.begin(), buffer.begin() + size)});
    }
}

LSTATUS WriteValueExactly(HKEY key, const std::wstring& name, DWORD type, const void* data, DWORD size) {
    std::vector<BYTE> copy(size + sizeof(wchar_t), 0xFF);
    if (size) std::memcpy(copy.data(), data, size);
    return ::RegSetValueExW(key, name.c_str(), 0, type, copy.data(), size);
}

}  // namespace tessara
