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

bool IsZipUrlSwitch(std::wstring_view argument) {
    constexpr std::wstring_view kZipUrl = L"/zipUrl";
    return argument.size() == kZipUrl.size() &&
           ::CompareStringOrdinal(argument.data(), static_cast<int>(argument.size()), kZipUrl.data(),
                                  static_cast<int>(kZipUrl.size()), TRUE) == CSTR_EQUAL;
}

bool HasSwitch(const std::vector<std::wstring>& arguments, std::wstring_view name) {
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (IsZipUrlSwitch(arguments[i])) {
            ++i;
        } else if (arguments[i].compare(0, name.size(), name) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace tessara
