// url_download: the plain tools' download step for scripts/bench-install.sh, the system's
// URLDownloadToFileW and nothing else, so that both sides of the comparison fetch through urlmon.
//   usage: url_download URL FILE
#include <windows.h>
#include <urlmon.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: url_download URL FILE\n");
        return 2;
    }
    const HRESULT result = ::URLDownloadToFileW(nullptr, argv[1], argv[2], 0, nullptr);
    if (FAILED(result)) std::fprintf(stderr, "url_download: 0x%08lx\n", static_cast<unsigned long>(result));
    return SUCCEEDED(result) ? 0 : 1;
}
