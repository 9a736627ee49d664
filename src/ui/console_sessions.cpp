// Owns the console's browser sessions, login keys and the per-source failure count.
#include "ui/console_sessions.h"

#include "platform/secret_file.h"
#include "ui/password_dlg.h"

namespace zelm {
namespace {

constexpr size_t kSecretBytes = 32;

}  // namespace

std::string CConsoleSessions::IssueLoginKey(int64_t nowMs) {
  std::string key = RandomHex(kSecretBytes);
  if (key.empty()) return key;
  CMutexLock lock(mutex_);
  for (auto it = loginKeys_.begin(); it != loginKeys_.end();) {
    it = nowMs - it->second > kLoginKeyLifetimeMs ? loginKeys_.erase(it) : std::next(it);
  }
  while (loginKeys_.size() >= kMaxLoginKeys) {
    auto oldest = loginKeys_.begin();
    for (auto it = loginKeys_.begin(); it != loginKeys_.end(); ++it) {
      if (it->second < oldest->second) oldest = it;
    }
    loginKeys_.erase(oldest);
  }
  loginKeys_[key] = nowMs;
  return key;
}

std::optional<std::string> CConsoleSessions::RedeemLoginKey(const std::string& key,
                                                            const std::string& source,
                                                            int64_t nowMs) {
  CMutexLock lock(mutex_);
  const auto it = loginKeys_.find(key);
  if (key.empty() || it == loginKeys_.end()) return std::nullopt;
  const bool valid = nowMs - it->second <= kLoginKeyLifetimeMs;
  loginKeys_.erase(it);  // once, whatever came of it
  if (!valid) return std::nullopt;
  return OpenSessionLocked(source, nowMs);
}

std::optional<std::string> CConsoleSessions::OpenSession(const std::string& source, int64_t nowMs) {
  CMutexLock lock(mutex_);
  return OpenSessionLocked(source, nowMs);
}

std::optional<std::string> CConsoleSessions::OpenSessionLocked(const std::string& source,
                                                               int64_t nowMs) {
  std::string cookie = RandomHex(kSecretBytes);
  if (cookie.empty()) return std::nullopt;
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    it =
        nowMs - it->second.lastSeenMs > kBrowserSessionIdleMs ? sessions_.erase(it) : std::next(it);
  }
  while (sessions_.size() >= kMaxBrowserSessions) {
    auto oldest = sessions_.begin();
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
      if (it->second.lastSeenMs < oldest->second.lastSeenMs) oldest = it;
    }
    sessions_.erase(oldest);
  }
  sessions_[cookie] = Session{nextNumber_++, source, nowMs, -1};
  return cookie;
}

std::optional<uint64_t> CConsoleSessions::Find(const std::string& cookie, int64_t nowMs) {
  if (cookie.empty()) return std::nullopt;
  CMutexLock lock(mutex_);
  const auto it = sessions_.find(cookie);
  if (it == sessions_.end()) return std::nullopt;
  if (nowMs - it->second.lastSeenMs > kBrowserSessionIdleMs) {
    sessions_.erase(it);
    return std::nullopt;
  }
  it->second.lastSeenMs = nowMs;
  return it->second.number;
}

bool CConsoleSessions::Touch(uint64_t number, int64_t nowMs) {
  CMutexLock lock(mutex_);
  for (auto& [cookie, session] : sessions_) {
    if (session.number != number) continue;
    if (nowMs - session.lastSeenMs > kBrowserSessionIdleMs) return false;
    session.lastSeenMs = nowMs;
    return true;
  }
  return false;
}

void CConsoleSessions::CloseSession(uint64_t number) {
  CMutexLock lock(mutex_);
  for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
    if (it->second.number == number) {
      sessions_.erase(it);
      return;
    }
  }
}

void CConsoleSessions::SetAuthenticated(uint64_t number, bool authenticated, int64_t nowMs) {
  CMutexLock lock(mutex_);
  for (auto& [cookie, session] : sessions_) {
    if (session.number == number) session.authenticatedAtMs = authenticated ? nowMs : -1;
  }
}

int64_t CConsoleSessions::AuthenticatedMsLeft(uint64_t number, int64_t nowMs) const {
  CMutexLock lock(mutex_);
  for (const auto& [cookie, session] : sessions_) {
    if (session.number != number || session.authenticatedAtMs < 0) continue;
    const int64_t left = kAuthenticationMs - (nowMs - session.authenticatedAtMs);
    return left > 0 ? left : 0;
  }
  return 0;
}

bool CConsoleSessions::AnyAuthenticated(int64_t nowMs) const {
  CMutexLock lock(mutex_);
  for (const auto& [cookie, session] : sessions_) {
    if (session.authenticatedAtMs >= 0 && nowMs - session.authenticatedAtMs <= kAuthenticationMs) {
      return true;
    }
  }
  return false;
}

bool CConsoleSessions::ExpireAuthentications(int64_t nowMs) {
  CMutexLock lock(mutex_);
  bool ended = false;
  for (auto& [cookie, session] : sessions_) {
    if (session.authenticatedAtMs >= 0 && nowMs - session.authenticatedAtMs > kAuthenticationMs) {
      session.authenticatedAtMs = -1;
      ended = true;
    }
  }
  return ended;
}

bool CConsoleSessions::MayTryPassword(const std::string& source, int64_t nowMs, int64_t& waitMs) {
  CMutexLock lock(mutex_);
  waitMs = 0;
  const auto it = failures_.find(source);
  if (it == failures_.end() || it->second.lockedUntilMs <= nowMs) return true;
  waitMs = it->second.lockedUntilMs - nowMs;
  return false;
}

bool CConsoleSessions::RecordFailure(const std::string& source, int64_t nowMs) {
  CMutexLock lock(mutex_);
  if (failures_.size() > 4096) failures_.clear();  // a flood of sources: forget, stay bounded
  Failures& failures = failures_[source];
  if (failures.lockedUntilMs != 0 && failures.lockedUntilMs <= nowMs) failures = {};
  if (++failures.count < kConsoleFailureLimit) return false;
  failures.count = 0;
  failures.lockedUntilMs = nowMs + kConsoleLockoutMs;
  return true;
}

void CConsoleSessions::RecordSuccess(const std::string& source) {
  CMutexLock lock(mutex_);
  failures_.erase(source);
}

}  // namespace zelm
