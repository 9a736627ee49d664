// Owns the zero-copy path from an open file to a socket.
#include "platform/file_send.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <ctime>

#include "platform/error.h"

namespace zelm {
namespace {

// sendfile has no MSG_NOSIGNAL: a send to a connection the peer has reset raises SIGPIPE at
// the calling thread. The thread keeps SIGPIPE blocked from its first call on, and a signal
// left pending by a failed call is taken off again at once.
void BlockBrokenPipeSignal() {
  thread_local bool blocked = false;
  if (blocked) return;
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  blocked = true;
}

void DiscardBrokenPipeSignal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  const timespec none{0, 0};
  while (sigtimedwait(&set, nullptr, &none) == SIGPIPE) {
  }
}

}  // namespace

long SendFileToSocket(SocketHandle socket, CFile& file, size_t length, int& error) {
  error = 0;
  if (!file.IsOpen() || socket == kInvalidSocket) {
    error = kWsaEnotsock;
    return -1;
  }
  BlockBrokenPipeSignal();
  for (;;) {
    const ssize_t n = sendfile(socket, file.NativeHandle(), nullptr, length);
    if (n >= 0) return static_cast<long>(n);
    const int code = errno;
    if (code == EINTR) continue;
    if (code == EPIPE) DiscardBrokenPipeSignal();
    // EINVAL / ENOSYS: a file (or socket) the kernel cannot send this way.
    error = code == EINVAL || code == ENOSYS ? static_cast<int>(kWsaEopnotsupp) : MapErrno(code);
    return -1;
  }
}

long SendFileToSocketWaiting(SocketHandle socket, CFile& file, size_t length, int timeoutMs,
                             int& error) {
  // Most calls find room for everything (small files, a client that keeps up): those cost
  // no switching of the socket's mode.
  const long first = SendFileToSocket(socket, file, length, error);
  if (first < 0 && error != kWsaEwouldblock) return first;
  if (first == 0 || first == static_cast<long>(length)) return first;
  const size_t done = first > 0 ? static_cast<size_t>(first) : 0;
  const int flags = fcntl(socket, F_GETFL);
  const timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  if (flags < 0 || timeoutMs <= 0 ||
      setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0 ||
      fcntl(socket, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    // The socket stays non-blocking: wait for room the ordinary way, then send once more.
    int waitError = 0;
    if (WaitWritable(socket, timeoutMs, waitError) <= 0) return first;
    const long more = SendFileToSocket(socket, file, length - done, error);
    if (more >= 0) return static_cast<long>(done) + more;
    if (done == 0) return more;
    error = 0;
    return static_cast<long>(done);
  }
  const long n = SendFileToSocket(socket, file, length - done, error);
  fcntl(socket, F_SETFL, flags);
  const timeval none{0, 0};
  setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
  if (n >= 0) return static_cast<long>(done) + n;
  if (done == 0) return n;
  error = 0;  // what went counts; the next call meets the failure again
  return static_cast<long>(done);
}

}  // namespace zelm
