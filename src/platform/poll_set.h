// Waiting on a handful of descriptors at once, for programs that serve several connections
// from one loop (the reference management server), and a wake-up handle that lets another
// thread end such a wait.
//
// Thread safety: `PollSockets` works on the caller's items only. `CWakeHandle::Signal` may be
// called from any thread; the other operations belong to the loop's owner.
#pragma once

#include <vector>

#include "platform/socket.h"

namespace zelm {

struct PollItem {
  SocketHandle handle = kInvalidSocket;
  bool wantRead = true;
  bool wantWrite = false;
  // Results. A hang-up or an error counts as readable, so that the next read sees it.
  bool readable = false;
  bool writable = false;
};

// Waits until one of the items is ready or `timeoutMs` has passed (negative: no limit);
// signals are retried. Returns the number of ready items (0 on time-out), or -1 with `error`
// set.
int PollSockets(std::vector<PollItem>& items, int timeoutMs, int& error);

// An eventfd: readable from `Signal` until `Drain`.
class CWakeHandle final {
 public:
  CWakeHandle() = default;
  ~CWakeHandle();
  CWakeHandle(const CWakeHandle&) = delete;
  CWakeHandle& operator=(const CWakeHandle&) = delete;

  bool Open(int& error);
  SocketHandle Handle() const { return handle_; }
  void Signal();
  void Drain();

 private:
  SocketHandle handle_ = kInvalidSocket;
};

}  // namespace zelm
