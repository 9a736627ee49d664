// Owns the POSIX socket calls of the system: descriptor flags, EINTR retries and errno mapping.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>

#include "platform/error.h"

namespace zelm {
namespace {

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  sin.sin_addr.s_addr = htonl(address);
  return sin;
}

void CopyAddress(const sockaddr_in& sin, SocketAddress& address) {
  address = SocketAddress{};
  address.family = sin.sin_family;
  address.port = sin.sin_port;
  address.address = sin.sin_addr.s_addr;
}

int Fail(int& error) {
  error = LastSystemError();
  return -1;
}

int WaitFor(SocketHandle socket, short events, int timeoutMs, int& error) {
  pollfd pfd{socket, events, 0};
  for (;;) {
    int n = poll(&pfd, 1, timeoutMs);
    if (n >= 0) return n > 0 ? 1 : 0;
    if (errno != EINTR) return Fail(error);
  }
}

}  // namespace

uint32_t HostToNetwork32(uint32_t value) { return htonl(value); }
uint16_t HostToNetwork16(uint16_t value) { return htons(value); }
uint32_t NetworkToHost32(uint32_t value) { return ntohl(value); }
uint16_t NetworkToHost16(uint16_t value) { return ntohs(value); }

SocketHandle OpenSocket(int type, int protocol, int& error) {
  int kind = type == kSocketDatagram ? SOCK_DGRAM : SOCK_STREAM;
  int proto = protocol == kProtocolUdp ? IPPROTO_UDP : (protocol == 0 ? 0 : IPPROTO_TCP);
  SocketHandle s = socket(AF_INET, kind | SOCK_NONBLOCK | SOCK_CLOEXEC, proto);
  if (s < 0) {
    Fail(error);
    return kInvalidSocket;
  }
  error = 0;
  return s;
}

void CloseSocket(SocketHandle socket) {
  // close() must not be retried on EINTR: the descriptor is gone either way.
  if (socket != kInvalidSocket) close(socket);
}

bool BindSocket(SocketHandle socket, uint32_t address, uint16_t port, int& error) {
  sockaddr_in sin = MakeAddress(address, port);
  if (bind(socket, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) return Fail(error), false;
  error = 0;
  return true;
}

bool ConnectSocket(SocketHandle socket, uint32_t address, uint16_t port, int& error) {
  sockaddr_in sin = MakeAddress(address, port);
  if (connect(socket, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0) {
    error = 0;
    return true;
  }
  // An interrupted connect goes on in the background, like a non-blocking one.
  error = errno == EINTR ? kWsaEinprogress : LastSystemError();
  return false;
}

bool ListenSocket(SocketHandle socket, int backlog, int& error) {
  if (listen(socket, backlog > SOMAXCONN ? SOMAXCONN : backlog) != 0) return Fail(error), false;
  error = 0;
  return true;
}

SocketHandle AcceptSocket(SocketHandle socket, SocketAddress& peer, int& error) {
  for (;;) {
    sockaddr_in sin{};
    socklen_t len = sizeof sin;
    SocketHandle s =
        accept4(socket, reinterpret_cast<sockaddr*>(&sin), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (s >= 0) {
      CopyAddress(sin, peer);
      error = 0;
      return s;
    }
    if (errno != EINTR) {
      Fail(error);
      return kInvalidSocket;
    }
  }
}

long ReceiveSocket(SocketHandle socket, void* buffer, size_t length, bool peek, int& error) {
  int flags = MSG_DONTWAIT | (peek ? MSG_PEEK : 0);
  for (;;) {
    ssize_t n = recv(socket, buffer, length, flags);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return Fail(error);
  }
}

long SendSocket(SocketHandle socket, const void* data, size_t length, int& error) {
  for (;;) {
    ssize_t n = send(socket, data, length, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return Fail(error);
  }
}

int WaitWritable(SocketHandle socket, int timeoutMs, int& error) {
  return WaitFor(socket, POLLOUT, timeoutMs, error);
}

int WaitReadable(SocketHandle socket, int timeoutMs, int& error) {
  return WaitFor(socket, POLLIN, timeoutMs, error);
}

void ShutdownSocket(SocketHandle socket, ShutdownHow how) {
  int h = how == ShutdownHow::kSend ? SHUT_WR : how == ShutdownHow::kReceive ? SHUT_RD : SHUT_RDWR;
  shutdown(socket, h);
}

bool GetPeerName(SocketHandle socket, SocketAddress& address, int& error) {
  sockaddr_in sin{};
  socklen_t len = sizeof sin;
  if (getpeername(socket, reinterpret_cast<sockaddr*>(&sin), &len) != 0) return Fail(error), false;
  CopyAddress(sin, address);
  error = 0;
  return true;
}

bool GetSocketName(SocketHandle socket, SocketAddress& address, int& error) {
  sockaddr_in sin{};
  socklen_t len = sizeof sin;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&sin), &len) != 0) return Fail(error), false;
  CopyAddress(sin, address);
  error = 0;
  return true;
}

int GetSocketType(SocketHandle socket) {
  if (socket == kInvalidSocket) return -1;
  int type = 0;
  socklen_t len = sizeof type;
  if (getsockopt(socket, SOL_SOCKET, SO_TYPE, &type, &len) != 0) return -1;
  return type == SOCK_DGRAM ? kSocketDatagram : kSocketStream;
}

bool IsListeningSocket(SocketHandle socket) {
  int on = 0;
  socklen_t len = sizeof on;
  return socket != kInvalidSocket &&
         getsockopt(socket, SOL_SOCKET, SO_ACCEPTCONN, &on, &len) == 0 && on != 0;
}

int TakeSocketError(SocketHandle socket) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return LastSystemError();
  return MapErrno(err);
}

