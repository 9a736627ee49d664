// Owns the cost of wrong passwords: closed user names and the failure budgets of links.
#include "mserverd/login_throttle.h"

#include <algorithm>
#include <cctype>

namespace zelm {
namespace {

// Longer names than any account can have share their first bytes' record.
constexpr size_t kKeyBytes = 256;

template <typename Map, typename Age>
void DropOldest(Map& map, Age age) {
  if (map.empty()) return;
  auto oldest = map.begin();
  for (auto it = map.begin(); it != map.end(); ++it) {
    if (age(it->second) < age(oldest->second)) oldest = it;
  }
  map.erase(oldest);
}

}  // namespace

std::string CLoginThrottle::Key(std::string_view user) {
  std::string key(user.substr(0, kKeyBytes));
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

void CLoginThrottle::OpenLink(uint32_t link, uint32_t address, int64_t nowMs) {
  Budget budget;
  budget.address = address;
  budget.wholeAt = nowMs;
  const auto left = addresses_.find(address);
  if (left != addresses_.end()) {
    budget.wholeAt = std::max(nowMs, left->second.wholeAt);
    addresses_.erase(left);
  }
  links_[link] = budget;
}

void CLoginThrottle::CloseLink(uint32_t link, int64_t nowMs) {
  const auto it = links_.find(link);
  if (it == links_.end()) return;
  const Budget budget = it->second;
  links_.erase(it);
  if (budget.wholeAt <= nowMs) return;  // whole again: nothing to remember
  Left& left = addresses_[budget.address];
  left.wholeAt = std::max(left.wholeAt, budget.wholeAt);
  left.closedAt = nowMs;
  if (addresses_.size() > kThrottledAddresses) {
    std::erase_if(addresses_, [nowMs](const auto& entry) { return entry.second.wholeAt <= nowMs; });
    while (addresses_.size() > kThrottledAddresses) {
      DropOldest(addresses_, [](const Left& l) { return l.closedAt; });
    }
  }
}

bool CLoginThrottle::MayCheck(uint32_t link, std::string_view user, int64_t nowMs) const {
  const auto budget = links_.find(link);
  if (budget != links_.end() &&
      budget->second.wholeAt - nowMs > int64_t{kLinkFailureBudget - 1} * kLinkRefillMs) {
    return false;
  }
  return UserWaitMs(user, nowMs) == 0;
}

void CLoginThrottle::Record(uint32_t link, std::string_view user, bool accepted, int64_t nowMs) {
  std::string key = Key(user);
  if (accepted) {
    names_.erase(key);
    return;
  }
  const auto budget = links_.find(link);
  if (budget != links_.end()) {
    budget->second.wholeAt = std::max(budget->second.wholeAt, nowMs) + kLinkRefillMs;
  }
  auto it = names_.find(key);
  if (it == names_.end()) {
    if (names_.size() >= kThrottledNames) {
      DropOldest(names_, [](const Name& n) { return n.lastFailure; });
    }
    it = names_.emplace(std::move(key), Name{}).first;
  } else if (nowMs - it->second.lastFailure >= kUserForgetMs) {
    it->second = Name{};
  }
  Name& name = it->second;
  ++name.failures;
  name.lastFailure = nowMs;
  if (name.failures > kUserFreeFailures) {
    const uint32_t doublings = std::min<uint32_t>(name.failures - kUserFreeFailures - 1, 16);
    name.closedUntil = nowMs + std::min(kUserWaitFirstMs << doublings, kUserWaitMaxMs);
  }
}

int64_t CLoginThrottle::UserWaitMs(std::string_view user, int64_t nowMs) const {
  const auto it = names_.find(Key(user));
  if (it == names_.end() || nowMs - it->second.lastFailure >= kUserForgetMs) return 0;
  return std::max<int64_t>(0, it->second.closedUntil - nowMs);
}

}  // namespace zelm
