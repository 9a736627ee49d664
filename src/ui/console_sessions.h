// CConsoleSessions: who is signed in to the console from a browser, and what failed
// authentications cost.
//
// The console page carries no secret. A browser gets a session (a random cookie value, sent
// back HttpOnly and SameSite=Strict) in one of two ways: with a one-time login key, which
// `zelmftpctl console` asks for with the token file and prints as a link, or with an
// administrator password. Each session has its own administrator authentication: while it
// runs (kAuthenticationMs), that browser, and only that one, sees passwords in clear.
//
// Failed password checks (the login form, the Authenticate dialog) are counted per source
// address: after kConsoleFailureLimit failures, that source waits kConsoleLockoutMs before it
// may try again. A success clears its count.
//
// Times are milliseconds of the injectable clock (platform/clock.h), passed in by the caller.
// Thread safety: every operation may be called from any thread; `mutex_` guards everything
// and nothing else is locked under it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "platform/thread_annotations.h"

namespace zelm {

inline constexpr int64_t kLoginKeyLifetimeMs = 120'000;
inline constexpr int64_t kBrowserSessionIdleMs = 12LL * 3600 * 1000;
inline constexpr size_t kMaxBrowserSessions = 64;
inline constexpr size_t kMaxLoginKeys = 16;
inline constexpr int kConsoleFailureLimit = 5;
inline constexpr int64_t kConsoleLockoutMs = 300'000;
inline constexpr const char* kConsoleCookie = "zelm_console";

class CConsoleSessions final {
 public:
  // A fresh one-time login key (empty when no random numbers could be had). The oldest key
  // goes when kMaxLoginKeys are outstanding.
  std::string IssueLoginKey(int64_t nowMs);
  // Trades a login key that is still valid for a new session: its cookie value, or nothing
  // (unknown, used or expired). A key works once.
  std::optional<std::string> RedeemLoginKey(const std::string& key, const std::string& source,
                                            int64_t nowMs);
  // A new session for a browser that gave an administrator password.
  std::optional<std::string> OpenSession(const std::string& source, int64_t nowMs);
  // The number of the session whose cookie value is `cookie` (touching it), or nothing.
  std::optional<uint64_t> Find(const std::string& cookie, int64_t nowMs);
  // Ends a session (sign-out).
  void CloseSession(uint64_t number);
  // Whether the session is still open; an open page that follows the service keeps it so.
  bool Touch(uint64_t number, int64_t nowMs);

  // The session's administrator authentication: begins now, or ends.
  void SetAuthenticated(uint64_t number, bool authenticated, int64_t nowMs);
  // Milliseconds left of the session's authentication, 0 when it has none.
  int64_t AuthenticatedMsLeft(uint64_t number, int64_t nowMs) const;
  // Whether any session is authenticated now (the sessions then keep clear-text entries).
  bool AnyAuthenticated(int64_t nowMs) const;
  // Ends authentications whose time is up; true when one ended.
  bool ExpireAuthentications(int64_t nowMs);

  // Whether `source` may try a password now; when not, `waitMs` receives the time left.
  bool MayTryPassword(const std::string& source, int64_t nowMs, int64_t& waitMs);
  // A failed check: true when it locked the source out.
  bool RecordFailure(const std::string& source, int64_t nowMs);
  void RecordSuccess(const std::string& source);

 private:
  struct Session {
    uint64_t number = 0;
    std::string source;
    int64_t lastSeenMs = 0;
    int64_t authenticatedAtMs = -1;  // -1: not authenticated
  };
  struct Failures {
    int count = 0;
    int64_t lockedUntilMs = 0;
  };
  std::optional<std::string> OpenSessionLocked(const std::string& source, int64_t nowMs)
      ZELM_REQUIRES(mutex_);

  mutable CMutex mutex_;
  std::map<std::string, int64_t> loginKeys_ ZELM_GUARDED_BY(mutex_);  // key -> issued at
  std::map<std::string, Session> sessions_ ZELM_GUARDED_BY(mutex_);   // cookie -> session
  std::map<std::string, Failures> failures_ ZELM_GUARDED_BY(mutex_);  // source -> count
  uint64_t nextNumber_ ZELM_GUARDED_BY(mutex_) = 1;
};

}  // namespace zelm
