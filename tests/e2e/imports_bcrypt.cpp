// A program built the way the setup program once was, with bcrypt.dll in its import table: shows that
// a planted bcrypt.dll beside it is loaded, so the planted-library tests can tell loaded from not.
#include <windows.h>
#include <bcrypt.h>

int wmain(int argc, wchar_t**) {
    // Never called, yet imported: the loader resolves the import when the program starts.
    BCRYPT_ALG_HANDLE provider = nullptr;
    return argc > 99 ? static_cast<int>(::BCryptOpenAlgorithmProvider(&provider, L"SHA256", nullptr, 0)) : 0;
}
