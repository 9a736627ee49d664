// CLoginChecker: the password checks of the reference management server, off its loop.
//
// A check derives an scrypt key (tens of milliseconds, on purpose), so the daemon's loop
// never runs one: it submits each login request here and goes on serving hellos, status
// reports, access requests and other links. kLoginWorkers worker threads take the checks
// from a bounded queue that is fair between links: every link has its own line of at most
// kQueuedChecksPerLink checks, the lines are served in turn (one check from each line that
// has any), and the queue holds at most kQueuedChecks in all. A link that sends hundreds of
// requests at once thus delays another link's login by about one check per busy link, and a
// request that finds its line or the queue full is refused at `Submit` (the daemon answers 0
// at once; the FTP server would otherwise wait 10 s for nothing).
//
// Before each check the throttle (login_throttle.h) decides; a check it refuses costs no
// derivation and comes back as kThrottled. Its outcome is recorded there after the check.
// Times are read from the platform clock (`MonotonicMilliseconds`), which tests replace.
//
// Verdicts wait in an outbox that the loop empties with `TakeVerdicts`; `notify` is called on
// the worker's thread each time one is added (the daemon wakes its loop with it). A verdict
// names its link by number; the daemon numbers links without ever reusing a number, so a
// verdict for a link that has gone finds no link and is dropped.
//
// Passwords are wiped from memory as soon as their check is done or dropped.
//
// Thread safety: every public operation may be called from any thread (`mutex_` guards the
// queue, the throttle and the outbox); the daemon calls them from its loop. `check` and
// `notify` run on the workers, never under the mutex. The destructor stops the workers and
// waits for them (a derivation under way ends first); checks still queued are dropped.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "mserverd/account_store.h"
#include "mserverd/login_throttle.h"
#include "platform/thread_annotations.h"

namespace zelm {

inline constexpr size_t kLoginWorkers = 2;
inline constexpr size_t kQueuedChecksPerLink = 16;
inline constexpr size_t kQueuedChecks = 256;

struct LoginCheck {
  uint32_t link = 0;
  uint32_t sessionId = 0;
  std::string userName;
  std::string password;
};

enum class LoginOutcome {
  kAccepted,   // the password matched an enabled account
  kRefused,    // checked and refused
  kThrottled,  // not checked: the name or the link has failed too often lately
};

struct LoginVerdict {
  uint32_t link = 0;
  uint32_t sessionId = 0;
  std::string userName;
  LoginOutcome outcome = LoginOutcome::kRefused;
  std::optional<Account> account;  // with kAccepted
};

// The check itself: the account when the password is right (CAccountStore::CheckLogin).
using PasswordCheck =
    std::function<std::optional<Account>(std::string_view user, std::string_view password)>;

class CLoginChecker final {
 public:
  CLoginChecker(PasswordCheck check, std::function<void()> notify);
  ~CLoginChecker();
  CLoginChecker(const CLoginChecker&) = delete;
  CLoginChecker& operator=(const CLoginChecker&) = delete;

  // Starts the workers; false when the system refused a thread (those started keep running
  // and are stopped by the destructor).
  bool Start(size_t workers = kLoginWorkers);

  // A link has connected from `address` (host order) / has gone. A link that goes has its
  // queued checks dropped; its verdicts already in the outbox stay there for the loop to
  // drop.
  void OpenLink(uint32_t link, uint32_t address);
  void CloseLink(uint32_t link);

  // Queues a check; false when the link's line or the whole queue is full (the check is
  // wiped and dropped).
  bool Submit(LoginCheck check);
  // Every verdict reached since the last call, in the order they were reached.
  std::vector<LoginVerdict> TakeVerdicts();

  // Checks queued and not yet taken by a worker (tests and status).
  size_t Queued() const;

 private:
  void Work();
  static void Wipe(std::string& secret);

  const PasswordCheck check_;
  const std::function<void()> notify_;
  mutable CMutex mutex_;
  std::condition_variable wake_;  // with mutex_: a check was queued, or stopping_ was set
  bool stopping_ ZELM_GUARDED_BY(mutex_) = false;
  std::unordered_map<uint32_t, std::deque<LoginCheck>> lines_ ZELM_GUARDED_BY(mutex_);
  std::deque<uint32_t> turns_ ZELM_GUARDED_BY(mutex_);  // links whose line holds a check
  size_t queued_ ZELM_GUARDED_BY(mutex_) = 0;
  CLoginThrottle throttle_ ZELM_GUARDED_BY(mutex_);
  std::vector<LoginVerdict> outbox_ ZELM_GUARDED_BY(mutex_);
  std::vector<std::thread> workers_;  // started and joined by the owner's thread
};

}  // namespace zelm