bool SetSocketOption(SocketHandle socket, SocketOption option, int value, int& error) {
  int level = SOL_SOCKET;
  int name = 0;
  switch (option) {
    case SocketOption::kNoDelay:
      level = IPPROTO_TCP;
      name = TCP_NODELAY;
      break;
    case SocketOption::kReceiveBuffer:
      name = SO_RCVBUF;
      break;
    case SocketOption::kSendBuffer:
      name = SO_SNDBUF;
      break;
    case SocketOption::kReuseAddress:
      name = SO_REUSEADDR;
      break;
    case SocketOption::kUrgentInline:
      name = SO_OOBINLINE;
      break;
    case SocketOption::kReceiveTimeout:
    case SocketOption::kSendTimeout: {
      timeval tv{value / 1000, (value % 1000) * 1000};
      int timeoutName = option == SocketOption::kReceiveTimeout ? SO_RCVTIMEO : SO_SNDTIMEO;
      if (setsockopt(socket, SOL_SOCKET, timeoutName, &tv, sizeof tv) != 0) {
        return Fail(error), false;
      }
      error = 0;
      return true;
    }
  }
  if (setsockopt(socket, level, name, &value, sizeof value) != 0) return Fail(error), false;
  error = 0;
  return true;
}

bool SetSocketLinger(SocketHandle socket, bool on, int seconds, int& error) {
  linger l{on ? 1 : 0, seconds};
  if (setsockopt(socket, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0) return Fail(error), false;
  error = 0;
  return true;
}

bool SetSocketNonBlocking(SocketHandle socket, bool nonBlocking, int& error) {
  int flags = fcntl(socket, F_GETFL);
  if (flags < 0) return Fail(error), false;
  flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (fcntl(socket, F_SETFL, flags) != 0) return Fail(error), false;
  error = 0;
  return true;
}

bool ParseDottedAddress(const char* text, uint32_t& address) {
  in_addr a{};
  if (text == nullptr || inet_pton(AF_INET, text, &a) != 1) return false;
  address = ntohl(a.s_addr);
  return true;
}

bool LookUpHostAddress(const char* name, uint32_t& address) {
  if (name == nullptr || *name == '\0') return false;
  // SECURITY: names in the reserved "invalid" domain never reach a name server.
  size_t len = strlen(name);
  while (len > 0 && name[len - 1] == '.') --len;
  static const char kInvalid[] = "invalid";
  const size_t kInvalidLen = sizeof kInvalid - 1;
  if (len >= kInvalidLen && strncasecmp(name + len - kInvalidLen, kInvalid, kInvalidLen) == 0 &&
      (len == kInvalidLen || name[len - kInvalidLen - 1] == '.')) {
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &result) != 0 || result == nullptr) return false;
  address = ntohl(reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr);
  freeaddrinfo(result);
  return true;
}

long RaiseDescriptorLimit() {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return -1;
  if (rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
    getrlimit(RLIMIT_NOFILE, &rl);
  }
  return rl.rlim_cur > static_cast<rlim_t>(LONG_MAX) ? LONG_MAX : static_cast<long>(rl.rlim_cur);
}

namespace {

std::mutex reserveMutex;
int reserveDescriptor = -1;  // guarded by reserveMutex

}  // namespace

bool IsDescriptorShortage(int error) {
  return error == kWsaEmfile || error == kWsaEnobufs || error == MapErrno(ENFILE) ||
         error == MapErrno(ENOMEM);
}

void KeepReserveDescriptor() {
  std::lock_guard lock(reserveMutex);
  if (reserveDescriptor < 0) reserveDescriptor = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

bool RefusePendingConnection(SocketHandle listener) {
  std::lock_guard lock(reserveMutex);
  if (reserveDescriptor < 0) return false;
  close(reserveDescriptor);
  reserveDescriptor = -1;
  int taken = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  while (taken < 0 && errno == EINTR) taken = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (taken >= 0) close(taken);
  reserveDescriptor = open("/dev/null", O_RDONLY | O_CLOEXEC);
  return taken >= 0;
}

}  // namespace zelm
