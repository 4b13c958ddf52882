// Runs one DownloadPayload for the download tests and prints what reached the progress report:
//   download_driver <url> <file> [--no-report] [--cancel-at <percent>] [--cancel-before-start]
// Prints "range N" and "progress N" lines as they arrive, then "result 0" or "result 1".
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "app/ScopedWin.h"
#include "engine/Download.h"

namespace {

class CPrintingReport : public tessara::IProgressReport {
public:
    CPrintingReport(int cancelAt, bool cancelled) : m_cancelAt(cancelAt), m_cancelled(cancelled) {}

    void SetProgressRange(int range) override { Print("range", range); }
    void SetProgress(int percent) override {
        Print("progress", percent);
        if (m_cancelAt >= 0 && percent >= m_cancelAt) m_cancelled = true;
    }
    void OnFinished() override {}
    bool IsCancelled() override { return m_cancelled; }

private:
    static void Print(const char* what, int value) {
        std::printf("%s %d\n", what, value);
        std::fflush(stdout);
    }

    int m_cancelAt;
    bool m_cancelled;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: download_driver <url> <file> [--no-report] [--cancel-at N] "
                     "[--cancel-before-start]\n");
        return 2;
    }
    bool withReport = true;
    bool cancelledFromStart = false;
    int cancelAt = -1;
    for (int i = 3; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--no-report") {
            withReport = false;
        } else if (option == L"--cancel-before-start") {
            cancelledFromStart = true;
        } else if (option == L"--cancel-at" && i + 1 < argc) {
            cancelAt = std::wcstol(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr, "unknown option %ls\n", option.c_str());
            return 2;
        }
    }

    tessara::ScopedCom com;
    CPrintingReport report(cancelAt, cancelledFromStart);
    const bool ok = tessara::DownloadPayload(withReport ? &report : nullptr, argv[1], argv[2]);
    std::printf("result %d\n", ok ? 1 : 0);
    return 0;
}
