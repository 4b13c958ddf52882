// Keeps a file open the way a program that uses it would (others may read it, nobody may delete or
// replace it; with a third argument "delete", others may delete it) until it is killed. It announces
// that it holds the file by creating the marker file.
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 && argc != 4) return 2;
    const DWORD share = argc == 4 ? FILE_SHARE_READ | FILE_SHARE_DELETE : FILE_SHARE_READ;
    const HANDLE file =
        ::CreateFileW(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    const HANDLE marker =
        ::CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ::Sleep(INFINITE);
    ::CloseHandle(marker);
    ::CloseHandle(file);
    return 0;
}
