#pragma once
// A lock and a condition for threads that hand work to each other many times a second. The standard
// library's mutex and condition variable wait on the threading library's events and semaphores, and
// under Wine every such wait and wake is a round trip to the server: unpacking a payload of two
// thousand files made about two hundred thousand of them. The system's slim lock and condition variable
// wait on an address, which stays within the process.
#include <windows.h>

#include <mutex>

namespace tessara {

// Takes the place of std::mutex, for std::lock_guard and std::unique_lock.
class CSlimMutex {
public:
    CSlimMutex() = default;
    CSlimMutex(const CSlimMutex&) = delete;
    CSlimMutex& operator=(const CSlimMutex&) = delete;

    void lock() { ::AcquireSRWLockExclusive(&m_lock); }
    void unlock() { ::ReleaseSRWLockExclusive(&m_lock); }
    bool try_lock() { return ::TryAcquireSRWLockExclusive(&m_lock) != 0; }
    SRWLOCK* native() { return &m_lock; }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
};

// Takes the place of std::condition_variable with a CSlimMutex.
class CSlimCondition {
public:
    CSlimCondition() = default;
    CSlimCondition(const CSlimCondition&) = delete;
    CSlimCondition& operator=(const CSlimCondition&) = delete;

    template <typename Predicate>
    void wait(std::unique_lock<CSlimMutex>& lock, Predicate done) {
        while (!done()) ::SleepConditionVariableSRW(&m_condition, lock.mutex()->native(), INFINITE, 0);
    }
    // Whether `done` holds, having waited at most about this long for it.
    template <typename Predicate>
    bool wait_for(std::unique_lock<CSlimMutex>& lock, DWORD milliseconds, Predicate done) {
        const ULONGLONG until = ::GetTickCount64() + milliseconds;
        while (!done()) {
            const ULONGLONG now = ::GetTickCount64();
            if (now >= until) return false;
            ::SleepConditionVariableSRW(&m_condition, lock.mutex()->native(), static_cast<DWORD>(until - now),
                                        0);
        }
        return true;
    }
    void notify_one() { ::WakeConditionVariable(&m_condition); }
    void notify_all() { ::WakeAllConditionVariable(&m_condition); }

private:
    CONDITION_VARIABLE m_condition = CONDITION_VARIABLE_INIT;
};

}  // namespace tessara
