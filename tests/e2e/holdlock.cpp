// Holds the user's run lock, as a run of the setup program does, until it is killed. It announces that
// it holds the lock by creating the marker file.
#include <windows.h>

#include "app/RunLock.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return 2;
    tessara::CUserLock lock = tessara::CUserLock::ForRuns();
    if (lock.Acquire(0) != tessara::CUserLock::Outcome::Held) return 1;
    const HANDLE marker =
        ::CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ::Sleep(INFINITE);
    ::CloseHandle(marker);
    return 0;
}
