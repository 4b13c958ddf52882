#pragma once
// Payloads taken from a folder, a share or a file URL instead of a web server: administrators deploy
// from shares. The file is copied into the download file in pieces, with progress and cancellation, and
// from there goes through the same checks as a download.
#include <optional>
#include <string>

#include "app/InstallStage.h"
#include "engine/Download.h"

namespace tessara {

// The file that a payload source names when it is a path ("C:\...", "\\server\share\...") or a file
// URL ("file:///C:/...", "file://server/share/...", percent-encoded UTF-8); nothing for any other URL.
std::optional<std::wstring> LocalSourcePath(const std::wstring& source);

// Copies the file at `source` into downloadFile and lets the follower unpack the copy. Nothing is tried
// twice: a missing file or a refused read stays so for the length of a run. The reason for a failure is
// logged in words.
bool CopyLocalSource(IProgressReport* report, const std::wstring& source, const std::wstring& downloadFile,
                     const BodyFollower& follow);

}  // namespace tessara
