#include "system/RegistryValues.h"

#include <cstring>

namespace tessara {

unique_hkey OpenKeyOutside(HKEY root, const std::wstring& path, REGSAM access) {
    unique_hkey key;
    if (::RegOpenKeyExW(root, path.c_str(), 0, access, key.put()) != ERROR_SUCCESS) key.reset();
    return key;
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

bool ReadValue(HKEY key, const std::wstring& name, ValueImage& value) {
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (::RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    std::vector<BYTE> data(size);
    if (::RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
        return false;
    data.resize(size);
    value = ValueImage{name, type, std::move(data)};
    return true;
}

std::vector<ValueImage> ReadAllValues(HKEY key) {
    DWORD count = 0;
    DWORD longestName = 0;
    DWORD largestData = 0;
    if (::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &longestName,
                           &largestData, nullptr, nullptr) != ERROR_SUCCESS) {
        return {};
    }
    std::vector<ValueImage> values;
    std::vector<wchar_t> name(longestName + 1);
    std::vector<BYTE> data(largestData);
    for (DWORD index = 0; index < count; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD size = static_cast<DWORD>(data.size());
        DWORD type = REG_NONE;
        if (::RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &size) !=
            ERROR_SUCCESS) {
            break;
        }
        values.push_back(ValueImage{std::wstring(name.data(), nameLength), type,
                                    std::vector<BYTE>(data.begin(), data.begin() + size)});
    }
    return values;
}

LSTATUS WriteValueExactly(HKEY key, const std::wstring& name, DWORD type, const void* data, DWORD size) {
    std::vector<BYTE> copy(size + sizeof(wchar_t), 0xFF);
    if (size) std::memcpy(copy.data(), data, size);
    return ::RegSetValueExW(key, name.c_str(), 0, type, copy.data(), size);
}

}  // namespace tessara
