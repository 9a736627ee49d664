// CZmSocket: the one socket abstraction of the system.
//
// Every TCP endpoint (listener, control session, data connection, management link) derives
// from this class and customises it only through its virtual operations. The base class owns
// the socket mechanics: creating, binding, connecting, listening and accepting; an
// accumulating receive loop that hands whole messages to `OnReceiveData`; sends that wait,
// bounded, for the peer to take the bytes; and an orderly disconnect.
//
// A socket's network events are selected onto an event object (platform/event_object.h),
// which may be shared with other sockets: a control session and its data connection share
// one, the listener and its management link share another. The one thread that waits on that
// object (the owner's event thread, see "Event thread" below) calls `OnNetworkEvents`, which
// turns the events into calls of the handlers, in a fixed order. A connected socket can
// instead be served by the process-wide upload worker (`UseCompletionPort`,
// net/completion_port.h).
//
// Addresses passed in are IPv4 addresses in host byte order, ports in host byte order; the
// address getters return addresses as the socket layer stores them (network byte order).
// Socket failures are reported to `OnError` as Windows Sockets error numbers (platform/error.h)
// and classified there: tolerable codes carry on, every other code closes the socket.
//
// Ownership: the socket owns its descriptor (closed by `Close` and by the destructor), its
// receive blocks and its completion context. The event object is shared (reference counted);
// the socket whose thread waits on it forgets it in `ExitEvents`.
//
// Threads: every socket belongs to one thread, the one that drives it: its own event thread,
// the event thread of the socket that drives it (`SetDriver`: the management link is driven by
// the listener's, a data connection by its session's), or the upload worker while it is in
// completion mode. Only that thread writes, closes or re-arms the socket; every other thread
// hands it work with `Post`, which queues a task in the socket's inbox and wakes its thread,
// and may read the atomics (`IsConnected`, `IsListening`, the counters). `IsOnOwnThread` tells
// whether the caller is the owner. Handlers run on the owning thread and may block it.
// Shared words: `handle_`, `connected_`, `running_` and the completion flag are atomics;
// `sendMutex_` is held from reading the descriptor to the end of a message, and `Close` takes
// it around closing the descriptor, so no send can reach a descriptor number that has been
// closed and given to another connection; the atomic `closing_` lets one disconnect sequence
// run at a time (the upload worker ends an upload's connection as the session's thread may
// abort it; the later caller returns at once); `threadMutex_` guards the event-thread record,
// `inboxMutex_` the inbox. The receive pool belongs to the driving thread.
//
// Sends: `WriteSocket` sends in a loop over partial writes and waits for writability, so no
// send contexts or overlapped records exist; the per-socket send mutex is held for the whole
// message, so messages never interleave. Every deadline reads the injectable clock
// (platform/clock.h).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "net/receive_block.h"
#include "platform/event_object.h"
#include "platform/files.h"
#include "platform/socket.h"
#include "platform/thread_annotations.h"
#include "platform/tls.h"

namespace zelm {

class CCompletionContext;

// Event bits passed to `OnError`: which network event was being handled.
inline constexpr int kEventBitNone = 0;
inline constexpr int kEventBitReceive = 1;
inline constexpr int kEventBitSend = 2;
inline constexpr int kEventBitAccept = 8;
inline constexpr int kEventBitConnect = 16;

// Event-selection masks.
inline constexpr uint32_t kMaskCreate = 63;     // read, write, oob, accept, connect, close
inline constexpr uint32_t kMaskAttach = 55;     // read, write, oob, connect, close
inline constexpr uint32_t kMaskConnected = 51;  // read, write, connect, close
inline constexpr uint32_t kMaskListening = 40;  // accept, close
inline constexpr uint32_t kMaskFallback = 35;   // read, write, close
inline constexpr uint32_t kMaskConnectClose = 48;

// `port` value of `Create` that binds to any port.
inline constexpr uint32_t kAnyPort = 0xFFFFFFFF;
// `ResolveHost` result for a name that cannot be resolved.
inline constexpr uint32_t kResolveFailed = 0xFFFFFFFF;
// `GetNextTickDelay` result: no timed pass is needed, only events and signals.
inline constexpr int kNoTick = -1;
// `WriteFile` result: the caller reads and sends the bytes itself.
inline constexpr int64_t kFileSendFallback = -2;
// `WriteFile` result with `returnWhenIdle`: the peer took nothing during one wait.
inline constexpr int64_t kFileSendIdle = -3;
// `WriteFile` gives a peer that takes nothing as long as `WriteSocket` gives a message of
// this many bytes.
inline constexpr size_t kFileSendUnit = 64 * 1024;
// Connections `AcceptPending` takes in one pass.
inline constexpr int kMaxAcceptsPerPass = 64;
// Exit code of an event thread whose `InitEvents` failed.
inline constexpr uint32_t kEventThreadInitFailed = 0xFFFFFFFF;

class CZmSocket {
 public:
  CZmSocket();
  // Stops the event thread (bounded wait), closes the descriptor with the base `Close` and
  // frees the buffers. The object must not be destroyed while its event thread runs.
  virtual ~CZmSocket();
  CZmSocket(const CZmSocket&) = delete;
  CZmSocket& operator=(const CZmSocket&) = delete;

