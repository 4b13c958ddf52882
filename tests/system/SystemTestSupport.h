#pragma once
// Reading the registry and the file system back the plain way, independent of the code under test.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/ScopedWin.h"

namespace tessara::test {

struct RawValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    bool operator==(const RawValue& other) const { return type == other.type && data == other.data; }
};

// A key tree as it stands: relative key path ("" for the key itself) -> value name -> value.
using KeyTree = std::map<std::wstring, std::map<std::wstring, RawValue>>;

inline unique_hkey OpenRaw(const std::wstring& path, REGSAM access = KEY_READ) {
    unique_hkey key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, access, key.put()) != ERROR_SUCCESS) key.reset();
    return key;
}

inline bool KeyExists(const std::wstring& path) { return static_cast<bool>(OpenRaw(path)); }

inline std::optional<RawValue> ReadRaw(const std::wstring& path, const std::wstring& name) {
    const unique_hkey key = OpenRaw(path);
    if (!key) return std::nullopt;
    RawValue value;
    DWORD size = 0;
    if (::RegQueryValueExW(key.get(), name.c_str(), nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    value.data.resize(size);
    if (::RegQueryValueExW(key.get(), name.c_str(), nullptr, &value.type, value.data.data(), &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    return value;
}

inline std::wstring AsText(const RawValue& value) {
    return std::wstring(reinterpret_cast<const wchar_t*>(value.data.data()),
                        value.data.size() / sizeof(wchar_t));
}

inline DWORD AsDword(const RawValue& value) {
    DWORD number = 0;
    if (value.data.size() == sizeof number) std::memcpy(&number, value.data.data(), sizeof number);
    return number;
}

inline RawValue Text(const std::wstring& text) {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(text.data());
    return {REG_SZ, std::vector<BYTE>(bytes, bytes + text.size() * sizeof(wchar_t))};
}

// A string as the program stores it: its terminating NUL counted in the size.
inline RawValue String(const std::wstring& text) {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    return {REG_SZ, std::vector<BYTE>(bytes, bytes + (text.size() + 1) * sizeof(wchar_t))};
}

inline RawValue Dword(DWORD number) {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(&number);
    return {REG_DWORD, std::vector<BYTE>(bytes, bytes + sizeof number)};
}

// Writes through a buffer followed by non-zero bytes, so the registry adds no terminator of its own.
inline void WriteRaw(const std::wstring& path, const std::wstring& name, const RawValue& value) {
    unique_hkey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                               nullptr, key.put(), nullptr));
    std::vector<BYTE> buffer = value.data;
    buffer.insert(buffer.end(), {0xFF, 0xFF});
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key.get(), name.c_str(), 0, value.type, buffer.data(),
                                              static_cast<DWORD>(value.data.size())));
}

inline void CreateRawKey(const std::wstring& path) {
    unique_hkey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                               nullptr, key.put(), nullptr));
}

inline void DeleteRawTree(const std::wstring& path) {
    ::RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
    ::RegDeleteKeyW(HKEY_CURRENT_USER, path.c_str());
}

inline std::vector<std::wstring> SubkeyNames(HKEY key) {
    std::vector<std::wstring> names;
    wchar_t name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = 256;
        if (::RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(name, length);
    }
    return names;
}

inline void ReadTreeInto(const std::wstring& path, const std::wstring& relative, KeyTree& tree) {
    const unique_hkey key = OpenRaw(path);
    if (!key) return;
    auto& values = tree[relative];
    wchar_t name[16384];
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = 16384;
        DWORD size = 0;
        DWORD type = REG_NONE;
        if (::RegEnumValueW(key.get(), index, name, &nameLength, nullptr, &type, nullptr, &size) !=
            ERROR_SUCCESS) {
            break;
        }
        RawValue value{type, std::vector<BYTE>(size)};
        nameLength = 16384;
        ::RegEnumValueW(key.get(), index, name, &nameLength, nullptr, &type, value.data.data(), &size);
        values[std::wstring(name, nameLength)] = value;
    }
    for (const std::wstring& subkey : SubkeyNames(key.get())) {
        ReadTreeInto(path + L"\\" + subkey, relative.empty() ? subkey : relative + L"\\" + subkey, tree);
    }
}

// Empty when the key does not exist.
inline KeyTree ReadTree(const std::wstring& path) {
    KeyTree tree;
    ReadTreeInto(path, L"", tree);
    return tree;
}

// A key of its own under HKCU\Software\TessaraSystemTests for each test, removed afterwards.
class ScratchKey {
public:
    ScratchKey() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        const std::string name = std::string(info->test_suite_name()) + "." + info->name();
        m_path = L"Software\\TessaraSystemTests\\" + std::wstring(name.begin(), name.end()) + L"-" +
                 std::to_wstring(::GetCurrentProcessId());
        for (wchar_t& c : m_path) {
            if (c == L'/') c = L'_';
        }
        DeleteRawTree(m_path);
        CreateRawKey(m_path);
    }
    ~ScratchKey() {
        DeleteRawTree(m_path);
        ::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\TessaraSystemTests");
    }
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;

    const std::wstring& path() const { return m_path; }
    std::wstring operator/(const std::wstring& sub) const { return m_path + L"\\" + sub; }

private:
    std::wstring m_path;
};

inline void WriteFileOfSize(const std::filesystem::path& path, size_t size) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << std::string(size, 'x');
}

// Programs built beside the tests (TESSARA_TEST_DATA_DIR).
inline std::filesystem::path DataFile(const char* name) {
    return std::filesystem::absolute(std::filesystem::path(TESSARA_TEST_DATA_DIR) / name);
}

}  // namespace tessara::test
