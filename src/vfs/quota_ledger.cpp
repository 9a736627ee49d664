// Owns the per-home used-space ledgers and the walk that counts a home.
#include "vfs/quota_ledger.h"

#include <vector>

#include "platform/files.h"

namespace zelm {
namespace {

// Homes and their ledgers; an expired entry is a home no session uses any more.
struct LedgerTable {
  CMutex mutex;
  std::map<std::string, std::weak_ptr<CQuotaLedger>> homes ZELM_GUARDED_BY(mutex);
};

LedgerTable& Ledgers() {
  // Lives until the process ends: ledgers may be let go by threads still ending at exit.
  static LedgerTable* table = new LedgerTable;
  return *table;
}

}  // namespace

uint64_t CountUsedSpace(const std::string& folder) {
  // An explicit stack instead of recursion: a deep tree costs heap, not call stack; links are
  // never followed, so a loop in the tree cannot make the walk endless, and no depth is too
  // deep to be counted.
  uint64_t used = 0;
  std::vector<std::string> pending{folder};
  std::vector<DirectoryEntry> entries;
  while (!pending.empty()) {
    const std::string directory = std::move(pending.back());
    pending.pop_back();
    if (!ReadDirectory(directory, LinkPolicy::kNoFollow, entries)) continue;
    for (DirectoryEntry& entry : entries) {
      if (entry.status.kind == FileKind::kRegular) {
        used += entry.status.size;
      } else if (entry.status.kind == FileKind::kDirectory) {
        std::string child = directory;
        if (child.empty() || child.back() != '/') child += '/';
        child += entry.name;
        pending.push_back(std::move(child));
      }
    }
  }
  return used;
}

std::shared_ptr<CQuotaLedger> CQuotaLedger::ForHome(const std::string& home) {
  LedgerTable& table = Ledgers();
  {
    CMutexLock lock(table.mutex);
    const auto it = table.homes.find(home);
    if (it != table.homes.end()) {
      if (auto ledger = it->second.lock()) return ledger;
    }
  }
  // Counted outside the table's lock; two first sessions of one home racing here both count,
  // and the one that stores its ledger first wins.
  auto counted = std::make_shared<CQuotaLedger>(CountUsedSpace(home));
  CMutexLock lock(table.mutex);
  std::weak_ptr<CQuotaLedger>& entry = table.homes[home];
  if (auto ledger = entry.lock()) return ledger;
  entry = counted;
  // Forget homes nobody uses, so the table does not grow with every home ever served.
  for (auto it = table.homes.begin(); it != table.homes.end();) {
    it = it->second.expired() ? table.homes.erase(it) : std::next(it);
  }
  return counted;
}

size_t CQuotaLedger::CountLedgers() {
  LedgerTable& table = Ledgers();
  CMutexLock lock(table.mutex);
  size_t count = 0;
  for (const auto& entry : table.homes) count += entry.second.expired() ? 0 : 1;
  return count;
}

uint64_t CQuotaLedger::GetUsed() const {
  CMutexLock lock(mutex_);
  return used_;
}

uint64_t CQuotaLedger::GetFree(uint64_t quota) const {
  if (quota == 0) return UINT64_MAX;
  CMutexLock lock(mutex_);
  return quota > used_ ? quota - used_ : 0;
}

bool CQuotaLedger::TryCharge(uint64_t quota, uint64_t bytes) {
  CMutexLock lock(mutex_);
  if (quota != 0 && (used_ > quota || bytes > quota - used_)) return false;
  used_ += bytes;
  return true;
}

void CQuotaLedger::Add(int64_t delta) {
  CMutexLock lock(mutex_);
  if (delta >= 0) {
    used_ += static_cast<uint64_t>(delta);
  } else {
    const uint64_t freed = static_cast<uint64_t>(-(delta + 1)) + 1;
    used_ = freed > used_ ? 0 : used_ - freed;
  }
}

}  // namespace zelm
