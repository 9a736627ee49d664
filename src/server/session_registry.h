// CSessionRegistry: the control sessions of the FTP service, and every question about them.
//
// It owns the session objects from their creation to their reaping, hands out their
// identifiers (unique among live sessions, never 0), counts them (all, per user, per address)
// and finds them by identifier or user name for the management server's answers and orders.
//
// Threads: one mutex guards the list; every operation takes it and may be called from any
// thread. Functions handed in run with the list locked: they may read the session's atomics
// and its published user name, and `Post` to it, but must not call back into the registry.
// A session's published-account lock is only ever taken after the registry's. Sessions are
// removed only by `ReapClosed` and `TakeAll`, which the listener's thread calls: a session
// pointer that thread obtained stays valid until its next reap.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string_view>

#include "ftp/ftp_session.h"
#include "platform/thread_annotations.h"

namespace zelm {

class CSessionRegistry final {
 public:
  CSessionRegistry() = default;
  CSessionRegistry(const CSessionRegistry&) = delete;
  CSessionRegistry& operator=(const CSessionRegistry&) = delete;

  // Whether two client addresses (network order) count as one host: equal, or both loopback.
  static bool IsSameHost(uint32_t a, uint32_t b);

  // Sessions that are open: admitted and not closing. The connection limit counts these.
  uint32_t CountOpen();
  // Every session object still held, closed ones not yet reaped included.
  size_t Size();

  // Admits a new session unless `limit` open sessions exist already: `make` builds it with a
  // fresh identifier, `attach` gives it its connection (false: the session is dropped). The
  // session, or null when the limit was reached (`overLimit` set) or attaching failed.
  CFtpSession* Admit(uint32_t limit,
                     const std::function<std::unique_ptr<CFtpSession>(uint32_t)>& make,
                     const std::function<bool(CFtpSession&)>& attach, bool& overLimit);

  // Gives `session` a fresh identifier (unique among live sessions, never 0) and returns it.
  uint32_t Renumber(CFtpSession& session);
  // Open sessions whose client address (network order) is `address`.
  uint32_t CountOpenFrom(uint32_t address);

  // Runs `fn` on the session with that identifier; false when there is none.
  bool WithSession(uint32_t identifier, const std::function<void(CFtpSession&)>& fn);
  // Runs `fn` on every session whose user name equals `name` (ignoring case), in list order;
  // an empty `name` names no session.
  void ForEachSessionOfUser(std::string_view name, const std::function<void(CFtpSession&)>& fn);
  // Runs `fn` on every session, in list order.
  void ForEach(const std::function<void(CFtpSession&)>& fn);

  // The per-user session limit: true when `session` (of its user, from its address) stays
  // within `limit` logged-in sessions of other hosts (0: no limit). With `closeSameHost`,
  // a session over the limit has the user's sessions from its host, from the one that
  // exceeded the limit on, ended (posted to them).
  bool CheckSessionLimit(const CFtpSession& session, uint32_t limit, bool closeSameHost);
  // Runs `fn` with another open, logged-in session from the same address as `session` (the
  // first in list order); false when there is none.
  bool WithLoggedInSessionFrom(const CFtpSession& session,
                               const std::function<void(CFtpSession&)>& fn);

  // The listener's thread: removes sessions that have closed and whose threads have ended.
  // True while a closed session still waits for its thread (look again shortly).
  bool ReapClosed();
  // Empties the registry and hands every session to the caller (shutdown).
  std::list<std::unique_ptr<CFtpSession>> TakeAll();

 private:
  static bool IsOpen(const CFtpSession& session);
  uint32_t CountOpenLocked() const ZELM_REQUIRES(mutex_);
  bool IsTakenLocked(uint32_t identifier) const ZELM_REQUIRES(mutex_);
  uint32_t FreshIdentifierLocked() ZELM_REQUIRES(mutex_);

  CMutex mutex_;
  std::list<std::unique_ptr<CFtpSession>> sessions_ ZELM_GUARDED_BY(mutex_);
  uint32_t nextIdentifier_ ZELM_GUARDED_BY(mutex_) = 1;
};

}  // namespace zelm
