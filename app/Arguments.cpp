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

bool TakesValue(std::wstring_view argument) {
    return IsZipUrlSwitch(argument) || IsLogSwitch(argument) || IsWaitLimitSwitch(argument) ||
           IsRefusedPackageSwitch(argument);
}

}  // namespace

bool IsZipUrlSwitch(std::wstring_view argument) { return IsWholeSwitch(argument, L"/zipUrl"); }

bool IsLogSwitch(std::wstring_view argument) { return IsWholeSwitch(argument, L"/log"); }

bool IsWaitLimitSwitch(std::wstring_view argument) { return IsWholeSwitch(argument, L"/waitLimit"); }

bool IsRefusedPackageSwitch(std::wstring_view argument) {
    return IsWholeSwitch(argument, L"/refusedPackage");
}

namespace {

// The value after the last `isSwitch`; the values of the other switches are skipped, never taken for one.
std::optional<std::wstring> LastValueOf(const std::vector<std::wstring>& arguments,
                                        bool (*isSwitch)(std::wstring_view)) {
    std::optional<std::wstring> value;
    for (size_t i = 0; i + 1 < arguments.size(); ++i) {
        if (isSwitch(arguments[i])) {
            value = arguments[++i];
        } else if (TakesValue(arguments[i])) {
            ++i;
        }
    }
    return value;
}

}  // namespace

std::wstring LogPathArgument(const std::vector<std::wstring>& arguments) {
    return LastValueOf(arguments, IsLogSwitch).value_or(std::wstring());
}

std::optional<std::wstring> ZipUrlArgument(const std::vector<std::wstring>& arguments) {
    return LastValueOf(arguments, IsZipUrlSwitch);
}

std::optional<std::wstring> RefusedPackageArgument(const std::vector<std::wstring>& arguments) {
    return LastValueOf(arguments, IsRefusedPackageSwitch);
}

std::optional<unsigned long> WaitLimitArgument(const std::vector<std::wstring>& arguments) {
    const std::optional<std::wstring> text = LastValueOf(arguments, IsWaitLimitSwitch);
    if (!text || text->empty() || text->size() > 9 ||
        text->find_first_not_of(L"0123456789") != std::wstring::npos)
        return std::nullopt;
    return std::stoul(*text);
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
