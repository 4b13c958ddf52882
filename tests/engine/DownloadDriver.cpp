// Runs one DownloadPayload for the download tests and prints what reached the progress report:
//   download_driver <url> <file> [--no-report] [--cancel-at <percent>] [--cancel-before-start]
//                   [--cancel-after <milliseconds>] [--log <file>]
// Prints "range N" and "progress N" lines as they arrive, then "result 0" or "result 1".
// Looks into the user's Internet cache for the cache tests:
//   download_driver --cache-entry <url>   prints "cache-entry 1" when the cache index has the URL
//   download_driver --fill-cache <url>    downloads the URL into the cache the way a browser would
#include <windows.h>
#include <urlmon.h>
#include <wininet.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "app/Log.h"
#include "app/ScopedWin.h"
#include "engine/Download.h"

namespace {

class CPrintingReport : public tessara::IProgressReport {
public:
    CPrintingReport(int cancelAt, bool cancelled, DWORD cancelAfter)
        : m_cancelAt(cancelAt), m_cancelled(cancelled), m_cancelTime(::GetTickCount64() + cancelAfter) {}

    void SetProgressRange(int range) override { Print("range", range); }
    void SetProgress(int percent) override {
        Print("progress", percent);
        if (m_cancelAt >= 0 && percent >= m_cancelAt) m_cancelled = true;
    }
    void OnFinished() override {}
    bool IsCancelled() override { return m_cancelled || ::GetTickCount64() >= m_cancelTime; }

private:
    static void Print(const char* what, int value) {
        std::printf("%s %d\n", what, value);
        std::fflush(stdout);
    }

    int m_cancelAt;
    bool m_cancelled;
    ULONGLONG m_cancelTime;
};

bool HasCacheEntry(const wchar_t* url) {
    DWORD size = 0;
    return ::GetUrlCacheEntryInfoW(url, nullptr, &size) || ::GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wstring(argv[1]) == L"--cache-entry") {
        std::printf("cache-entry %d\n", HasCacheEntry(argv[2]) ? 1 : 0);
        return 0;
    }
    if (argc == 3 && std::wstring(argv[1]) == L"--fill-cache") {
        tessara::ScopedCom com;
        wchar_t cacheFile[MAX_PATH] = {};
        return SUCCEEDED(::URLDownloadToCacheFileW(nullptr, argv[2], cacheFile, MAX_PATH, 0, nullptr)) ? 0
                                                                                                       : 1;
    }
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: download_driver <url> <file> [--no-report] [--cancel-at N] "
                     "[--cancel-before-start] [--cancel-after MS]\n");
        return 2;
    }
    bool withReport = true;
    bool cancelledFromStart = false;
    int cancelAt = -1;
    DWORD cancelAfter = INFINITE;
    for (int i = 3; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--no-report") {
            withReport = false;
        } else if (option == L"--cancel-before-start") {
            cancelledFromStart = true;
        } else if (option == L"--cancel-after" && i + 1 < argc) {
            cancelAfter = std::wcstoul(argv[++i], nullptr, 10);
        } else if (option == L"--log" && i + 1 < argc) {
            tessara::LogOpen(argv[++i]);
        } else if (option == L"--cancel-at" && i + 1 < argc) {
            cancelAt = std::wcstol(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr, "unknown option %ls\n", option.c_str());
            return 2;
        }
    }

    tessara::ScopedCom com;
    CPrintingReport report(cancelAt, cancelledFromStart, cancelAfter);
    // As the payload pipeline does, so that the tests see how the URL reaches the log.
    tessara::LogFormat("Starting file download from %S", argv[1]);
    const bool ok = tessara::DownloadPayload(withReport ? &report : nullptr, argv[1], argv[2]);
    std::printf("result %d\n", ok ? 1 : 0);
    return 0;
}
