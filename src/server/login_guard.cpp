// Owns the per-address cost of failed logins: reply delays and bans.
#include "server/login_guard.h"

#include <algorithm>

namespace zelm {

void CLoginGuard::SetRules(const LoginGuardRules& rules) {
  CMutexLock lock(mutex_);
  rules_ = rules;
}

void CLoginGuard::ForgetOldLocked(Record& record, int64_t nowMs) {
  const int64_t window = static_cast<int64_t>(rules_.banWindowSeconds) * 1000;
  const auto old = std::find_if(record.failures.begin(), record.failures.end(),
                                [&](int64_t at) { return nowMs - at < window; });
  record.failures.erase(record.failures.begin(), old);
}

bool CLoginGuard::RecordFailure(uint32_t address, int64_t nowMs) {
  CMutexLock lock(mutex_);
  Record& record = records_[address];
  ++record.streak;
  ForgetOldLocked(record, nowMs);
  record.failures.push_back(nowMs);
  if (rules_.banFailures == 0 || record.failures.size() < rules_.banFailures) return false;
  if (record.bannedUntilMs > nowMs) return false;  // banned already
  record.bannedUntilMs = nowMs + static_cast<int64_t>(rules_.banSeconds) * 1000;
  record.failures.clear();
  return true;
}

void CLoginGuard::RecordSuccess(uint32_t address) {
  CMutexLock lock(mutex_);
  const auto it = records_.find(address);
  if (it == records_.end()) return;
  if (it->second.bannedUntilMs == 0) {
    records_.erase(it);
  } else {
    it->second.failures.clear();
    it->second.streak = 0;
  }
}

int64_t CLoginGuard::ReplyDelayMs(uint32_t address, int64_t nowMs) {
  (void)nowMs;
  CMutexLock lock(mutex_);
  if (rules_.maxDelaySeconds == 0) return 0;
  const auto it = records_.find(address);
  if (it == records_.end() || it->second.streak == 0) return 0;
  const uint32_t doublings = std::min<uint32_t>(it->second.streak - 1, 30);
  const int64_t seconds = std::min<int64_t>(int64_t{1} << doublings, rules_.maxDelaySeconds);
  return seconds * 1000;
}

bool CLoginGuard::IsBanned(uint32_t address, int64_t nowMs) {
  CMutexLock lock(mutex_);
  const auto it = records_.find(address);
  return it != records_.end() && it->second.bannedUntilMs > nowMs;
}

std::vector<CLoginGuard::Ban> CLoginGuard::ListBans(int64_t nowMs) {
  CMutexLock lock(mutex_);
  std::vector<Ban> bans;
  for (const auto& [address, record] : records_) {
    if (record.bannedUntilMs > nowMs) bans.push_back({address, record.bannedUntilMs});
  }
  return bans;
}

bool CLoginGuard::Lift(uint32_t address) {
  CMutexLock lock(mutex_);
  const auto it = records_.find(address);
  if (it == records_.end() || it->second.bannedUntilMs == 0) return false;
  records_.erase(it);
  return true;
}

void CLoginGuard::BanUntil(uint32_t address, int64_t untilMs) {
  CMutexLock lock(mutex_);
  records_[address].bannedUntilMs = untilMs;
}

}  // namespace zelm
