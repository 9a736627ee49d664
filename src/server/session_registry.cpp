// Owns the control sessions of the service: admission, identifiers, counts, lookups, reaping.
#include "server/session_registry.h"

#include "ftp/session_log.h"
#include "vfs/ftp_path.h"

namespace zelm {

bool CSessionRegistry::IsSameHost(uint32_t a, uint32_t b) {
  // Network order: the first octet is the lowest byte.
  return a == b || ((a & 0xFF) == 127 && (b & 0xFF) == 127);
}

bool CSessionRegistry::IsOpen(const CFtpSession& session) {
  return !session.HasFlag(kFlagClosing | kFlagClosed);
}

uint32_t CSessionRegistry::CountOpenLocked() const {
  uint32_t count = 0;
  for (const auto& session : sessions_) {
    if (IsOpen(*session)) ++count;
  }
  return count;
}

uint32_t CSessionRegistry::CountOpen() {
  CMutexLock lock(mutex_);
  return CountOpenLocked();
}

size_t CSessionRegistry::Size() {
  CMutexLock lock(mutex_);
  return sessions_.size();
}

bool CSessionRegistry::IsTakenLocked(uint32_t identifier) const {
  for (const auto& session : sessions_) {
    if (session->GetIdentifier() == identifier) return true;
  }
  return false;
}

uint32_t CSessionRegistry::FreshIdentifierLocked() {
  // Identifiers are unique among live sessions, and never 0, even after the counter wraps.
  uint32_t identifier = 0;
  do {
    identifier = nextIdentifier_++;
  } while (identifier == 0 || IsTakenLocked(identifier));
  return identifier;
}

uint32_t CSessionRegistry::Renumber(CFtpSession& session) {
  CMutexLock lock(mutex_);
  const uint32_t identifier = FreshIdentifierLocked();
  session.SetIdentifier(identifier);
  return identifier;
}

uint32_t CSessionRegistry::CountOpenFrom(uint32_t address) {
  CMutexLock lock(mutex_);
  uint32_t count = 0;
  for (const auto& session : sessions_) {
    if (session->GetPeer() == address && IsOpen(*session)) ++count;
  }
  return count;
}

CFtpSession* CSessionRegistry::Admit(
    uint32_t limit, const std::function<std::unique_ptr<CFtpSession>(uint32_t)>& make,
    const std::function<bool(CFtpSession&)>& attach, bool& overLimit) {
  CMutexLock lock(mutex_);
  overLimit = CountOpenLocked() >= limit;
  if (overLimit) return nullptr;
  std::unique_ptr<CFtpSession> session = make(FreshIdentifierLocked());
  if (!session || !attach(*session)) return nullptr;
  sessions_.push_back(std::move(session));
  return sessions_.back().get();
}

bool CSessionRegistry::WithSession(uint32_t identifier,
                                   const std::function<void(CFtpSession&)>& fn) {
  CMutexLock lock(mutex_);
  for (auto& session : sessions_) {
    if (session->GetIdentifier() == identifier) {
      fn(*session);
      return true;
    }
  }
  return false;
}

void CSessionRegistry::ForEachSessionOfUser(std::string_view name,
                                            const std::function<void(CFtpSession&)>& fn) {
  // SECURITY: an empty name names nobody (not every connection that has not sent USER yet).
  if (name.empty()) return;
  CMutexLock lock(mutex_);
  for (auto& session : sessions_) {
    if (EqualsNoCase(session->GetUserName(), name)) fn(*session);
  }
}

void CSessionRegistry::ForEach(const std::function<void(CFtpSession&)>& fn) {
  CMutexLock lock(mutex_);
  for (auto& session : sessions_) fn(*session);
}

bool CSessionRegistry::CheckSessionLimit(const CFtpSession& session, uint32_t limit,
                                         bool closeSameHost) {
  if (limit == 0) return true;
  const std::string name = session.GetUserName();
  const uint32_t peer = session.GetPeer();
  CMutexLock lock(mutex_);
  uint32_t count = 1;
  auto it = sessions_.begin();
  for (; it != sessions_.end(); ++it) {
    CFtpSession& other = **it;
    if (&other == &session || !EqualsNoCase(other.GetUserName(), name)) continue;
    if (!IsOpen(other) || !other.IsLoggedIn()) continue;
    if (!IsSameHost(peer, other.GetPeer())) ++count;
    if (count > limit) break;
  }
  if (it == sessions_.end()) return true;
  if (closeSameHost) {
    const std::string why = "Session ended: " + name + " is over the session limit of " +
                            std::to_string(limit) + " (counted for the session from " +
                            CZmSocket::FormatIpAddress(peer) + ")\r\n";
    for (; it != sessions_.end(); ++it) {
      CFtpSession& other = **it;
      if (EqualsNoCase(other.GetUserName(), name) && IsSameHost(peer, other.GetPeer())) {
        other.Post([why](CFtpSession& s) {
          if (s.HasFlag(kFlagClosing)) return;
          PostEvent(LogPriority::kNotice, why, s.GetUserName(), s.GetPeer());
          s.CloseSession(true, 0);
        });
      }
    }
  }
  return false;
}

bool CSessionRegistry::WithLoggedInSessionFrom(const CFtpSession& session,
                                               const std::function<void(CFtpSession&)>& fn) {
  CMutexLock lock(mutex_);
  for (auto& other : sessions_) {
    if (other.get() != &session && other->GetPeer() == session.GetPeer() && IsOpen(*other) &&
        other->IsLoggedIn()) {
      fn(*other);
      return true;
    }
  }
  return false;
}

bool CSessionRegistry::ReapClosed() {
  CMutexLock lock(mutex_);
  bool waiting = false;
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    CFtpSession& session = **it;
    if (session.HasFlag(kFlagClosed) && !session.IsEventThreadRunning() && !session.IsConnected()) {
      it = sessions_.erase(it);
    } else {
      // A session wakes the listener as it closes, a moment before its thread has ended:
      // it is looked at again shortly rather than left until something else happens.
      if (session.HasFlag(kFlagClosed)) waiting = true;
      ++it;
    }
  }
  return waiting;
}

std::list<std::unique_ptr<CFtpSession>> CSessionRegistry::TakeAll() {
  std::list<std::unique_ptr<CFtpSession>> all;
  CMutexLock lock(mutex_);
  all.swap(sessions_);
  return all;
}

}  // namespace zelm
