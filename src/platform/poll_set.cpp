// Owns poll(2) over a set of descriptors and the eventfd that interrupts it.
#include "platform/poll_set.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/error.h"

namespace zelm {

int PollSockets(std::vector<PollItem>& items, int timeoutMs, int& error) {
  std::vector<pollfd> fds(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    fds[i].fd = items[i].handle;
    fds[i].events =
        static_cast<short>((items[i].wantRead ? POLLIN : 0) | (items[i].wantWrite ? POLLOUT : 0));
  }
  int ready = 0;
  for (;;) {
    ready = poll(fds.data(), fds.size(), timeoutMs);
    if (ready >= 0) break;
    if (errno != EINTR) {
      error = LastSystemError();
      return -1;
    }
  }
  for (size_t i = 0; i < items.size(); ++i) {
    const short got = fds[i].revents;
    items[i].readable = (got & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
    items[i].writable = (got & (POLLOUT | POLLERR)) != 0;
  }
  error = 0;
  return ready;
}

CWakeHandle::~CWakeHandle() {
  if (handle_ != kInvalidSocket) close(handle_);
}

bool CWakeHandle::Open(int& error) {
  if (handle_ != kInvalidSocket) return true;
  handle_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (handle_ < 0) {
    handle_ = kInvalidSocket;
    error = LastSystemError();
    return false;
  }
  error = 0;
  return true;
}

void CWakeHandle::Signal() {
  const uint64_t one = 1;
  while (write(handle_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void CWakeHandle::Drain() {
  uint64_t count = 0;
  while (read(handle_, &count, sizeof count) < 0 && errno == EINTR) {
  }
}

}  // namespace zelm
