#pragma once
// The report a user can mail to us after a failed installation: a few lines about the machine and
// the step that failed, handed to the user's mail program through Simple MAPI.
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessara {

// What the report tells about the machine; a query that failed leaves its line out.
struct ErrorReportFacts {
    std::optional<OSVERSIONINFOEXA> version;
    std::optional<ULONGLONG> totalPhysicalBytes;
    DWORD processorCount = 0;
    WORD processorArchitecture = 0;
};

// The facts as the system reports them to this (32-bit) program.
ErrorReportFacts ReadErrorReportFacts();
// The report's lines, without line ends: title, empty line, the facts, and the failed step for the
// stage codes of a failed step.
std::vector<std::string> FormatErrorReport(const ErrorReportFacts& facts, uint32_t stage);

// Writes the report for the stage code into a new file in the temporary folder and returns its path.
std::wstring WriteErrorReport(uint32_t stage);
// Opens a mail message with the report attached. False when no mail program took it.
bool SendErrorReport(std::wstring reportPath);
// Opens the folder holding the file in the shell, with the file selected. COM must be initialised.
bool ShowFileInFolder(const std::wstring& path);

}  // namespace tessara
