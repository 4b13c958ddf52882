#include "system/ErrorReport.h"

namespace tessara {

// Placeholder until the report is written and mailed.
std::wstring WriteErrorReport(uint32_t) { return {}; }

bool SendErrorReport(std::wstring) { return false; }

}  // namespace tessara
