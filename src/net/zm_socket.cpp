// Owns the socket mechanics of CZmSocket: set-up, the receive loop, bounded sends, the
// disconnect sequence and the move to the upload worker.
#include "net/zm_socket.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/completion_port.h"
#include "net/socket_error_text.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/file_send.h"
#include "platform/journal.h"
#include "platform/limits.h"

namespace zelm {
namespace {

constexpr int kMaxReceivesPerPass = 1000;
constexpr size_t kDefaultReceiveBlock = 1024;
constexpr size_t kDrainChunk = 50;
constexpr int kMaxBacklog = 0x7FFFFFFF;

// Tolerable socket errors: everything else between 10000 and 11999 closes the socket.
bool IsTolerableSocketError(int code) {
  switch (code) {
    case 0:
    case kWsaEintr:
    case kWsaEinval:
    case kWsaEwouldblock:
    case kWsaEinprogress:
    case kWsaEalready:
    case kWsaEmsgsize:
    case kWsaEopnotsupp:
    case kWsaEconnaborted:
      return true;
    default:
      return code <= 10000 || code >= 11999;
  }
}

}  // namespace

void CZmSocket::CheckOwnThread(const char* operation) const {
#ifndef NDEBUG
  // The upload worker serves a socket in completion mode and ends its connection there.
  if (IsOnOwnThread() || CCompletionPool::Instance().IsWorkerThread()) return;
  WriteJournalLine(LogPriority::kErr, std::string("zelm: ") + operation +
                                          " on a socket from a thread that does not own it");
  std::abort();
#else
  (void)operation;
#endif
}

CZmSocket::CZmSocket()
    : receiveBlockCap_(kMaxReceiveBlock),
      sendTimeoutUnit_(kSendTimeoutPerKibMs),
      stopWaitMs_(kEventThreadStopWaitMs) {
  peerAddress_.address = 0xFFFFFFFF;
}

CZmSocket::~CZmSocket() {
  // Stopping the thread first keeps it from handling events of a half-closed socket.
  StopEventThread(true);
  // The upload worker must have left every handler of this object before its memory goes.
  DropCompletionContext(true);
  if (handle_.load() != kInvalidSocket) CZmSocket::Close(false);
  ReleaseBuffers();
}

// ---- Virtual operations ----

void CZmSocket::LogEvent(const char* text, const char* detail, uint32_t address) {
  if (address == 0) address = GetPeerIp();
  std::string ip = FormatIpAddress(address);
  char line[512];
  if (detail != nullptr) {
    snprintf(line, sizeof line, "%s %s On IP (%s)\r\n", text, detail, ip.c_str());
  } else {
    snprintf(line, sizeof line, "%s On IP (%s)\r\n", text, ip.c_str());
  }
  // The base class has no log to send the line to.
}

bool CZmSocket::OnError(int /*eventBit*/, int code) {
  if (IsTolerableSocketError(code)) return true;
  std::string text;
  GetSocketErrorText(code, text);  // for diagnostics of derived classes; shown nowhere here
  Close(false);
  return false;
}

void CZmSocket::OnIoClosed(int /*error*/) {
  DropCompletionContext(false);
  if (IsValid()) Close(false);
}

void CZmSocket::OnIoSent(const uint8_t*, size_t) {}
void CZmSocket::OnIoReceived(uint8_t*, size_t, size_t, bool) {}
void CZmSocket::OnIdle() {}
void CZmSocket::OnCreate() {}

int CZmSocket::OnReceiveData(uint8_t*, size_t, size_t& consumed) {
  consumed = 0;
  return 0;
}

int CZmSocket::GetMessageLength(const uint8_t*, size_t) { return 0; }
bool CZmSocket::OnAccept(SocketHandle, SocketAddress) { return false; }
void CZmSocket::OnRoutingInterfaceChange() { OnError(kEventBitNone, kWsaEnetdown); }
void CZmSocket::OnAddressListChange(int) { OnError(kEventBitNone, kWsaEnetdown); }
void CZmSocket::OnSendError(int code) { OnError(kEventBitSend, code); }

void CZmSocket::OnConnect(int code) {
  if (code == 0) {
    connected_.store(true);
    return;
  }
  OnError(kEventBitConnect, code);
  Close(false);
}

void CZmSocket::OnClosing(bool) {}
void CZmSocket::OnClosed(bool, bool) {}
int CZmSocket::GetNextTickDelay() { return kNoTick; }

bool CZmSocket::OnReceiveBlockFull(const uint8_t*, size_t) {
  Close(false);
  return false;
}

// ---- Receiving ----

bool CZmSocket::OnReceive(int code) {
  if (code != 0 && !OnError(kEventBitReceive, code)) return false;
  const uint32_t serial = connectionSerial_.load();
  if (poolSerial_ != serial) {
    // Bytes kept from an earlier connection of this object belong to nobody now.
    receivePool_.DiscardUnlocked();
    poolSerial_ = serial;
  }
  for (int i = 0; i < kMaxReceivesPerPass; ++i) {
    CReceiveBlock* block = receivePool_.GetCurrent();
    if (block == nullptr) block = receivePool_.GetFreeBlock();
    if (block == nullptr) return false;
    size_t want = block->FreeSpace();
    if (want == 0) want = receiveBlockSize_ != 0 ? receiveBlockSize_ : kDefaultReceiveBlock;
    if (block->Reserve(want) == nullptr) return false;
    const size_t used = block->Used();
    int n = Receive(block->Data() + used, block->FreeSpace(), true);
    if (n < 0) {
      OnError(kEventBitReceive, lastError_.load());  // a drained socket ends here (10035)
      break;
    }
    if (n == 0) {
      // The peer has closed; its close event follows. A TLS peer's close_notify may come with
      // no close of the connection behind it: that is the end too.
      if (IsTlsActive()) Close(true);
      break;
    }
    block->SetUsed(used + static_cast<size_t>(n));
    if (!DeliverBlock(*block)) break;
  }
  // Bytes the TLS library holds already will not wake the descriptor: another pass reads them.
  if (HasBufferedInput()) WakeEventThread();
  return false;
}

// Hands the block to OnReceiveData until the handler has no more whole messages in it.
// False when receiving must stop (the socket was closed, or the block is full).
bool CZmSocket::DeliverBlock(CReceiveBlock& block) {
  for (;;) {
    const uint32_t serial = connectionSerial_.load();
    size_t consumed = 0;
    block.Lock();
    int r = OnReceiveData(block.Data(), block.Used(), consumed);
    block.Unlock();
    if (connectionSerial_.load() != serial || handle_.load() == kInvalidSocket) {
      // The handler closed the connection: what is left belongs to nobody.
      if (!block.IsLocked()) block.Release();
      return false;
    }
    if (r <= 0) {
      if (!block.IsLocked()) block.Release();  // the next read starts a fresh block
    } else {
      // The consumed prefix was handled: the next call must not see it again.
      block.DropFront(consumed < block.Used() ? consumed : block.Used());
      const size_t wanted = static_cast<size_t>(r);
      if (block.FreeSpace() < wanted) {
        size_t target = block.Used() + wanted;
        if (target > receiveBlockCap_) target = receiveBlockCap_;
        if (target > block.Capacity()) {
          if (!block.Grow(target - block.Capacity())) return false;
        } else if (block.FreeSpace() == 0) {
          // At the cap and the handler still wants more: its owner decides.
          if (!OnReceiveBlockFull(block.Data(), block.Used())) {
            if (!block.IsLocked()) block.Release();
            return false;
          }
          block.Release();
        }
      }
    }
    if (block.IsLocked()) return true;
    // Bytes that nested receives collected while the handler worked follow these ones. The
    // handler has seen them already and asked for more; they need another look only when
    // they now follow bytes it kept.
    const bool keptBytes = block.Used() > 0;
    if (!receivePool_.GatherInto(block) || !keptBytes) return true;
  }
}

int CZmSocket::Receive(uint8_t* buffer, size_t length, bool remove) {
  SocketHandle fd = handle_.load();
  if (fd == kInvalidSocket) {
    lastError_.store(kWsaEnotconn);
    OnError(kEventBitReceive, kWsaEnotconn);
    return -1;
  }
  if (completionMode_.load()) return PostReceive();
  int error = 0;
  const std::shared_ptr<CTlsConnection> tls = Tls();
  long n =
      tls ? tls->Read(buffer, length, error) : ReceiveSocket(fd, buffer, length, !remove, error);
  if (n < 0) {
    lastError_.store(error);
    return -1;
  }
  return static_cast<int>(n);
}

// ---- TLS ----

bool CZmSocket::StartTls(std::shared_ptr<CTlsServer> context, std::string_view sessionContext,
                         int timeoutMs, std::string& error, bool issueTickets) {
  CheckOwnThread("StartTls");
  const SocketHandle fd = handle_.load();
  if (fd == kInvalidSocket || !connected_.load() || completionMode_.load() || !context) {
    error = "the connection is not open";
    return false;
  }
  auto tls = std::make_shared<CTlsConnection>(std::move(context), fd, sessionContext, issueTickets);
  if (!tls->Accept(timeoutMs, error)) return false;
  CMutexLock lock(tlsMutex_);
  tls_ = std::move(tls);
  return true;
}

std::shared_ptr<CTlsConnection> CZmSocket::Tls() const {
  CMutexLock lock(tlsMutex_);
  return tls_;
}

long CZmSocket::ReadForWorker(uint8_t* buffer, size_t length, int& error) {
  const std::shared_ptr<CTlsConnection> tls = Tls();
  if (tls) return tls->ReadMany(buffer, length, error);
  return ReceiveSocket(handle_.load(), buffer, length, false, error);
}

bool CZmSocket::HasBufferedInput() const {
  const std::shared_ptr<CTlsConnection> tls = Tls();
  return tls && tls->HasBufferedInput();
}

// ---- Sending ----

int CZmSocket::WriteSocket(const uint8_t* data, size_t length) {
  CheckOwnThread("WriteSocket");
  size_t sent = 0;
  int error = 0;
  {
    // The descriptor is read under the send lock, which `Close` holds while it closes it: a
    // sender that waited for the lock never sends on a number given to another connection.
    CMutexLock lock(sendMutex_);
    const SocketHandle fd = handle_.load();
    if (fd == kInvalidSocket || !connected_.load()) {
      lock.Unlock();
      OnError(kEventBitReceive, kWsaEnotconn);
      return -1;
    }
    const int64_t timeout = static_cast<int64_t>(sendTimeoutUnit_) *
                            static_cast<int64_t>(length / 1024 > 1 ? length / 1024 : 1);
    const int64_t deadline = MonotonicMilliseconds() + timeout;
    const std::shared_ptr<CTlsConnection> tls = Tls();
    while (sent < length) {
      long n = tls ? tls->Write(data + sent, length - sent, error)
                   : SendSocket(fd, data + sent, length - sent, error);
      if (n > 0) {
        sent += static_cast<size_t>(n);
        continue;
      }
      if (n == 0 || error != kWsaEwouldblock) break;
      int64_t remaining = deadline - MonotonicMilliseconds();
      if (remaining <= 0) break;  // timed out: a short send
      int waitError = 0;
      int ready = WaitWritable(fd, static_cast<int>(remaining), waitError);
      if (ready < 0) {
        error = waitError;
        break;
      }
    }
  }
  if (sent == length) {
    sendFailures_.store(0);
    return static_cast<int>(length);
  }
  if (error != 0 && error != kWsaEwouldblock && !OnError(kEventBitSend, error)) {
    return IsValid() ? 0 : -1;
  }
  if (handle_.load() != kInvalidSocket) {
    uint32_t before = sendFailures_.fetch_add(1);
    if (before + 1 >= kMaxShortSends) Close(false);
  }
  return handle_.load() != kInvalidSocket ? 0 : -1;
}

int CZmSocket::WriteSocketSome(const uint8_t* data, size_t length, uint32_t waitMs) {
  CheckOwnThread("WriteSocketSome");
  size_t sent = 0;
  int error = 0;
  bool waited = false;
  {
    CMutexLock lock(sendMutex_);  // see WriteSocket
    const SocketHandle fd = handle_.load();
    if (fd == kInvalidSocket || !connected_.load()) {
      lock.Unlock();
      OnError(kEventBitReceive, kWsaEnotconn);
      return -1;
    }
    const std::shared_ptr<CTlsConnection> tls = Tls();
    while (sent < length) {
      const long n = tls ? tls->Write(data + sent, length - sent, error)
                         : SendSocket(fd, data + sent, length - sent, error);
      if (n > 0) {
        sent += static_cast<size_t>(n);
        continue;
      }
      if (n == 0 || error != kWsaEwouldblock) break;
      // The buffer is full: what went is enough for now; with nothing gone, one wait.
      if (sent > 0 || waited) break;
      waited = true;
      int waitError = 0;
      const int ready = WaitWritable(fd, static_cast<int>(waitMs), waitError);
      if (ready < 0) {
        error = waitError;
        break;
      }
      if (ready == 0) break;  // the peer took nothing in `waitMs`
    }
  }
  // A failure after some bytes went is met again by the next call.
  if (sent > 0 || error == 0 || error == kWsaEwouldblock) {
    if (sent > 0) sendFailures_.store(0);
    return static_cast<int>(sent);
  }
  return OnError(kEventBitSend, error) && IsValid() ? 0 : -1;  // tolerable: try again later
}

int64_t CZmSocket::WriteFile(CFile& file, size_t length, uint32_t stretchMs, bool returnWhenIdle) {
  CheckOwnThread("WriteFile");
  // The kernel here has no TLS of its own: the caller encrypts what it reads.
  if (IsTlsActive()) return kFileSendFallback;
  size_t sent = 0;
  int error = 0;
  bool ended = false;
  bool timedOut = false;
  {
    CMutexLock lock(sendMutex_);  // see WriteSocket
    const SocketHandle fd = handle_.load();
    if (fd == kInvalidSocket || !connected_.load()) {
      lock.Unlock();
      OnError(kEventBitReceive, kWsaEnotconn);
      return -1;
    }
    // The peer must take something within the time WriteSocket grants a message of
    // kFileSendUnit bytes; a peer that keeps taking bytes is never cut off.
    const int64_t patience = static_cast<int64_t>(sendTimeoutUnit_) *
                             static_cast<int64_t>(std::min(length, kFileSendUnit) / 1024 > 1
                                                      ? std::min(length, kFileSendUnit) / 1024
                                                      : 1);
    const int64_t start = MonotonicMilliseconds();
    int64_t deadline = start + patience;
    while (sent < length) {
      const int64_t now = MonotonicMilliseconds();
      if (now >= deadline) {
        timedOut = true;
        break;
      }
      if (sent > 0 && now - start >= stretchMs) break;  // the caller looks around, then goes on
      const int64_t wait = std::min<int64_t>(deadline - now, std::max<int64_t>(stretchMs, 1));
      const long n =
          SendFileToSocketWaiting(fd, file, length - sent, static_cast<int>(wait), error);
      if (n > 0) {
        sent += static_cast<size_t>(n);
        deadline = MonotonicMilliseconds() + patience;
        continue;
      }
      if (n == 0) {
        ended = true;
        break;
      }
      if (error != kWsaEwouldblock) break;
      if (returnWhenIdle) {
        // A whole wait went by without room: the caller looks around before it waits again.
        if (sent == 0) return kFileSendIdle;
        error = 0;
        break;
      }
    }
  }
  if (sent == length || ended || (sent > 0 && !timedOut && error == 0)) {
    sendFailures_.store(0);
    return static_cast<int64_t>(sent);
  }
  // A failure after some bytes went is met again by the next call, which falls back then.
  if (!timedOut) return sent > 0 ? static_cast<int64_t>(sent) : kFileSendFallback;
  if (handle_.load() != kInvalidSocket) {
    const uint32_t before = sendFailures_.fetch_add(1);
    if (before + 1 >= kMaxShortSends) Close(false);
  }
  return sent > 0 ? static_cast<int64_t>(sent) : -1;
}

// ---- Setting up ----

bool CZmSocket::SelectOn(const std::shared_ptr<CEventObject>& event, uint32_t mask) {
  std::lock_guard<std::mutex> lock(selectMutex_);
  SocketHandle fd = handle_.load();
  if (fd == kInvalidSocket || !event) return false;
  if (selectedOn_ && selectedOn_ != event) selectedOn_->Select(fd, 0);
  event->Select(fd, mask);
  if (mask != 0) {
    selectedOn_ = event;
  } else {
    selectedOn_.reset();
  }
  return true;
}

void CZmSocket::Deselect() {
  std::lock_guard<std::mutex> lock(selectMutex_);
  SocketHandle fd = handle_.load();
  if (selectedOn_ && fd != kInvalidSocket) selectedOn_->Select(fd, 0);
  selectedOn_.reset();
}

bool CZmSocket::SelectEvents(uint32_t mask) {
  CheckOwnThread("SelectEvents");
  std::shared_ptr<CEventObject> event = event_;
  if (!event) {
    std::lock_guard<std::mutex> lock(selectMutex_);
    event = selectedOn_;
  }
  if (!event) return false;
  return SelectOn(event, mask);
}

bool CZmSocket::Create(std::shared_ptr<CEventObject> event, uint32_t address, uint32_t port,
                       int type, int protocol) {
  Close(false);
  int error = 0;
  SocketHandle fd = OpenSocket(type, protocol, error);
  if (fd == kInvalidSocket) return false;
  if (port != 0) {
    uint16_t bindPort = port == kAnyPort ? 0 : static_cast<uint16_t>(port);
    if (reuseAddress_) SetSocketOption(fd, SocketOption::kReuseAddress, 1, error);
    if (!BindSocket(fd, address, bindPort, error)) {
      zelm::CloseSocket(fd);
      return false;
    }
  }
  handle_.store(fd);
  listening_.store(false);
  if (!event) event = event_;
  if (!event) {
    OnCreate();
    return true;
  }
  return SelectOn(event, kMaskCreate);
}

bool CZmSocket::CreateByName(std::shared_ptr<CEventObject> event, const char* hostName,
                             uint32_t port, int type, int protocol) {
  return Create(std::move(event), ResolveHost(hostName), port, type, protocol);
}

uint32_t CZmSocket::ResolveHost(const char* name) {
  if (name == nullptr) return 0;
  uint32_t address = 0;
  if (ParseDottedAddress(name, address)) return address;
  if (LookUpHostAddress(name, address)) return address;
  return kResolveFailed;
}

bool CZmSocket::Attach(SocketHandle socket, std::shared_ptr<CEventObject> event) {
  if (GetSocketType(socket) < 0) return false;
  Close(false);
  handle_.store(socket);
  listening_.store(false);
  SetLinger(false, 0);
  if (event && !SelectOn(event, kMaskAttach)) return false;
  event_ = std::move(event);
  SocketAddress peer;
  int error = 0;
  const bool connected = GetPeerName(socket, peer, error);
  connected_.store(connected);
  if (connected) {
    peerAddress_ = peer;
  } else {
    GetPeerAddress();
  }
  return true;
}

bool CZmSocket::Connect(uint32_t address, uint32_t port) {
  if (handle_.load() == kInvalidSocket || connected_.load()) {
    if (!CreateByName(event_, nullptr, 0, kSocketStream, kProtocolTcp)) return false;
  }
  connected_.store(false);
  SocketHandle fd = handle_.load();
  int error = 0;
  if (connectBindAddress_ != 0 && !BindSocket(fd, connectBindAddress_, 0, error)) {
    Deselect();
    handle_.store(kInvalidSocket);
    zelm::CloseSocket(fd);
    connectionSerial_.fetch_add(1);
    return false;
  }
  if (event_) SelectOn(event_, kMaskConnected);
  bool done = ConnectSocket(fd, address, static_cast<uint16_t>(port), error);
  if (done) connected_.store(true);
  std::shared_ptr<CEventObject> selected;
  {
    std::lock_guard<std::mutex> lock(selectMutex_);
    selected = selectedOn_;
  }
  // The outcome, even an immediate one, is reported as a connect event.
  if (selected) selected->NoteConnectStarted(fd, done ? 0 : error);
  return true;
}

bool CZmSocket::Listen(uint32_t port, uint32_t address) {
  bool keep = false;
  if (listening_.load() && IsValid()) {
    SocketAddress local;
    int error = 0;
    keep = GetSocketName(handle_.load(), local, error) && NetworkToHost16(local.port) == port &&
           NetworkToHost32(local.address) == address;
  }
  if (!keep && !Create(event_, address, port, kSocketStream, kProtocolTcp)) return false;
  connected_.store(false);
  int error = 0;
  if (!ListenSocket(handle_.load(), kMaxBacklog, error)) {
    OnError(kEventBitNone, error);
    return false;
  }
  KeepReserveDescriptor();
  listening_.store(true);
  return true;
}

bool CZmSocket::AcceptPending() {
  int count = 0;
  int error = 0;
  for (;;) {
    SocketHandle fd = handle_.load();
    if (fd == kInvalidSocket) {
      error = 0;
      break;
    }
    SocketAddress peer;
    SocketHandle accepted = AcceptSocket(fd, peer, error);
    if (accepted == kInvalidSocket) {
      if (IsDescriptorShortage(error)) {
        // Out of descriptors: the listener stays open. Waiting clients are turned away with a
        // closed connection, so that nothing spins on them, and new ones are taken again as
        // soon as descriptors free up.
        for (int refused = 0; refused < kMaxBacklog && RefusePendingConnection(fd); ++refused) {
        }
        error = 0;
      }
      break;
    }
    ++count;
    if (!OnAccept(accepted, peer)) zelm::CloseSocket(accepted);
    // A stream of new connections must not keep the thread from its other work (the
    // listener's serves the management link): the rest wait for the next pass, which the
    // still readable listening socket brings at once.
    if (count >= kMaxAcceptsPerPass) {
      error = 0;
      break;
    }
    if (handle_.load() != fd) {
      // The handler took the connection over this very object (a data connection): the
      // listener is gone, nothing more to accept.
      error = 0;
      break;
    }
  }
  OnError(kEventBitAccept, error);
  return count > 0;
}

// ---- Closing ----

void CZmSocket::Close(bool byPeer) {
  // One disconnect sequence at a time: a second caller (the upload worker and the owner's
  // thread may both close a data connection) finds it under way and leaves it to the first.
  // No lock is held across the hooks, which may block on other threads.
  CheckOwnThread("Close");
  if (closing_.exchange(true)) return;
  const bool wasConnected = IsConnected();
  connected_.store(false);
  bool wasListening = false;
  const SocketHandle fd = handle_.load();
  const bool open = IsValid();
  if (open) {
    OnClosing(byPeer);
    LogEvent("Disconnecting Socket ", nullptr, 0);
    if (listening_.load()) {
      wasListening = true;  // no connection: no options to put back, no bytes to drain
    } else {
      if (const std::shared_ptr<CTlsConnection> tls = Tls()) tls->Shutdown();  // close_notify
      ShutdownSocket(fd, ShutdownHow::kSend);  // the disconnect indication
      ShutdownSocket(fd, ShutdownHow::kBoth);
      ResetOptions();
    }
    if (!byPeer && !wasListening) {
      // Unread bytes would make the close a reset, which can cost the peer our last replies.
      uint8_t discard[kDrainChunk];
      int error = 0;
      while (ReceiveSocket(fd, discard, sizeof discard, false, error) > 0) {
      }
    }
  }
  // Leave the upload worker and the event object before the descriptor number can be reused;
  // a read the worker has under way on it finishes first.
  DropCompletionContext(true);
  if (fd != kInvalidSocket) {
    Deselect();
    // A sender holding the lock is woken by the shutdown above and lets go at once.
    CMutexLock lock(sendMutex_);
    SocketHandle expected = fd;
    handle_.compare_exchange_strong(expected, kInvalidSocket);
    zelm::CloseSocket(fd);
    connectionSerial_.fetch_add(1);
  }
  {
    CMutexLock lock(tlsMutex_);
    tls_.reset();  // the next connection of this object starts in clear
  }
  listening_.store(false);
  closing_.store(false);
  if (open) OnClosed(wasConnected, wasListening);
}

void CZmSocket::SetLinger(bool on, int seconds) {
  int error = 0;
  SetSocketLinger(handle_.load(), on, seconds, error);
}

void CZmSocket::ResetOptions() {
  // Options without a meaning on this platform (routing bypass, the Windows TCP option
  // numbers, buffer sizes and low-water marks of a socket about to close) are left alone.
  SocketHandle fd = handle_.load();
  int error = 0;
  SetSocketOption(fd, SocketOption::kNoDelay, 1, error);
  SetSocketLinger(fd, false, 0, error);
  SetSocketOption(fd, SocketOption::kSendTimeout, 0, error);
  SetSocketOption(fd, SocketOption::kReceiveTimeout, 0, error);
}

void CZmSocket::ReleaseBuffers() { receivePool_.ReleaseAll(); }

// ---- State ----

bool CZmSocket::IsValid() const { return GetSocketType(handle_.load()) >= 0; }

bool CZmSocket::IsConnected() const {
  SocketHandle fd = handle_.load();
  SocketAddress peer;
  int error = 0;
  return fd != kInvalidSocket && connected_.load() && GetPeerName(fd, peer, error);
}

bool CZmSocket::IsListening() const { return IsListeningSocket(handle_.load()); }

uint32_t CZmSocket::GetPeerAddress() {
  if (!IsValid()) return peerAddress_.address;
  int error = 0;
  SocketAddress peer;
  if (!GetPeerName(handle_.load(), peer, error)) {
    OnError(kEventBitNone, error);
    return peerAddress_.address;
  }
  peerAddress_ = peer;
  return peerAddress_.address;
}

uint16_t CZmSocket::GetLocalPort() {
  if (!IsValid()) return 0;
  int error = 0;
  if (!GetSocketName(handle_.load(), localAddress_, error)) {
    OnError(kEventBitNone, error);
    return 0;
  }
  return localAddress_.port;
}

uint32_t CZmSocket::GetLocalAddress() {
  if (!IsValid()) return 0;
  int error = 0;
  if (!GetSocketName(handle_.load(), localAddress_, error)) {
    OnError(kEventBitNone, error);
    return 0;
  }
  return localAddress_.address;
}

uint32_t CZmSocket::GetPeerIp() const {
  SocketHandle fd = handle_.load();
  SocketAddress peer;
  int error = 0;
  if (fd == kInvalidSocket || !GetPeerName(fd, peer, error)) return 0;
  return peer.address;
}

std::string CZmSocket::FormatIp(uint32_t address) const {
  return FormatIpAddress(address != 0 ? address : GetPeerIp());
}

std::string CZmSocket::FormatIpAddress(uint32_t networkAddress) {
  uint8_t bytes[4];
  memcpy(bytes, &networkAddress, sizeof bytes);
  char text[32];
  snprintf(text, sizeof text, "%lu.%lu.%lu.%lu", static_cast<unsigned long>(bytes[0]),
           static_cast<unsigned long>(bytes[1]), static_cast<unsigned long>(bytes[2]),
           static_cast<unsigned long>(bytes[3]));
  return text;
}

// ---- Upload worker ----

std::shared_ptr<CCompletionContext> CZmSocket::GetCompletionContext() {
  std::lock_guard<std::mutex> lock(completionMutex_);
  return completionContext_;
}

bool CZmSocket::UseCompletionPort() {
  if (completionMode_.load()) return true;
  SocketHandle fd = handle_.load();
  if (fd == kInvalidSocket) return false;
  // The worker reads the socket from now on; its event thread must not.
  Deselect();
  auto context = CCompletionPool::Instance().Associate(this, fd);
  if (!context) {
    if (event_) SelectOn(event_, kMaskFallback);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(completionMutex_);
    completionContext_ = std::move(context);
  }
  completionMode_.store(true);
  // The receive-buffer size stays as it is: a zero-sized buffer means something else here.
  return true;
}

int CZmSocket::PostReceive() {
  auto context = GetCompletionContext();
  if (!context || !CCompletionPool::Instance().PostReceive(context)) return -1;
  return 0;
}

void CZmSocket::DeferReceive(uint32_t milliseconds) {
  if (auto context = GetCompletionContext()) {
    CCompletionPool::Instance().Defer(context, milliseconds);
  }
}

void CZmSocket::DropCompletionContext(bool waitForWorker) {
  // The worker never waits for itself; the context it is serving stays recorded, so that a
  // destructor on another thread still waits for that handler to end.
  CCompletionPool& pool = CCompletionPool::Instance();
  waitForWorker = waitForWorker && !pool.IsWorkerThread();
  std::shared_ptr<CCompletionContext> context;
  std::shared_ptr<CCompletionContext> retired;
  {
    std::lock_guard<std::mutex> lock(completionMutex_);
    context = std::move(completionContext_);
    completionContext_.reset();
    if (context) retiredContext_ = context;
    if (waitForWorker) retired = std::move(retiredContext_);
  }
  completionMode_.store(false);
  if (context) pool.Disassociate(context, waitForWorker);
  // A context the worker dropped itself (OnIoClosed) may still have its handler running.
  if (retired && retired != context) pool.Disassociate(retired, true);
}

}  // namespace zelm
