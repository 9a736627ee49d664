// Owns the per-account bandwidth budgets that every transfer of an account draws on.
#include "transfer/bandwidth_budget.h"

#include <map>
#include <string>

namespace zelm {
namespace {

struct BudgetTable {
  CMutex mutex;
  std::map<std::string, std::weak_ptr<CBandwidthBudget>> accounts ZELM_GUARDED_BY(mutex);
};

BudgetTable& Budgets() {
  // Lives until the process ends: budgets may be let go by threads still ending at exit.
  static BudgetTable* table = new BudgetTable;
  return *table;
}

std::string AccountKey(std::string_view userName) {
  std::string key(userName);
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

}  // namespace

std::shared_ptr<CBandwidthBudget> CBandwidthBudget::ForAccount(std::string_view userName) {
  BudgetTable& table = Budgets();
  CMutexLock lock(table.mutex);
  std::weak_ptr<CBandwidthBudget>& entry = table.accounts[AccountKey(userName)];
  if (auto budget = entry.lock()) return budget;
  auto budget = std::make_shared<CBandwidthBudget>();
  entry = budget;
  for (auto it = table.accounts.begin(); it != table.accounts.end();) {
    it = it->second.expired() ? table.accounts.erase(it) : std::next(it);
  }
  return budget;
}

int64_t CBandwidthBudget::Account(uint32_t limitKib, uint64_t bytes, int64_t nowMs) {
  CMutexLock lock(mutex_);
  if (limitKib != limitKib_ || (quietAfterMs_ >= 0 && nowMs > quietAfterMs_)) {
    window_.Reset();
    limitKib_ = limitKib;
  }
  const int64_t pause = window_.Account(limitKib, bytes, nowMs);
  quietAfterMs_ = nowMs + pause + kIdleMs;
  return pause;
}

}  // namespace zelm
