#include "app/RunLimits.h"

#ifndef TESSARA_DOWNLOAD_SIZE_LIMIT
#define TESSARA_DOWNLOAD_SIZE_LIMIT (4ull << 30)
#endif

namespace tessara {

uint32_t DownloadStallMilliseconds() { return 60 * 1000; }

uint32_t DownloadWaitLimitMilliseconds() { return 3 * 60 * 1000; }

uint32_t DownloadRetryPauseMilliseconds() { return 1000; }

uint64_t DownloadSizeLimit() { return TESSARA_DOWNLOAD_SIZE_LIMIT; }

uint32_t RunLockWaitMilliseconds() { return 10 * 60 * 1000; }

void PassStopPoint(const char*) {}

void PassDurableStep(const char*) {}

void NoteFileWritten(const std::wstring&) {}

void NoteFileFlushed(const std::wstring&) {}

void NoteFolderMoved(const std::wstring&, const std::wstring&) {}

void NoteRegistryFlushed() {}

}  // namespace tessara