  // ---- Virtual operations, in their fixed order ----

  // Builds "%s On IP (%s)\r\n" or "%s %s On IP (%s)\r\n" (`address` 0: the peer's); the base
  // sends the line nowhere.
  virtual void LogEvent(const char* text, const char* detail, uint32_t address);
  // Classifies a socket error: code 0 and the tolerable codes return true; any other code
  // closes the socket (`Close(false)`) and returns false.
  virtual bool OnError(int eventBit, int code);
  // One pass of event handling (the dispatcher); `poll` is true when the event thread calls.
  // Returns whether events were handled.
  virtual bool OnNetworkEvents(CEventObject* event, bool poll);
  // The disconnect sequence; `byPeer` when the peer closed. Idempotent. May be called from
  // any thread; a call made while another one is under way returns at once.
  virtual void Close(bool byPeer);
  // Upload worker: the peer closed (`error` 0) or the read failed (`error` says why). Drops
  // the completion context, then `Close(false)` when the descriptor is still open.
  virtual void OnIoClosed(int error);
  // Upload worker hook for sends; never called by the system.
  virtual void OnIoSent(const uint8_t* data, size_t count);
  // Upload worker: `count` bytes arrived in `data` (a buffer of `capacity` bytes that belongs
  // to the worker and is valid during the call). The base does nothing; an override calls
  // `Receive(nullptr, 0, true)` to ask for the next read.
  virtual void OnIoReceived(uint8_t* data, size_t count, size_t capacity, bool more);
  // Timed pass of the event thread while the socket is not open.
  virtual void OnIdle();
  // Called by `Create` when there is no event object to select on.
  virtual void OnCreate();
  // The message handler. Called with every byte accumulated so far; `consumed` starts at 0.
  // Return 0 when the bytes are used up (the block is emptied), or n > 0 to keep the bytes not
  // yet consumed and have room for at least n more before the next call; set `consumed` to
  // the number of leading bytes already used (they are dropped before the next call).
  virtual int OnReceiveData(uint8_t* data, size_t length, size_t& consumed);
  // Length of the message starting with `header`; the base knows none and returns 0.
  virtual int GetMessageLength(const uint8_t* header, size_t length);
  // A new connection was accepted; return true to keep `socket` (it then belongs to the
  // callee), false to have it closed at once. The base refuses.
  virtual bool OnAccept(SocketHandle socket, SocketAddress address);
  // Network configuration changes are fatal: `OnError(0, 10050)`. The platform layer never
  // reports them on this system; they remain for derived classes that learn of them.
  virtual void OnRoutingInterfaceChange();
  virtual void OnAddressListChange(int code);
  // `OnError(2, code)`; never called by the system.
  virtual void OnSendError(int code);
  // The accumulating receive loop; returns false.
  virtual bool OnReceive(int code);
  // Outcome of a connect: 0 marks the socket connected; an error is reported through
  // `OnError(16, code)` and closes the socket.
  virtual void OnConnect(int code);
  // First step of `Close` while the descriptor is open.
  virtual void OnClosing(bool byPeer);
  // Last step of `Close`.
  virtual void OnClosed(bool wasConnected, bool wasListening);
  // Event-thread start: makes sure there is an event object and selects the socket's events
  // on it. False ends the thread at once.
  virtual bool InitEvents();
  // Event-thread body: waits on the event object and dispatches until `running` is cleared.
  virtual void RunEventLoop();
  // Event-thread end: forgets the event object and the thread record.
  virtual void ExitEvents();
  // How long, in milliseconds from now, the event thread may wait before it must make a timed
  // pass (`OnNetworkEvents(event, true)` while open, `OnIdle()` while closed); kNoTick when
  // only events and signals need a pass. Asked before every wait. Owners with timeouts (the
  // control session's deadlines, the listener's idle pass) override it; the base needs none,
  // so an idle socket's thread sleeps until something happens.
  virtual int GetNextTickDelay();
  // The receive block reached its cap (`SetReceiveBlockCap`) and the handler still wants
  // more. Return true to have the block's bytes dropped and receiving go on; false stops the
  // receive loop. The base closes the connection and returns false.
  virtual bool OnReceiveBlockFull(const uint8_t* data, size_t length);

