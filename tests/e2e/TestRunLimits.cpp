// The test build's limits: lower stall time and overall wait, shorter pauses between download attempts, size
// limit and lock wait from the environment, and a run that ends itself, as a kill would, at the step boundary
// named in TESSARA_TEST_STOP_AT or before the durable step numbered TESSARA_TEST_CRASH_AT (counted from 1
// over the whole process). With TESSARA_TEST_CRASH_TRACE naming a file, every durable step is appended to it
// as "<number> <step>". It also paints in a high-contrast theme when TESSARA_TEST_HIGH_CONTRAST is set.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/RunLimits.h"
#include "ui/Painting.h"

namespace tessara {
namespace {

uint64_t NumberFromEnvironment(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 10) : fallback;
}

}  // namespace

uint32_t DownloadStallMilliseconds() {
    return static_cast<uint32_t>(NumberFromEnvironment("TESSARA_TEST_STALL_MS", 60 * 1000));
}

uint32_t DownloadWaitLimitMilliseconds() {
    return static_cast<uint32_t>(NumberFromEnvironment("TESSARA_TEST_WAIT_LIMIT_MS", 3 * 60 * 1000));
}

uint32_t DownloadRetryPauseMilliseconds() {
    return static_cast<uint32_t>(NumberFromEnvironment("TESSARA_TEST_RETRY_PAUSE_MS", 1000));
}

uint64_t DownloadSizeLimit() { return NumberFromEnvironment("TESSARA_TEST_SIZE_LIMIT", 4ull << 30); }

uint32_t RunLockWaitMilliseconds() {
    return static_cast<uint32_t>(NumberFromEnvironment("TESSARA_TEST_LOCK_WAIT_MS", 10 * 60 * 1000));
}

void PassStopPoint(const char* name) {
    const char* stopAt = std::getenv("TESSARA_TEST_STOP_AT");
    if (stopAt && std::strcmp(stopAt, name) == 0) ::TerminateProcess(::GetCurrentProcess(), 99);
}

void PassDurableStep(const char* step) {
    static std::atomic<uint64_t> passed{0};
    const uint64_t number = ++passed;
    if (const char* trace = std::getenv("TESSARA_TEST_CRASH_TRACE")) {
        if (FILE* file = std::fopen(trace, "a")) {
            std::fprintf(file, "%llu %s\n", static_cast<unsigned long long>(number), step);
            std::fclose(file);
        }
    }
    if (NumberFromEnvironment("TESSARA_TEST_CRASH_AT", 0) == number)
        ::TerminateProcess(::GetCurrentProcess(), 99);
}

bool IsHighContrast() { return std::getenv("TESSARA_TEST_HIGH_CONTRAST") != nullptr; }

}  // namespace tessara
