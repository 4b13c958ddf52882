#pragma once
// How long a download may wait on its server without a byte, in all.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <optional>

namespace tessara {

// Every silence, unanswered request and pause between attempts is charged to one budget, and every
// byte that arrives renews it in full: a server that accepts connections and never answers ends the
// download within the limit, instead of each request waiting out its own silence. Time spent on the
// program's own work (copying and checking files between requests) is no waiting and is not charged.
class CWaitBudget {
public:
    explicit CWaitBudget(ULONGLONG limitMilliseconds) : m_limit(limitMilliseconds) {}
    CWaitBudget(const CWaitBudget&) = delete;
    CWaitBudget& operator=(const CWaitBudget&) = delete;

    // Any thread that sees bytes arrive.
    void NoteProgress() { m_waited.store(0); }
    void Charge(ULONGLONG milliseconds) { m_waited.fetch_add(milliseconds); }
    ULONGLONG Limit() const { return m_limit; }
    ULONGLONG Remaining() const {
        const ULONGLONG waited = m_waited.load();
        return waited >= m_limit ? 0 : m_limit - waited;
    }
    // A wait of this length, cut to what is left.
    DWORD Bound(DWORD milliseconds) const {
        return static_cast<DWORD>(std::min<ULONGLONG>(milliseconds, Remaining()));
    }

private:
    const ULONGLONG m_limit;
    std::atomic<ULONGLONG> m_waited{0};
};

// The budget of the downloads this thread makes: that of the outermost scope still open, or none.
CWaitBudget* CurrentWaitBudget();

// Opens a budget for the downloads this thread makes while it lives, unless one is open already: an
// update from changed files and the whole download that may follow it share one.
class CWaitBudgetScope {
public:
    CWaitBudgetScope();
    ~CWaitBudgetScope();
    CWaitBudgetScope(const CWaitBudgetScope&) = delete;
    CWaitBudgetScope& operator=(const CWaitBudgetScope&) = delete;
    CWaitBudget& Budget() const { return *CurrentWaitBudget(); }

private:
    std::optional<CWaitBudget> m_own;
};

}  // namespace tessara
