// CBandwidthBudget: one bandwidth limit per account, shared by every transfer of its sessions.
//
// An account's KiB/s limit holds for the account, not for each connection: a client that opens
// four data connections at once (or four sessions) gets the limit between them, while a single
// transfer still gets all of it. Each transfer counts the bytes it moved and pauses as long as
// the budget says; the budget keeps one window for all of them (the window rules of
// `CBandwidthWindow`). The limit is passed in with every count, so a new limit from the
// management server applies to transfers already running; a changed limit starts a new window,
// and so does a transfer that starts after the account moved nothing for a while (it gets no
// burst for the time nobody used).
//
// Threads: any thread; one mutex per budget, one for the table of budgets.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/thread_annotations.h"
#include "transfer/data_socket.h"

namespace zelm {

class CBandwidthBudget final {
 public:
  // The budget of the account named `userName` (letter case ignored): the one its other
  // transfers use, or a new one. It lasts while a transfer holds it.
  static std::shared_ptr<CBandwidthBudget> ForAccount(std::string_view userName);

  CBandwidthBudget() = default;
  CBandwidthBudget(const CBandwidthBudget&) = delete;
  CBandwidthBudget& operator=(const CBandwidthBudget&) = delete;

  // Counts `bytes` one transfer just moved at `nowMs` under `limitKib` (0: no limit); returns
  // the pause that transfer owes before its next bytes.
  int64_t Account(uint32_t limitKib, uint64_t bytes, int64_t nowMs);

 private:
  // How long past the pause it gave the account may stay silent before the window starts
  // afresh.
  static constexpr int64_t kIdleMs = 250;

  CMutex mutex_;
  CBandwidthWindow window_ ZELM_GUARDED_BY(mutex_);
  uint32_t limitKib_ ZELM_GUARDED_BY(mutex_) = 0;
  int64_t quietAfterMs_ ZELM_GUARDED_BY(mutex_) = -1;  // no count due after this: idle
};

}  // namespace zelm
