#include "system/PackageRecord.h"

#include <windows.h>
#include <wincrypt.h>

#include <optional>
#include <vector>

#include "app/HttpText.h"
#include "app/Log.h"
#include "app/ScopedWin.h"
#include "app/SystemLibrary.h"
#include "system/RegistryValues.h"

namespace tessara {
namespace {

constexpr wchar_t kZipUrlValue[] = L"ZipUrl";
constexpr wchar_t kProtectedZipUrlValue[] = L"ZipUrlProtected";
constexpr wchar_t kPackageVersionValue[] = L"PackageVersion";
// Binds the protected data to this use: another blob of the same user does not pass for ours.
constexpr char kProtectionPurpose[] = "TessaraAppSetup remembered ZIPURL";

DATA_BLOB BlobOf(const void* data, size_t size) {
    return DATA_BLOB{static_cast<DWORD>(size), static_cast<BYTE*>(const_cast<void*>(data))};
}

// The text protected for the current user; empty when the system would not protect it.
std::vector<BYTE> ProtectForUser(const std::wstring& text) {
    static const auto protect = CryptoFunction<decltype(&::CryptProtectData)>("CryptProtectData");
    DATA_BLOB plain = BlobOf(text.data(), text.size() * sizeof(wchar_t));
    DATA_BLOB purpose = BlobOf(kProtectionPurpose, sizeof kProtectionPurpose - 1);
    DATA_BLOB sealed{};
    if (!protect || !protect(&plain, nullptr, &purpose, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &sealed))
        return {};
    const unique_hlocal owner(sealed.pbData);
    return std::vector<BYTE>(sealed.pbData, sealed.pbData + sealed.cbData);
}

std::optional<std::wstring> UnprotectForUser(const std::vector<BYTE>& data) {
    static const auto unprotect = CryptoFunction<decltype(&::CryptUnprotectData)>("CryptUnprotectData");
    DATA_BLOB sealed = BlobOf(data.data(), data.size());
    DATA_BLOB purpose = BlobOf(kProtectionPurpose, sizeof kProtectionPurpose - 1);
    DATA_BLOB plain{};
    if (!unprotect ||
        !unprotect(&sealed, nullptr, &purpose, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &plain))
        return std::nullopt;
    const unique_hlocal owner(plain.pbData);
    if (plain.cbData % sizeof(wchar_t) != 0) return std::nullopt;
    return std::wstring(reinterpret_cast<const wchar_t*>(plain.pbData), plain.cbData / sizeof(wchar_t));
}

std::optional<ValueImage> ReadRecordValue(const wchar_t* name, DWORD type) {
    const unique_hkey key = OpenKeyOutside(HKEY_CURRENT_USER, kPackageRecordKey, KEY_QUERY_VALUE);
    std::optional<ValueImage> value;
    if (!key || !ReadValue(key.get(), name, value) || !value || value->type != type) return std::nullopt;
    return value;
}

}  // namespace

std::wstring WithRememberedCredentials(const std::wstring& url) {
    if (SplitUrlCredentials(url).present) return url;
    const std::optional<ValueImage> value = ReadRecordValue(kProtectedZipUrlValue, REG_BINARY);
    if (!value) return url;
    const std::optional<std::wstring> remembered = UnprotectForUser(value->data);
    if (!remembered) {
        LogWrite(
            "The credentials remembered for the package's URL cannot be read back; the URL is used without "
            "them");
        return url;
    }
    if (SplitUrlCredentials(*remembered).url != url) return url;
    LogWrite("The package's URL is used with the user name and password remembered for it");
    return *remembered;
}

bool RememberPackageUrl(const std::wstring& url) {
    unique_hkey key;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, kPackageRecordKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                          key.put(), nullptr) != ERROR_SUCCESS) {
        LogWrite("Could not remember the package's URL for a repair");
        return false;
    }
    const UrlCredentials parts = SplitUrlCredentials(url);
    const std::vector<BYTE> sealed = parts.present ? ProtectForUser(url) : std::vector<BYTE>();
    if (parts.present && sealed.empty())
        LogWrite(
            "The user name and password of the package's URL cannot be protected; a repair must be given "
            "them again");
    const DWORD urlSize = static_cast<DWORD>((parts.url.size() + 1) * sizeof(wchar_t));
    bool written =
        ::RegSetValueExW(key.get(), kZipUrlValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(parts.url.c_str()),
                         urlSize) == ERROR_SUCCESS;
    if (sealed.empty()) {
        const LSTATUS removed = ::RegDeleteValueW(key.get(), kProtectedZipUrlValue);
        written = written && (removed == ERROR_SUCCESS || removed == ERROR_FILE_NOT_FOUND);
    } else {
        written = written && ::RegSetValueExW(key.get(), kProtectedZipUrlValue, 0, REG_BINARY, sealed.data(),
                                              static_cast<DWORD>(sealed.size())) == ERROR_SUCCESS;
    }
    if (!written) LogWrite("Could not remember the package's URL for a repair");
    return written;
}

std::wstring RecordedPackageVersion() {
    const std::optional<ValueImage> value = ReadRecordValue(kPackageVersionValue, REG_SZ);
    if (!value) return {};
    std::wstring text(reinterpret_cast<const wchar_t*>(value->data.data()),
                      value->data.size() / sizeof(wchar_t));
    return text.substr(0, text.find(L'\0'));
}

}  // namespace tessara
