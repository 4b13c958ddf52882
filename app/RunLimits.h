#pragma once
// Limits of an installation run, and the points at which a run can be stopped. The shipped program
// uses the fixed values of app/RunLimits.cpp and never stops; the test build of the program links
// its own definitions instead, which read lower limits and a point to stop at from its environment.
#include <cstdint>
#include <string>

namespace tessara {

// A download that receives no byte for this long fails.
uint32_t DownloadStallMilliseconds();
// A download gives up when nothing has arrived from its server for this long in all: silences,
// failed attempts and pauses between attempts draw on it alike, and every byte that arrives renews it.
uint32_t DownloadWaitLimitMilliseconds();
// The first pause between two attempts of a download; each further pause doubles it.
uint32_t DownloadRetryPauseMilliseconds();
// A download whose body grows past this many bytes fails.
uint64_t DownloadSizeLimit();
// How long a silent run waits for another run of the same user before it gives up.
uint32_t RunLockWaitMilliseconds();
// Marks a step boundary of a run by name ("downloaded", "backed-up", "committed", ...).
void PassStopPoint(const char* name);
// Marks a durable step about to be taken (a journal or undo record write, a rename, a delete, a
// registry change): the test build numbers them in the order a run passes them and can end the
// process abruptly before any one of them.
void PassDurableStep(const char* step);
// What a power cut would take: the test build keeps account of the files written and not flushed yet,
// follows them through folder renames, and keeps the registry as it was at its last flush, so that a
// test can damage exactly that at a cut.
void NoteFileWritten(const std::wstring& path);
void NoteFileFlushed(const std::wstring& path);
void NoteFolderMoved(const std::wstring& from, const std::wstring& to);
void NoteRegistryFlushed();

}  // namespace tessara
