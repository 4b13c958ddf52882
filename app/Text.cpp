#include "app/Text.h"

#include <algorithm>
#include <vector>

namespace tessara {
namespace {

bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

// Windows drops trailing dots and blanks from a name, so "notes.txt." is stored as "notes.txt" and
// "..." or ".. " could end up meaning the parent.
bool IsTrimmedByWindows(std::wstring_view name) {
    return !name.empty() && (name.back() == L'.' || name.back() == L' ') && name != L"." && name != L"..";
}

// "con", "nul", "com1" and the like name devices, also with an extension ("aux.txt"): writing such a
// name opens the device rather than a file in the folder.
bool IsDeviceName(std::wstring_view name) {
    const std::wstring_view base = name.substr(0, name.find(L'.'));
    static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* device : kDevices) {
        if (EqualsIgnoringCase(base, device)) return true;
    }
    if (base.size() == 4 &&
        (EqualsIgnoringCase(base.substr(0, 3), L"COM") || EqualsIgnoringCase(base.substr(0, 3), L"LPT"))) {
        return base[3] >= L'1' && base[3] <= L'9';
    }
    return false;
}

}  // namespace

std::optional<std::wstring> WidenText(const std::string& text, UINT codePage) {
    if (text.empty()) return std::wstring();
    const int size = static_cast<int>(text.size());
    const int length = ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (length <= 0) return std::nullopt;
    std::wstring wide(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), length);
    return wide;
}

std::optional<std::string> NarrowText(const std::wstring& text, UINT codePage, bool* exact) {
    if (exact) *exact = true;
    if (text.empty()) return std::string();
    // A UTF-8 code page holds every character, and refuses both the flag and the question.
    const bool utf8 = codePage == CP_UTF8 || (codePage == CP_ACP && ::GetACP() == CP_UTF8);
    const DWORD flags = exact && !utf8 ? WC_NO_BEST_FIT_CHARS : 0;
    BOOL lossy = FALSE;
    BOOL* const lossyOut = exact && !utf8 ? &lossy : nullptr;
    const int length = static_cast<int>(text.size());
    const int size =
        ::WideCharToMultiByte(codePage, flags, text.data(), length, nullptr, 0, nullptr, lossyOut);
    if (size <= 0) return std::nullopt;
    std::string narrow(static_cast<size_t>(size), '\0');
    if (::WideCharToMultiByte(codePage, flags, text.data(), length, narrow.data(), size, nullptr, lossyOut) !=
        size)
        return std::nullopt;
    if (exact) *exact = !lossy;
    return narrow;
}

bool StaysInsideFolder(std::wstring_view relative) {
    if (relative.empty() || IsSeparator(relative.front()) || relative.find(L':') != std::wstring_view::npos) {
        return false;
    }
    int depth = 0;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = start;
        while (end < relative.size() && !IsSeparator(relative[end])) ++end;
        const std::wstring_view name = relative.substr(start, end - start);
        if (IsTrimmedByWindows(name) || IsDeviceName(name)) return false;
        if (name == L"..") {
            if (--depth < 0) return false;
        } else if (!name.empty() && name != L".") {
            ++depth;
        }
        start = end + 1;
    }
    return true;
}

std::wstring ResolveDotComponents(std::wstring_view relative) {
    std::vector<std::wstring> components;
    for (size_t start = 0; start <= relative.size();) {
        const size_t end = std::min(relative.find_first_of(L"\\/", start), relative.size());
        const std::wstring name(relative.substr(start, end - start));
        if (name == L"..") {
            if (!components.empty()) components.pop_back();
        } else if (!name.empty() && name != L".") {
            components.push_back(name);
        }
        start = end + 1;
    }
    std::wstring resolved;
    for (const std::wstring& name : components) resolved = JoinPath(resolved, name);
    return resolved;
}

bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() && ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                                          static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool IsInsideFolder(const std::wstring& path, const std::wstring& folder) {
    const std::wstring prefix = JoinPath(folder, L"");
    return !folder.empty() && path.size() > prefix.size() &&
           EqualsIgnoringCase(std::wstring_view(path).substr(0, prefix.size()), prefix) &&
           StaysInsideFolder(std::wstring_view(path).substr(prefix.size()));
}

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name) {
    if (folder.empty() || IsSeparator(folder.back())) return folder + name;
    return folder + L'\\' + name;
}

namespace {

struct TableChoice {
    LANGID wanted;
    LANGID exact = 0;
    LANGID samePrimary = 0;
    bool hasEnglish = false;
};

BOOL CALLBACK NoteTableLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR parameter) {
    auto& choice = *reinterpret_cast<TableChoice*>(parameter);
    if (language == choice.wanted) choice.exact = language;
    if (!choice.samePrimary && PRIMARYLANGID(language) == PRIMARYLANGID(choice.wanted))
        choice.samePrimary = language;
    choice.hasEnglish = choice.hasEnglish || language == kEnglishTable;
    return TRUE;
}

}  // namespace

LANGID StringTableLanguage(HINSTANCE module, UINT id, LANGID uiLanguage) {
    TableChoice choice{uiLanguage};
    ::EnumResourceLanguagesW(module, RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), NoteTableLanguage,
                             reinterpret_cast<LONG_PTR>(&choice));
    if (choice.exact) return choice.exact;
    if (choice.samePrimary) return choice.samePrimary;
    return choice.hasEnglish ? kEnglishTable : 0;
}

std::wstring LoadResourceText(HINSTANCE module, UINT id, LANGID uiLanguage) {
    const LANGID language = StringTableLanguage(module, id, uiLanguage);
    const HRSRC block =
        language ? ::FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), language) : nullptr;
    const auto* entry =
        block ? static_cast<const wchar_t*>(::LockResource(::LoadResource(module, block))) : nullptr;
    if (!entry) return std::wstring();
    // A block holds 16 texts, each its length and then its characters.
    for (UINT skip = id % 16; skip > 0; --skip) entry += 1 + *entry;
    return std::wstring(entry + 1, *entry);
}

std::wstring LoadResourceText(HINSTANCE module, UINT id) {
    return LoadResourceText(module, id, ::GetUserDefaultUILanguage());
}

}  // namespace tessara
