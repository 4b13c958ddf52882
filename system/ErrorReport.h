#pragma once
// The report a user can mail to us after a failed installation: a few lines about the machine and
// the step that failed, handed to the user's mail program through Simple MAPI.
#include <cstdint>
#include <string>

namespace tessara {

// Writes the report for the stage code into a new file in the temporary folder and returns its path.
std::wstring WriteErrorReport(uint32_t stage);
// Opens a mail message with the report attached. False when no mail program took it.
bool SendErrorReport(std::wstring reportPath);

}  // namespace tessara
