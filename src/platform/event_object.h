// CEventObject: the event object a socket's network events are selected onto.
//
// It stands in for a Windows Sockets event object: an eventfd for explicit signalling plus
// the sockets selected on it, each with its mask of FD_* events. One thread waits on it
// (`Wait`, a poll over the eventfd and the selected sockets) and then asks each socket what
// happened (`EnumNetworkEvents`). The events it reports:
//   kFdRead / kFdAccept  while the socket has bytes (or connections) waiting;
//   kFdConnect           once, when a connect noted by `NoteConnectStarted` has its outcome
//                        (error from SO_ERROR); kFdWrite once with it when it succeeded;
//   kFdClose             once, when the peer has closed (with the reset error when it
//                        aborted); `RearmClose` reports it again, for a reader that has not
//                        yet taken every byte sent before the close.
// Sockets are watched level-triggered while their events are selected, so nothing pending is
// ever lost; a socket that has reported its close is no longer watched.
//
// Thread safety: every operation may be called from any thread (one named mutex guards the
// table). A selection changed while another thread waits wakes that thread, which then
// reports a (possibly empty) pass.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "platform/socket.h"

namespace zelm {

// Network-event bits, as the system's masks use them.
inline constexpr uint32_t kFdRead = 1;
inline constexpr uint32_t kFdWrite = 2;
inline constexpr uint32_t kFdOob = 4;
inline constexpr uint32_t kFdAccept = 8;
inline constexpr uint32_t kFdConnect = 16;
inline constexpr uint32_t kFdClose = 32;
inline constexpr uint32_t kFdRoutingInterfaceChange = 256;
inline constexpr uint32_t kFdAddressListChange = 512;
inline constexpr int kFdEventCount = 10;

// Bit index of an event bit (kFdConnect -> 4), for `NetworkEvents::errors`.
int FdBitIndex(uint32_t bit);

// The events of one socket read by `EnumNetworkEvents`, with an error code per event.
struct NetworkEvents {
  uint32_t events = 0;
  int errors[kFdEventCount] = {};
  int ErrorOf(uint32_t bit) const { return errors[FdBitIndex(bit)]; }
};

class CEventObject final {
 public:
  enum class WaitResult { kSignalled, kTimedOut, kFailed };

  // A new event object, or null with `error` set.
  static std::shared_ptr<CEventObject> Create(int& error);
  ~CEventObject();
  CEventObject(const CEventObject&) = delete;
  CEventObject& operator=(const CEventObject&) = delete;

  // Wakes the waiting thread (its wait returns kSignalled).
  void Signal();
  // Clears an explicit signal that nobody has waited for yet.
  void Reset();

  // Selects `mask` for `socket` on this object; mask 0 removes the socket.
  void Select(SocketHandle socket, uint32_t mask);
  // Tells the object that a connect was started on `socket`: its outcome becomes one
  // kFdConnect. `immediateError` is the error the connect call returned at once, or 0 / the
  // in-progress error when the outcome is still to come.
  void NoteConnectStarted(SocketHandle socket, int immediateError);
  // Reads and clears the socket's pending events. A socket that is not selected has none.
  void EnumNetworkEvents(SocketHandle socket, NetworkEvents& events);
  // Reports the socket's close once more at the next enumeration.
  void RearmClose(SocketHandle socket);
  // Whether `socket` is selected here.
  bool IsSelected(SocketHandle socket) const;

  // Blocks until a selected event is pending, the object is signalled, or `timeoutMs` passes
  // (negative: no time-out). A signal is consumed by the wait that reports it.
  WaitResult Wait(int timeoutMs, int& error);

 private:
  struct Entry {
    uint32_t mask = 0;
    bool connectPending = false;
    int connectError = 0;  // an outcome already known when the connect was started
    bool closeReported = false;
  };

  explicit CEventObject(int eventDescriptor) : eventDescriptor_(eventDescriptor) {}
  void WakeWaiter();  // with mutex_ held

  const int eventDescriptor_;
  mutable std::mutex mutex_;  // guards sockets_ and waiting_
  std::map<SocketHandle, Entry> sockets_;
  bool waiting_ = false;
};

}  // namespace zelm