  // ---- Setting up ----

  // Opens a new socket (`type`, `protocol`: stream/TCP 1/6); binds it to (`address`, `port`)
  // when `port` is not 0 (kAnyPort: any port); selects mask 63 on `event` (or the socket's
  // own event object). False leaves the object closed.
  bool Create(std::shared_ptr<CEventObject> event, uint32_t address, uint32_t port, int type,
              int protocol);
  bool CreateByName(std::shared_ptr<CEventObject> event, const char* hostName, uint32_t port,
                    int type, int protocol);
  // null -> 0; dotted text -> its address; else the first address of a name lookup; failure
  // -> kResolveFailed. Host byte order.
  static uint32_t ResolveHost(const char* name);
  // Adopts an already connected descriptor (an accepted connection). False when `socket` is
  // not an open socket (it is then not adopted) or the selection fails (it stays adopted).
  bool Attach(SocketHandle socket, std::shared_ptr<CEventObject> event);
  // Starts an outgoing connection; true also while it is in progress (the outcome arrives as
  // `OnConnect`).
  bool Connect(uint32_t address, uint32_t port);
  // Listens on (`address`, `port`); a socket already listening there is kept.
  bool Listen(uint32_t port, uint32_t address);
  // Accepts the pending connections, at most kMaxAcceptsPerPass of them (the rest in the
  // next pass), offering each to `OnAccept`; true if any was accepted.
  bool AcceptPending();

  // ---- Data ----

  // One receive: byte count, 0 when the peer has closed, -1 on error. `remove` false peeks.
  // In completion mode it arms the next read of the upload worker instead (see PostReceive).
  int Receive(uint8_t* buffer, size_t length, bool remove);
  // Sends `length` bytes: `length` on success, 0 when the send failed but the socket is still
  // open, -1 when it is not connected or has been closed. Waits for the peer to take the bytes
  // at most kSendTimeoutPerKibMs per whole KiB and never less than that; a send that does not
  // finish counts as short and the fifth short send in a row closes the socket. The owning
  // thread (a send racing a close from elsewhere never reaches a reused descriptor, but the
  // rule is that only the owner sends).
  int WriteSocket(const uint8_t* data, size_t length);
  // Sends as much of `length` bytes as the peer takes, waiting for room at most once and at
  // most `waitMs` (real time) while nothing has gone: the bytes sent, 0 when the peer took
  // nothing in that time (not a short send: the caller decides how long it waits), -1 when
  // the socket is not connected or the send failed. The owning thread.
  int WriteSocketSome(const uint8_t* data, size_t length, uint32_t waitMs);
  int Send(const uint8_t* data, size_t length) { return WriteSocket(data, length); }
  // Sends up to `length` bytes of `file` from its position without copying them through the
  // process. The call waits in the kernel for room in the send buffer and returns once all
  // went, at the end of the file, or once `stretchMs` have passed with some bytes sent (so
  // that the caller can look at other things between stretches). Returns the bytes sent (0 at
  // the end of the file); -1 when the socket is not connected or the peer took nothing for as
  // long as `WriteSocket` would wait for a kFileSendUnit-byte message (a short send, counted
  // as `WriteSocket` counts it); kFileSendFallback when an error stopped it before any byte
  // went (the file or connection cannot be sent this way, or the read or send failed): the
  // caller reads and sends the bytes itself, which also tells a failed read from a failed
  // send. With `returnWhenIdle` the call never waits past one wait of `stretchMs` in which
  // the peer took nothing: it returns what went before, or kFileSendIdle when nothing did
  // (not a short send: the caller decides how long it waits). The owning thread.
  int64_t WriteFile(CFile& file, size_t length, uint32_t stretchMs, bool returnWhenIdle = false);

  // ---- TLS ----

