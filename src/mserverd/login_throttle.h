// CLoginThrottle: what a wrong password costs, per user name and per link, so that the
// management port is no faster a password oracle than the FTP server in front of it.
//
// Per user name (compared without regard to ASCII case, as the account store compares them;
// names that do not exist count alike, so a refusal tells nothing): the first two wrong
// passwords in a row cost nothing; the n-th (n >= 3) closes the name for 2^(n-3) s, at most
// kUserWaitMaxMs: 1 s, 2 s, 4 s ... 60 s. While a name is closed, every check of it is
// refused without looking at the password. A right password clears the name's record; a
// record is forgotten kUserForgetMs after its last failure.
//
// Per link: a budget of kLinkFailureBudget wrong passwords, one more earned back every
// kLinkRefillMs. A link with nothing left has every check refused until it has earned one
// back. The budget outlives the link: a new link from the same address starts with what the
// last closed link of that address left (earned back since), so reconnecting buys nothing.
// Two links open at once keep their own budgets, so a link that guesses cannot spend
// another's.
//
// A right password costs nothing, neither for its name nor for its link. The tables are
// bounded (kThrottledNames, kThrottledAddresses); when one is full, the record with the
// oldest failure goes.
//
// Times are milliseconds of one monotonic clock, given by the caller.
// Thread safety: none; CLoginChecker holds it under its own mutex.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace zelm {

inline constexpr uint32_t kUserFreeFailures = 2;
inline constexpr int64_t kUserWaitFirstMs = 1000;
inline constexpr int64_t kUserWaitMaxMs = 60 * 1000;
inline constexpr int64_t kUserForgetMs = 15 * 60 * 1000;
inline constexpr uint32_t kLinkFailureBudget = 20;
inline constexpr int64_t kLinkRefillMs = 1000;
inline constexpr size_t kThrottledNames = 4096;
inline constexpr size_t kThrottledAddresses = 1024;

class CLoginThrottle final {
 public:
  CLoginThrottle() = default;
  CLoginThrottle(const CLoginThrottle&) = delete;
  CLoginThrottle& operator=(const CLoginThrottle&) = delete;

  // A link has connected from `address` (host order); it starts with its address's budget.
  void OpenLink(uint32_t link, uint32_t address, int64_t nowMs);
  // The link has gone; its address keeps what is left of its budget.
  void CloseLink(uint32_t link, int64_t nowMs);

  // True when a password of `user` may be checked for `link` now; false: refuse at once.
  bool MayCheck(uint32_t link, std::string_view user, int64_t nowMs) const;
  // The outcome of a check that `MayCheck` allowed.
  void Record(uint32_t link, std::string_view user, bool accepted, int64_t nowMs);

  // How long `user` is closed still (0: open), for tests and logs.
  int64_t UserWaitMs(std::string_view user, int64_t nowMs) const;

 private:
  struct Name {
    uint32_t failures = 0;  // in a row
    int64_t lastFailure = 0;
    int64_t closedUntil = 0;
  };
  // The budget as the time at which it is whole again: each failure moves it kLinkRefillMs
  // further, and a check may go ahead while at most kLinkFailureBudget - 1 refills are owed.
  struct Budget {
    uint32_t address = 0;
    int64_t wholeAt = 0;
  };
  struct Left {
    int64_t wholeAt = 0;
    int64_t closedAt = 0;
  };

  static std::string Key(std::string_view user);

  std::unordered_map<std::string, Name> names_;
  std::unordered_map<uint32_t, Budget> links_;
  std::unordered_map<uint32_t, Left> addresses_;
};

}  // namespace zelm
