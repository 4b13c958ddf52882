#pragma once
// What the program writes is on the disk before anything is given up on its account: the system keeps
// written data in memory for a while, and a power cut then loses it even though every write succeeded.
// Writers hand each finished file over instead of closing it; helper threads flush and close it while
// the writers go on, so that the flushes, each a wait for the disk, overlap each other and the writing.
// WaitUntilOnDisk then waits only for the last of them. A folder whose files are still being flushed
// can be neither renamed nor emptied: a run waits before it moves or removes such a folder.
#include <windows.h>

#include <string>

#include "app/ScopedWin.h"

namespace tessara {

// Flushes and closes a file the program wrote, on a helper thread.
void FlushInBackground(unique_file_handle file, const std::wstring& path);
// Opens again, flushes and closes a file the system wrote for the program (a copy), on a helper thread.
void FlushInBackground(const std::wstring& path);
// Waits for every file handed over so far. False when any of them could not be flushed since the last
// call (each such file is logged): what depends on them must not go ahead.
bool WaitUntilOnDisk();
// Flushes an open file now.
[[nodiscard]] bool FlushNow(HANDLE file, const std::wstring& path);
// Writes the current user's registry hive to the disk; the system otherwise does it lazily.
bool FlushRegistry();

}  // namespace tessara
