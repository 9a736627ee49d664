// Owns the epoll set of the upload worker.
#include "platform/io_poller.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error.h"

namespace zelm {
namespace {

constexpr uint64_t kWakeKey = ~uint64_t{0};
constexpr int kMaxBatch = 64;

}  // namespace

CIoPoller::~CIoPoller() {
  if (wake_ >= 0) close(wake_);
  if (epoll_ >= 0) close(epoll_);
}

bool CIoPoller::Open(int& error) {
  epoll_ = epoll_create1(EPOLL_CLOEXEC);
  wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kWakeKey;
  if (epoll_ < 0 || wake_ < 0 || epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev) != 0) {
    error = LastSystemError();
    if (wake_ >= 0) close(wake_);
    if (epoll_ >= 0) close(epoll_);
    wake_ = epoll_ = -1;
    return false;
  }
  error = 0;
  return true;
}

bool CIoPoller::Add(SocketHandle socket, uint64_t key, int& error) {
  epoll_event ev{};
  ev.events = EPOLLONESHOT;  // registered, nothing armed
  ev.data.u64 = key;
  if (epoll_ctl(epoll_, EPOLL_CTL_ADD, socket, &ev) != 0) {
    error = LastSystemError();
    return false;
  }
  error = 0;
  return true;
}

bool CIoPoller::Arm(SocketHandle socket, uint64_t key, int& error) {
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
  ev.data.u64 = key;
  if (epoll_ctl(epoll_, EPOLL_CTL_MOD, socket, &ev) != 0) {
    error = LastSystemError();
    return false;
  }
  error = 0;
  return true;
}

void CIoPoller::Remove(SocketHandle socket) {
  epoll_event ev{};
  epoll_ctl(epoll_, EPOLL_CTL_DEL, socket, &ev);
}

void CIoPoller::Wake() {
  uint64_t one = 1;
  while (write(wake_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

int CIoPoller::Wait(uint64_t* keys, int maxKeys, int timeoutMs, int& error) {
  epoll_event events[kMaxBatch];
  if (maxKeys > kMaxBatch) maxKeys = kMaxBatch;
  int n;
  while ((n = epoll_wait(epoll_, events, maxKeys, timeoutMs)) < 0 && errno == EINTR) {
  }
  if (n < 0) {
    error = LastSystemError();
    return -1;
  }
  error = 0;
  int count = 0;
  for (int i = 0; i < n; ++i) {
    if (events[i].data.u64 == kWakeKey) {
      uint64_t value;
      while (read(wake_, &value, sizeof value) < 0 && errno == EINTR) {
      }
      continue;
    }
    keys[count++] = events[i].data.u64;
  }
  return count;
}

}  // namespace zelm
