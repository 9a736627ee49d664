// Owns the poll-based event objects on which sockets' network events are selected.
#include "platform/event_object.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/error.h"

namespace zelm {

int FdBitIndex(uint32_t bit) {
  int index = 0;
  while (bit > 1 && index < kFdEventCount - 1) {
    bit >>= 1;
    ++index;
  }
  return index;
}

std::shared_ptr<CEventObject> CEventObject::Create(int& error) {
  int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) {
    error = LastSystemError();
    return nullptr;
  }
  error = 0;
  return std::shared_ptr<CEventObject>(new CEventObject(fd));
}

CEventObject::~CEventObject() { close(eventDescriptor_); }

void CEventObject::Signal() {
  uint64_t one = 1;
  // A full counter already means "signalled"; nothing else can fail here.
  while (write(eventDescriptor_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void CEventObject::Reset() {
  uint64_t count = 0;
  while (read(eventDescriptor_, &count, sizeof count) < 0 && errno == EINTR) {
  }
}

void CEventObject::WakeWaiter() {
  if (waiting_) Signal();
}

void CEventObject::Select(SocketHandle socket, uint32_t mask) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (mask == 0) {
    if (sockets_.erase(socket) > 0) WakeWaiter();
    return;
  }
  Entry& entry = sockets_[socket];
  entry.mask = mask;
  entry.closeReported = false;
  WakeWaiter();
}

void CEventObject::NoteConnectStarted(SocketHandle socket, int immediateError) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = sockets_.find(socket);
  if (it == sockets_.end()) return;
  it->second.connectPending = true;
  it->second.connectError = immediateError == kWsaEinprogress ? 0 : immediateError;
  it->second.closeReported = false;
  WakeWaiter();
}

void CEventObject::RearmClose(SocketHandle socket) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = sockets_.find(socket);
  if (it != sockets_.end()) it->second.closeReported = false;
}

bool CEventObject::IsSelected(SocketHandle socket) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sockets_.count(socket) != 0;
}

void CEventObject::EnumNetworkEvents(SocketHandle socket, NetworkEvents& events) {
  events = NetworkEvents{};
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = sockets_.find(socket);
  if (it == sockets_.end()) return;
  Entry& entry = it->second;
  pollfd pfd{socket, POLLIN | POLLOUT | POLLRDHUP, 0};
  while (poll(&pfd, 1, 0) < 0 && errno == EINTR) {
  }
  const short revents = pfd.revents;

  if (entry.connectPending) {
    int err = entry.connectError;
    if (err == 0) {
      if ((revents & (POLLOUT | POLLERR | POLLHUP)) == 0) return;  // still connecting
      err = TakeSocketError(socket);
    }
    entry.connectPending = false;
    entry.connectError = 0;
    if (entry.mask & kFdConnect) {
      events.events |= kFdConnect;
      events.errors[FdBitIndex(kFdConnect)] = err;
    }
    if (err == 0 && (entry.mask & kFdWrite)) events.events |= kFdWrite;
    if (err != 0) entry.closeReported = true;  // a failed connect has nothing more to say
    return;
  }
  if (entry.closeReported) return;

  if (revents & POLLIN) {
    if (entry.mask & kFdRead) events.events |= kFdRead;
    if (entry.mask & kFdAccept) events.events |= kFdAccept;
  }
  if ((revents & (POLLRDHUP | POLLERR)) && (entry.mask & kFdClose)) {
    int err = (revents & POLLERR) ? TakeSocketError(socket) : 0;
    events.events |= kFdClose;
    events.errors[FdBitIndex(kFdClose)] = err;
    entry.closeReported = true;
  }
}

CEventObject::WaitResult CEventObject::Wait(int timeoutMs, int& error) {
  // Most objects carry one or two sockets: their poll set lives on the stack.
  constexpr size_t kInline = 8;
  pollfd inlineFds[kInline];
  std::vector<pollfd> heapFds;
  pollfd* fds = inlineFds;
  size_t count = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sockets_.size() + 1 > kInline) {
      heapFds.resize(sockets_.size() + 1);
      fds = heapFds.data();
    }
    fds[count++] = pollfd{eventDescriptor_, POLLIN, 0};
    for (const auto& [socket, entry] : sockets_) {
      if (entry.connectPending) {
        // An outcome known at once is reported without waiting.
        if (entry.connectError != 0) timeoutMs = 0;
        fds[count++] = pollfd{socket, POLLOUT, 0};
        continue;
      }
      if (entry.closeReported) continue;
      short wanted = 0;
      if (entry.mask & (kFdRead | kFdAccept)) wanted |= POLLIN;
      if (entry.mask & kFdClose) wanted |= POLLRDHUP;
      if (wanted != 0) fds[count++] = pollfd{socket, wanted, 0};
    }
    waiting_ = true;
  }
  int n;
  while ((n = poll(fds, count, timeoutMs)) < 0 && errno == EINTR) {
  }
  int pollError = n < 0 ? LastSystemError() : 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    waiting_ = false;
  }
  if (n < 0) {
    error = pollError;
    return WaitResult::kFailed;
  }
  error = 0;
  if (fds[0].revents & POLLIN) Reset();
  if (n == 0) {
    // A connect outcome noted before the wait counts as an event.
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [socket, entry] : sockets_) {
      if (entry.connectPending && entry.connectError != 0) return WaitResult::kSignalled;
    }
    return WaitResult::kTimedOut;
  }
  return WaitResult::kSignalled;
}

}  // namespace zelm
