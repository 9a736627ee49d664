// CLoginGuard: what failed logins cost an address.
//
// After every failed login from an address, the next password reply to that address waits:
// 1 s after the first failure, doubling with each further one up to the "Failed Login Delay"
// (0: no wait). "Ban Failures" failures (0: no bans) within "Ban Window" seconds ban the
// address for "Ban Time" seconds: it is refused new connections. A successful login clears the
// address's count, so a customer who mistyped once is not slowed afterwards. The operator can
// list and lift bans.
//
// Times are milliseconds of the injectable clock, passed in by the caller.
// Threads: any thread; one mutex guards the table.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "platform/thread_annotations.h"

namespace zelm {

struct LoginGuardRules {
  uint32_t maxDelaySeconds = 16;  // "Failed Login Delay"
  uint32_t banFailures = 10;      // "Ban Failures"
  uint32_t banWindowSeconds = 600;
  uint32_t banSeconds = 900;  // "Ban Time"
};

class CLoginGuard final {
 public:
  struct Ban {
    uint32_t address = 0;  // network order
    int64_t untilMs = 0;
  };

  CLoginGuard() = default;
  CLoginGuard(const CLoginGuard&) = delete;
  CLoginGuard& operator=(const CLoginGuard&) = delete;

  void SetRules(const LoginGuardRules& rules);

  // Counts a failed login of `address` at `nowMs`. True when this failure banned it.
  bool RecordFailure(uint32_t address, int64_t nowMs);
  // A login of `address` succeeded: its failures are forgotten.
  void RecordSuccess(uint32_t address);
  // How long the next password reply to `address` waits, in milliseconds.
  int64_t ReplyDelayMs(uint32_t address, int64_t nowMs);
  // Whether `address` is banned at `nowMs`.
  bool IsBanned(uint32_t address, int64_t nowMs);

  // The bans in force at `nowMs`, and lifting one (false when there was none).
  std::vector<Ban> ListBans(int64_t nowMs);
  bool Lift(uint32_t address);
  // Bans `address` until `untilMs` (the operator's ban).
  void BanUntil(uint32_t address, int64_t untilMs);

 private:
  struct Record {
    std::vector<int64_t> failures;  // within the window, oldest first
    uint32_t streak = 0;            // failures since the last success (for the delay)
    int64_t bannedUntilMs = 0;
  };

  void ForgetOldLocked(Record& record, int64_t nowMs) ZELM_REQUIRES(mutex_);

  CMutex mutex_;
  LoginGuardRules rules_ ZELM_GUARDED_BY(mutex_);
  std::map<uint32_t, Record> records_ ZELM_GUARDED_BY(mutex_);
};

}  // namespace zelm
