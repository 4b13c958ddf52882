// Prints registry keys under HKEY_CURRENT_USER as JSON, a line per key (values with their exact type and
// byte count, and the names of the subkeys), so that host-side tests can read the Wine prefix's registry
// exactly. One run reads every key a test looks at: each run is a Wine process to start.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                          nullptr);
    return out;
}

std::string JsonString(const std::wstring& text) {
    std::string out = "\"";
    for (const char c : Utf8(text)) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string DumpKey(const wchar_t* path) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "{\"exists\": false}";
    std::string json = "{\"exists\": true, \"values\": {";
    for (DWORD index = 0;; ++index) {
        wchar_t name[16384];
        DWORD nameLength = 16384, type = 0, size = 0;
        if (::RegEnumValueW(key, index, name, &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            break;
        std::vector<unsigned char> data(size + 1);
        nameLength = 16384;
        ::RegEnumValueW(key, index, name, &nameLength, nullptr, &type, data.data(), &size);
        char hex[3];
        std::string hexData;
        for (DWORD i = 0; i < size; ++i) {
            std::snprintf(hex, sizeof hex, "%02x", data[i]);
            hexData += hex;
        }
        json += (index ? ", " : "") + JsonString(std::wstring(name, nameLength)) +
                ": {\"type\": " + std::to_string(type) + ", \"size\": " + std::to_string(size) +
                ", \"hex\": \"" + hexData + "\"}";
    }
    json += "}, \"subkeys\": [";
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (::RegEnumKeyExW(key, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        json += (index ? ", " : "") + JsonString(std::wstring(name, nameLength));
    }
    json += "]}";
    ::RegCloseKey(key);
    return json;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fputs("usage: regdump <path under HKEY_CURRENT_USER>...\n", stderr);
        return 2;
    }
    for (int i = 1; i < argc; ++i) std::puts(DumpKey(argv[i]).c_str());
    return 0;
}
