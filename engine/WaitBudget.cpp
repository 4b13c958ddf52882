#include "engine/WaitBudget.h"

#include "app/RunLimits.h"

namespace tessara {
namespace {

thread_local CWaitBudget* t_budget = nullptr;

}  // namespace

CWaitBudget* CurrentWaitBudget() { return t_budget; }

CWaitBudgetScope::CWaitBudgetScope() {
    if (t_budget) return;
    m_own.emplace(DownloadWaitLimitMilliseconds());
    t_budget = &*m_own;
}

CWaitBudgetScope::~CWaitBudgetScope() {
    if (m_own) t_budget = nullptr;
}

}  // namespace tessara
