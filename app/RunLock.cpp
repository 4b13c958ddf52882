#include "app/RunLock.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <vector>

#include "app/Arguments.h"
#include "app/FailureLog.h"
#include "app/Log.h"
#include "app/RunLimits.h"

namespace tessara {
namespace {

constexpr DWORD kWaitSlice = 250;
// How long a refused access may last before it counts as lasting: longer than a holder's file takes to
// go, well inside the time a run may take to fail.
constexpr ULONGLONG kDeniedGraceMs = 2000;
constexpr DWORD kDeniedRetryMs = 50;

// The token's user, as the system hands it out.
std::vector<BYTE> TokenInformation(TOKEN_INFORMATION_CLASS kind) {
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
    const unique_handle token(raw);
    DWORD size = 0;
    ::GetTokenInformation(token.get(), kind, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !::GetTokenInformation(token.get(), kind, buffer.data(), size, &size)) return {};
    return buffer;
}

PSID UserSid(const std::vector<BYTE>& tokenUser) {
    return tokenUser.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(tokenUser.data())->User.Sid;
}

// An object another account made under our name would be owned by that account.
bool IsOwnedByUs(HANDLE object, PSID user) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (::GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                          nullptr, &raw) != ERROR_SUCCESS)
        return false;
    const unique_hlocal descriptor(raw);
    return owner && ::EqualSid(owner, user);
}

// The namespace and base name followed by the user's SID, so that users of the same name in different
// domains never share an object. Empty when the SID cannot be put in text.
std::wstring UserObjectName(const wchar_t* namespacePrefix, const wchar_t* baseName, PSID user) {
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(user, &text)) return {};
    const unique_hlocal owned(text);
    return std::wstring(namespacePrefix) + baseName + text;
}

// Creates or opens a mutex of this user's: made with access for the user alone, and taken only when an
// existing one is owned by the user too.
unique_handle OpenUserMutex(const std::wstring& name, PSID user) {
    if (name.empty()) return {};
    // Full access for the user, nothing for anyone else.
    EXPLICIT_ACCESSW access{};
    access.grfAccessPermissions = MUTEX_ALL_ACCESS;
    access.grfAccessMode = SET_ACCESS;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_USER;
    access.Trustee.ptstrName = static_cast<LPWSTR>(user);
    PACL rawAcl = nullptr;
    if (::SetEntriesInAclW(1, &access, nullptr, &rawAcl) != ERROR_SUCCESS) return {};
    const unique_hlocal acl(rawAcl);
    SECURITY_DESCRIPTOR descriptor{};
    // Owned by the user even in an elevated run, whose objects the administrators' group would own, so
    // that elevated and plain runs of the user share the lock.
    if (!::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorOwner(&descriptor, user, FALSE) ||
        !::SetSecurityDescriptorDacl(&descriptor, TRUE, rawAcl, FALSE))
        return {};
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    unique_handle mutex(::CreateMutexW(&attributes, FALSE, name.c_str()));
    if (mutex && ::GetLastError() == ERROR_ALREADY_EXISTS && !IsOwnedByUs(mutex.get(), user)) {
        LogFormat("The lock %S belongs to another account; it is not used", name);
        return {};
    }
    return mutex;
}

}  // namespace

CUserLock CUserLock::ForRuns() { return CUserLock(L"Orvix Tessara Setup ", true); }

CUserLock CUserLock::ForWindow() { return CUserLock(L"Orvix Tessara Setup Window ", false); }

namespace {

// Waits in slices while the wait lasts and keepWaiting agrees, saying so once; true when `attempt`
// took the lock.
bool WaitForTurn(DWORD waitMilliseconds, const std::function<bool()>& keepWaiting,
                 const std::function<bool(DWORD slice)>& attempt) {
    if (attempt(0)) return true;
    if (waitMilliseconds == 0) return false;
    LogWrite("Another setup run is in progress, waiting for it to end");
    const ULONGLONG start = ::GetTickCount64();
    while (!keepWaiting || keepWaiting()) {
        const ULONGLONG waited = ::GetTickCount64() - start;
        if (waitMilliseconds != INFINITE && waited >= waitMilliseconds) {
            LogFormat("Another setup run is still in progress after %u seconds, giving up",
                      waitMilliseconds / 1000);
            return false;
        }
        const DWORD left =
            waitMilliseconds == INFINITE ? INFINITE : static_cast<DWORD>(waitMilliseconds - waited);
        if (attempt(std::min(left, kWaitSlice))) return true;
    }
    return false;
}

// %LOCALAPPDATA%\Orvix Tessara Setup.lock: the profile folder always exists, and nothing of ours is
// left in it once the holder has gone.
std::wstring RunLockFile() {
    wchar_t folder[MAX_PATH] = {};
    if (!::SHGetSpecialFolderPathW(nullptr, folder, CSIDL_LOCAL_APPDATA, FALSE)) return {};
    return std::wstring(folder) + L"\\Orvix Tessara Setup.lock";
}

// What keeps the lock file from ever being opened, as far as its attributes tell; nullptr when they
// tell of nothing.
const char* LastingLockFileProblem(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return nullptr;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return "a folder is in its place";
    if (attributes & FILE_ATTRIBUTE_READONLY) return "the file is read-only";
    return nullptr;
}

// Why the lock file cannot be opened, for the administrator who has to mend it.
std::string LockFileProblem(const std::wstring& path, DWORD error) {
    const char* lasting = LastingLockFileProblem(path);
    return lasting ? lasting : SystemErrorText(error);
}

}  // namespace

