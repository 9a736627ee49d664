// CIoPoller: the epoll set behind the upload worker.
//
// Sockets are added disarmed under a caller-chosen key; `Arm` asks for exactly one readiness
// report (readable, closed or failed), after which the socket is disarmed again until the
// next `Arm`. `Wake` makes a waiting `Wait` return early.
//
// Thread safety: every operation may be called from any thread; normally one thread waits.
#pragma once

#include <cstdint>

#include "platform/socket.h"

namespace zelm {

class CIoPoller final {
 public:
  CIoPoller() = default;
  ~CIoPoller();
  CIoPoller(const CIoPoller&) = delete;
  CIoPoller& operator=(const CIoPoller&) = delete;

  // Creates the epoll set and its wake-up descriptor.
  bool Open(int& error);
  bool IsOpen() const { return epoll_ >= 0; }

  // Adds `socket`, disarmed, reported under `key`.
  bool Add(SocketHandle socket, uint64_t key, int& error);
  // Arms one report for `socket`.
  bool Arm(SocketHandle socket, uint64_t key, int& error);
  // Removes `socket`; no report for it is returned by a `Wait` that starts afterwards.
  void Remove(SocketHandle socket);
  void Wake();

  // Waits up to `timeoutMs` (negative: without limit) and stores the keys of ready sockets.
  // Returns how many (0 on time-out or wake-up), or -1 with `error` set.
  int Wait(uint64_t* keys, int maxKeys, int timeoutMs, int& error);

 private:
  int epoll_ = -1;
  int wake_ = -1;
};

}  // namespace zelm
