#include "app/RunId.h"

#include <windows.h>

#include "app/Text.h"

namespace tessara {

std::wstring NewRunId() {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    return Hex(::GetCurrentProcessId(), 8) + L"-" + Hex(FileTimeNumber(now), 16);
}

}  // namespace tessara