  // Runs the server side of a TLS handshake on the connected socket (the owning thread, in
  // event mode; it waits for the peer at most `timeoutMs`); from then on every receive and
  // send of this connection, the upload worker's reads included, goes through it, and the
  // close sends close_notify. `sessionContext`, `issueTickets`: see platform/tls.h. False
  // with `error` set: the caller closes the connection.
  bool StartTls(std::shared_ptr<CTlsServer> context, std::string_view sessionContext, int timeoutMs,
                std::string& error, bool issueTickets = true);
  // The connection's TLS (null when it speaks in clear). Any thread.
  std::shared_ptr<CTlsConnection> Tls() const;
  bool IsTlsActive() const { return Tls() != nullptr; }
  // Upload worker: one read of the connection (through its TLS, record after record, when it
  // has one), as `ReceiveSocket` reports it.
  long ReadForWorker(uint8_t* buffer, size_t length, int& error);
  // Decrypted bytes wait in the connection's TLS: the descriptor will not signal them.
  bool HasBufferedInput() const;

  // ---- State ----

  bool IsValid() const;
  bool IsConnected() const;
  bool IsListening() const;
  uint32_t GetPeerAddress();
  uint16_t GetLocalPort();
  uint32_t GetLocalAddress();
  uint32_t GetPeerIp() const;
  // The four bytes of a network-order address in memory order ("%lu.%lu.%lu.%lu"); address 0
  // means the peer's.
  std::string FormatIp(uint32_t address) const;
  static std::string FormatIpAddress(uint32_t networkAddress);

  SocketHandle GetHandle() const { return handle_.load(); }
  const std::shared_ptr<CEventObject>& GetEvent() const { return event_; }
  void SetEvent(std::shared_ptr<CEventObject> event) { event_ = std::move(event); }
  // Selects `mask` on the socket's event object (mask 0 deselects). False when there is no
  // descriptor or no event object.
  bool SelectEvents(uint32_t mask);
  void SetConnectBindAddress(uint32_t address) { connectBindAddress_ = address; }
  // Lets `Create` bind a port that closed connections still hold (SO_REUSEADDR), so that a
  // restarted server can listen again at once. Off by default.
  void SetReuseAddress(bool on) { reuseAddress_ = on; }
  void SetReceiveBlockSize(uint32_t size) { receiveBlockSize_ = size; }
  // Largest size a receive block may reach (default kMaxReceiveBlock).
  void SetReceiveBlockCap(size_t cap) { receiveBlockCap_ = cap; }
  // Replaces kSendTimeoutPerKibMs for this socket (tests use short values).
  void SetSendTimeoutUnit(uint32_t milliseconds) { sendTimeoutUnit_ = milliseconds; }
  uint32_t GetSendFailures() const { return sendFailures_.load(); }
  // The error of the last failed `Receive`.
  int GetLastError() const { return lastError_.load(); }
  // The error of the last failed wait or selection of the event thread.
  int GetLastEventError() const { return lastEventError_.load(); }

  // ---- Inbox (any thread) ----

  // Queues `task` for the thread that owns this socket (its event thread, or its driver's) and
  // wakes that thread; tasks run in the order posted, before the thread's next pass. A socket
  // whose thread has not started keeps them until it does.
  void Post(std::function<void()> task);
  // Whether the caller is the thread that owns this socket: its running event thread, or its
  // driver's. With no event thread running (before the start, after the stop) the thread that
  // started or stopped it owns it, and any caller counts as the owner.
  bool IsOnOwnThread() const;
  // This socket is served by `driver`'s event thread: posts and thread checks go there. Set
  // once, before the driver's thread serves it.
  void SetDriver(CZmSocket* driver) { driver_ = driver; }

  // ---- Event thread (own thread of this socket) ----

  // Starts the event thread unless one is running; true when one runs afterwards.
  bool StartEventThread();
  // Ends the event thread: clears `running` and wakes it; from the thread itself it returns at
  // once (the loop ends after the current handler). With `wait`, waits at most the stop bound
  // (kEventThreadStopWaitMs) for it to end; a thread that does not end in time is left
  // running, detached, never killed. Any thread.
  void StopEventThread(bool wait);
  bool IsEventThreadRunning() const;
  // Exit code of the last event thread that ended (0, or kEventThreadInitFailed).
  uint32_t GetEventThreadExitCode() const;
  // Wakes the event thread for a pass (`OnNetworkEvents(event, true)`), for instance after
  // another thread stored a result it must act on. Any thread.
  void WakeEventThread();
  // Replaces the stop bound for this socket (tests).
  void SetStopWaitBound(uint32_t milliseconds) { stopWaitMs_ = milliseconds; }

