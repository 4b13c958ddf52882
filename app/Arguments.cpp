#include "app/Arguments.h"

#include <windows.h>
#include <shellapi.h>

#include "app/ScopedWin.h"

namespace tessara {

std::vector<std::wstring> SplitArguments(const wchar_t* commandLine) {
    int count = 0;
    const unique_hlocal argvHolder(reinterpret_cast<HLOCAL>(::CommandLineToArgvW(commandLine, &count)));
    auto* const argv = static_cast<LPWSTR*>(argvHolder.get());
    if (!argv) return {};
    return std::vector<std::wstring>(argv + (count > 0 ? 1 : 0), argv + count);
}

namespace {

bool IsWholeSwitch(std::wstring_view argument, std::wstring_view name) {
    return argument.size() == name.size() &&
           ::CompareStringOrdinal(argument.data(), static_cast<int>(argument.size()), name.data(),
                                  static_cast<int>(name.size()), TRUE) == CSTR_EQUAL;
}

bool TakesValue(std::wstring_view argument) { return IsZipUrlSwitch(argument) || IsLogSwitch(argument); }

}  // namespace

bool IsZipUrlSwitch(std::wstring_view argument) { return IsWholeSwitch(argument, L"/zipUrl"); }

bool IsLogSwitch(std::wstring_view argument) { return IsWholeSwitch(argument, L"/log"); }

std::wstring LogPathArgument(const std::vector<std::wstring>& arguments) {
    std::wstring path;
    for (size_t i = 0; i + 1 < arguments.size(); ++i) {
        if (IsZipUrlSwitch(arguments[i])) {
            ++i;
        } else if (IsLogSwitch(arguments[i])) {
            path = arguments[++i];
        }
    }
    return path;
}

bool HasSwitch(const std::vector<std::wstring>& arguments, std::wstring_view name) {
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (TakesValue(arguments[i])) {
            ++i;
        } else if (arguments[i].compare(0, name.size(), name) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace tessara
