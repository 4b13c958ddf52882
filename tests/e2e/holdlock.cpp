// Holds the user's run lock, as a run of the setup program does, until it is killed or, when a second
// path is given, until a file appears there: then it lets go within a millisecond or two. It announces
// that it holds the lock by creating the marker file.
#include <windows.h>

#include "app/RunLock.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2 && argc != 3) return 2;
    tessara::CUserLock lock = tessara::CUserLock::ForRuns();
    if (lock.Acquire(0) != tessara::CUserLock::Outcome::Held) return 1;
    const HANDLE marker =
        ::CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    while (argc == 2 || ::GetFileAttributesW(argv[2]) == INVALID_FILE_ATTRIBUTES) ::Sleep(1);
    ::CloseHandle(marker);
    return 0;
}