  // ---- Upload worker ----

  // Leaves event mode for the upload worker; true also when already there. On failure the
  // socket stays in event mode with mask 35.
  bool UseCompletionPort();
  bool IsInCompletionMode() const { return completionMode_.load(); }
  // Arms one read of the upload worker: 0 when armed, -1 when the socket is not in completion
  // mode or arming failed.
  int PostReceive();
  // Upload worker: do not read this socket again before `milliseconds` have passed; the next
  // `PostReceive` arms the read only then. Other sockets are not held up.
  void DeferReceive(uint32_t milliseconds);

  // ---- Internal steps, open to derived classes ----

  void SetLinger(bool on, int seconds);
  // Puts the socket options back to neutral values before closing.
  void ResetOptions();
  // Frees the receive blocks.
  void ReleaseBuffers();

 protected:
  // Runs the tasks queued by `Post` (the owning thread). The event loop calls it before every
  // pass; owners whose handlers run long (a download) call it between steps too.
  void RunPostedTasks();
  bool HasPostedTasks();

  // For destructors of derived classes: waits until the upload worker has left this object's
  // handlers, then runs the disconnect sequence of the base class.
  void CloseSocket(bool byPeer) {
    DropCompletionContext(true);
    CZmSocket::Close(byPeer);
  }

 private:
  struct ThreadRecord;

  // Debug builds: a write, close or re-arm from a thread that does not own the socket (see
  // "Threads" above) ends the process with a message naming `operation`.
  void CheckOwnThread(const char* operation) const;
  void ThreadProcedure(const std::shared_ptr<ThreadRecord>& record);
  std::shared_ptr<ThreadRecord> CurrentThreadRecord() const;
  bool DeliverBlock(CReceiveBlock& block);
  void DropCompletionContext(bool waitForWorker);
  std::shared_ptr<CCompletionContext> GetCompletionContext();
  void Deselect();
  bool SelectOn(const std::shared_ptr<CEventObject>& event, uint32_t mask);

  std::atomic<SocketHandle> handle_{kInvalidSocket};
  uint32_t connectBindAddress_ = 0;
  bool reuseAddress_ = false;
  SocketAddress peerAddress_{};
  SocketAddress localAddress_{};
  std::atomic<bool> connected_{false};
  std::atomic<bool> listening_{false};
  std::shared_ptr<CEventObject> event_;
  std::mutex selectMutex_;                    // guards selectedOn_
  std::shared_ptr<CEventObject> selectedOn_;  // the object the descriptor is selected on
  std::atomic<int> lastError_{0};
  uint32_t receiveBlockSize_ = 0;
  size_t receiveBlockCap_;
  uint32_t sendTimeoutUnit_;
  std::atomic<uint32_t> sendFailures_{0};
  CMutex sendMutex_;                  // held from reading the descriptor to the message's end
  std::atomic<bool> closing_{false};  // a disconnect sequence is under way
  CReceiveBlockPool receivePool_;
  std::atomic<uint32_t> connectionSerial_{0};  // advanced whenever a descriptor is closed
  uint32_t poolSerial_ = 0;                    // the connection the pool's bytes came from

  std::mutex completionMutex_;  // guards completionContext_
  std::shared_ptr<CCompletionContext> completionContext_;
  std::shared_ptr<CCompletionContext> retiredContext_;  // the last one, until destruction
  std::atomic<bool> completionMode_{false};

  // Set by StartTls on the owning thread, dropped by Close; read by the upload worker too.
  mutable CMutex tlsMutex_;
  std::shared_ptr<CTlsConnection> tls_ ZELM_GUARDED_BY(tlsMutex_);

  CZmSocket* driver_ = nullptr;  // the socket whose thread serves this one; null: its own
  CMutex inboxMutex_;
  std::deque<std::function<void()>> inbox_ ZELM_GUARDED_BY(inboxMutex_);

  mutable std::mutex threadMutex_;  // guards thread_
  std::shared_ptr<ThreadRecord> thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> wakeRequested_{false};  // a pass asked for by WakeEventThread
  std::atomic<uint32_t> stopWaitMs_;
  std::atomic<uint32_t> lastExitCode_{0};
  std::atomic<int> lastEventError_{0};
};

// Waits `milliseconds`. There are no window messages to keep flowing here: it sleeps.
void PumpWait(uint32_t milliseconds);

}  // namespace zelm
