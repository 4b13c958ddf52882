#include "app/RunLock.h"

#include <windows.h>

#include <iterator>
#include <string>

#include "app/Log.h"

namespace tessara {

unique_held_mutex AcquireRunLock() {
    wchar_t user[256 + 1] = {};
    DWORD size = static_cast<DWORD>(std::size(user));
    if (!::GetUserNameW(user, &size)) user[0] = L'\0';
    const std::wstring name = std::wstring(L"Global\\Orvix Tessara Setup ") + user;
    unique_held_mutex lock(::CreateMutexW(nullptr, FALSE, name.c_str()));
    if (!lock) return lock;
    if (::WaitForSingleObject(lock.get(), 0) == WAIT_TIMEOUT) {
        LogWrite("Another setup run is in progress, waiting for it to end");
        // An abandoned lock belongs to a run that was killed; recovery takes care of what it left.
        if (::WaitForSingleObject(lock.get(), INFINITE) == WAIT_FAILED) return {};
    }
    return lock;
}

}  // namespace tessara
