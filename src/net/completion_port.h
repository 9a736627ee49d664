// CCompletionPool: the process-wide upload worker.
//
// A connected socket that calls `CZmSocket::UseCompletionPort` leaves its event thread and is
// read by this one worker thread instead: `PostReceive` arms exactly one read of the socket;
// when bytes arrive the worker reads up to its receive size into the socket's receive record
// and calls `OnIoReceived`; a read of zero bytes (the peer closed) or a failed read calls
// `OnIoClosed`. Reads of one socket therefore happen one at a time and in order, while any
// number of sockets are served, interleaved in arrival order. The worker and its epoll set
// are created on first use (under a lock) and live until the process ends.
//
// A socket can be deferred ("do not read this socket again before time T"): its next read is
// armed only when that time has come, and the worker serves the other sockets meanwhile. This
// is how a per-connection bandwidth limit slows one upload without holding up the others.
//
// Lifetime: each context has a key that is never reused. The socket drops its context before
// its descriptor closes: the descriptor leaves the epoll set and the key leaves the table, so
// readiness reports still queued for it find no context and are ignored. A context that the
// worker is using stays alive through its reference; a socket being destroyed additionally
// waits until the worker has left its handler.
//
// Thread safety: every operation may be called from any thread; the handlers run on the
// worker thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/io_poller.h"
#include "platform/limits.h"
#include "platform/socket.h"

namespace zelm {

class CZmSocket;

// The record of one socket in completion mode.
class CCompletionContext final {
 public:
  CCompletionContext(CZmSocket* owner, SocketHandle handle, uint64_t key, size_t receiveSize)
      : owner_(owner), handle_(handle), key_(key), receiveBuffer_(receiveSize) {}

  CZmSocket* Owner() const { return owner_; }
  SocketHandle Handle() const { return handle_; }
  uint64_t Key() const { return key_; }

 private:
  friend class CCompletionPool;
  CZmSocket* const owner_;
  const SocketHandle handle_;
  const uint64_t key_;
  std::vector<uint8_t> receiveBuffer_;   // the receive record; used by the worker only
  std::atomic<bool> dropped_{false};     // the socket let go of this context
  std::mutex handlerMutex_;              // held by the worker while it serves the context
  std::atomic<int64_t> notBeforeMs_{0};  // deferred until this steady time, 0 = not
};

class CCompletionPool final {
 public:
  // The one pool of the process.
  static CCompletionPool& Instance();

  // Starts the worker when needed and registers `socket` (descriptor `handle`) with it,
  // nothing armed yet. Null when the worker or the registration cannot be made.
  std::shared_ptr<CCompletionContext> Associate(CZmSocket* socket, SocketHandle handle);
  // Arms the context's next read, or schedules it when the context is deferred.
  bool PostReceive(const std::shared_ptr<CCompletionContext>& context);
  // The context's next read is not armed before `milliseconds` from now.
  void Defer(const std::shared_ptr<CCompletionContext>& context, uint32_t milliseconds);
  // Unregisters the context. With `waitForHandler` (and when not called by the worker) it
  // also waits until the worker has left a handler of this context.
  void Disassociate(const std::shared_ptr<CCompletionContext>& context, bool waitForHandler);

  bool IsWorkerThread() const { return std::this_thread::get_id() == workerId_.load(); }
  bool IsRunning() const { return running_.load(); }
  // Bytes read in one go for contexts associated from now on (kCompletionReceiveSize).
  void SetReceiveSize(size_t bytes) { receiveSize_.store(bytes); }
  // Contexts currently registered.
  size_t ContextCount() const;

 private:
  CCompletionPool() = default;
  bool StartWorker();
  void Run();
  void Serve(const std::shared_ptr<CCompletionContext>& context);
  // Serve with the context's handler lock held by the caller.
  void ServeLocked(const std::shared_ptr<CCompletionContext>& context);
  int NextDeferralTimeout();
  void ArmDueDeferrals();
  bool Arm(const std::shared_ptr<CCompletionContext>& context);

  std::mutex startMutex_;  // guards creating the epoll set and the worker
  CIoPoller poller_;
  std::atomic<bool> running_{false};
  std::atomic<std::thread::id> workerId_{};
  std::atomic<size_t> receiveSize_{kCompletionReceiveSize};

  mutable std::mutex contextsMutex_;  // guards contexts_ and nextKey_
  std::unordered_map<uint64_t, std::shared_ptr<CCompletionContext>> contexts_;
  uint64_t nextKey_ = 1;

  std::mutex deferredMutex_;  // guards deferred_
  std::multimap<int64_t, std::weak_ptr<CCompletionContext>> deferred_;
};

}  // namespace zelm
