#pragma once
// The name of one installation or uninstallation run.
#include <string>

namespace tessara {

// The process and the moment: no two runs share one.
std::wstring NewRunId();

}  // namespace tessara