CUserLock::Outcome CUserLock::AcquireRunFile(DWORD waitMilliseconds,
                                             const std::function<bool()>& keepWaiting) {
    const std::wstring path = RunLockFile();
    if (path.empty()) {
        LogWrite("Could not take the run lock: the profile folder is unknown");
        return Outcome::Unavailable;
    }
    DWORD error = ERROR_SUCCESS;
    ULONGLONG deniedSince = 0;
    const bool decided = WaitForTurn(waitMilliseconds, keepWaiting, [&](DWORD slice) {
        if (slice) ::Sleep(slice);
        for (;;) {
            m_file.reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                       FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
            error = m_file ? ERROR_SUCCESS : ::GetLastError();
            // Only another holder's open file is a reason to wait.
            if (m_file || error == ERROR_SHARING_VIOLATION) return static_cast<bool>(m_file);
            // A holder's file being deleted as it lets go refuses access for a moment; a folder in its
            // place, a read-only file or a folder we may not write to refuse it for good.
            if (error != ERROR_ACCESS_DENIED || LastingLockFileProblem(path)) return true;
            // A caller that does not wait need not tell the two apart.
            if (waitMilliseconds == 0) return false;
            const ULONGLONG now = ::GetTickCount64();
            if (!deniedSince) deniedSince = now;
            if (now - deniedSince >= kDeniedGraceMs) return true;
            ::Sleep(kDeniedRetryMs);
        }
    });
    if (m_file) return Outcome::Held;
    if (decided) {
        LogFormat("Could not take the run lock %S: %s (system error %u)", path, LockFileProblem(path, error),
                  error);
        return Outcome::Unavailable;
    }
    return Outcome::Busy;
}

void CUserLock::Release() {
    m_file.reset();
    m_held.reset();
}

CUserLock::Outcome CUserLock::Acquire(DWORD waitMilliseconds, const std::function<bool()>& keepWaiting) {
    if (m_allSessions) return AcquireRunFile(waitMilliseconds, keepWaiting);
    const std::vector<BYTE> tokenUser = TokenInformation(TokenUser);
    const PSID user = UserSid(tokenUser);
    if (!user) return Outcome::Unavailable;
    unique_handle mutex = OpenUserMutex(UserObjectName(L"Local\\", m_baseName, user), user);
    if (!mutex) return Outcome::Unavailable;
    DWORD result = WAIT_TIMEOUT;
    WaitForTurn(waitMilliseconds, keepWaiting, [&mutex, &result](DWORD slice) {
        result = ::WaitForSingleObject(mutex.get(), slice);
        return result != WAIT_TIMEOUT;
    });
    // An abandoned lock belongs to a run that was killed; recovery takes care of what it left.
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
        m_held.reset(mutex.release());
        return Outcome::Held;
    }
    return result == WAIT_TIMEOUT ? Outcome::Busy : Outcome::Unavailable;
}

CRunLock::Result CRunLock::Take(DWORD waitMilliseconds, const char* action,
                                const std::function<void()>& onWaitingChanged) {
    m_state.store(Idle);
    // Asked only while another run holds the lock.
    const auto keepWaiting = [&] {
        int idle = Idle;
        if (m_state.compare_exchange_strong(idle, Waiting) && onWaitingChanged) onWaitingChanged();
        return m_state.load() != LeftWaiting;
    };
    const CUserLock::Outcome outcome = m_lock.Acquire(waitMilliseconds, keepWaiting);
    // A leave that arrived while the lock was being taken still counts: the run has not begun.
    int waiting = Waiting;
    const bool wasWaiting = m_state.compare_exchange_strong(waiting, Idle);
    const bool left = !wasWaiting && waiting == LeftWaiting;
    Result result = Result::Held;
    if (left) {
        m_lock.Release();
        LogFormat("The user left the %s while it waited for another setup run; nothing was changed", action);
        result = Result::Left;
    } else if (outcome == CUserLock::Outcome::Unavailable) {
        LogFormat("The %s cannot run without the run lock, and waiting would not make it usable", action);
        result = Result::Unusable;
    } else if (outcome == CUserLock::Outcome::Busy) {
        // A caller that does not wait tries again later, and says nothing.
        if (waitMilliseconds != 0)
            LogFormat("The %s did not start: another setup run holds the lock", action);
        result = Result::TimedOut;
    }
    m_state.store(Idle);
    if ((wasWaiting || left) && onWaitingChanged) onWaitingChanged();
    return result;
}

bool CRunLock::Leave() {
    int waiting = Waiting;
    return m_state.compare_exchange_strong(waiting, LeftWaiting);
}

DWORD SilentRunLockWait() {
    const std::optional<unsigned long> seconds = WaitLimitArgument(SplitArguments(::GetCommandLineW()));
    if (!seconds) return RunLockWaitMilliseconds();
    // INFINITE stays reserved for the interactive run, which waits until the user cancels.
    return static_cast<DWORD>(std::min<unsigned long long>(*seconds * 1000ull, INFINITE - 1));
}

}  // namespace tessara
