// Owns the Unix-domain socket calls: the control socket's file, its mode and its clients.
#include "platform/unix_socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/error.h"

namespace zelm {
namespace {

bool MakeAddress(const std::string& path, sockaddr_un& address, int& error) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    error = kWsaEnametoolong;
    return false;
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  return true;
}

SocketHandle OpenUnixSocket(int& error) {
  const SocketHandle s = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) error = LastSystemError();
  return s < 0 ? kInvalidSocket : s;
}

bool IsSocketFile(const std::string& path, bool& exists) {
  struct stat info {};
  exists = lstat(path.c_str(), &info) == 0;
  return exists && S_ISSOCK(info.st_mode);
}

}  // namespace

size_t MaxUnixSocketPath() { return sizeof(sockaddr_un::sun_path) - 1; }

SocketHandle ListenUnixSocket(const std::string& path, int& error) {
  sockaddr_un address;
  if (!MakeAddress(path, address, error)) return kInvalidSocket;
  bool exists = false;
  if (IsSocketFile(path, exists)) {
    int probeError = 0;
    const SocketHandle probe = ConnectUnixSocket(path, probeError);
    if (probe != kInvalidSocket) {
      CloseSocket(probe);
      error = kWsaEaddrinuse;  // a listener still answers there
      return kInvalidSocket;
    }
    unlink(path.c_str());  // left behind by a listener that is gone
  } else if (exists) {
    error = kWsaEaddrinuse;
    return kInvalidSocket;
  }
  const SocketHandle s = OpenUnixSocket(error);
  if (s == kInvalidSocket) return s;
  // SECURITY: the file is created with mode 0600, never briefly more open; umask is
  // process-wide, so it is restored at once.
  const mode_t previous = umask(0177);
  const int bound = bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  const int bindErrno = errno;
  umask(previous);
  if (bound != 0) {
    error = MapErrno(bindErrno);
    CloseSocket(s);
    return kInvalidSocket;
  }
  if (chmod(path.c_str(), 0600) != 0 || listen(s, 16) != 0) {
    error = LastSystemError();
    CloseSocket(s);
    unlink(path.c_str());
    return kInvalidSocket;
  }
  error = 0;
  return s;
}

SocketHandle AcceptUnixSocket(SocketHandle listener, int& error) {
  for (;;) {
    const SocketHandle s = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (s >= 0) {
      error = 0;
      return s;
    }
    if (errno != EINTR) {
      error = LastSystemError();
      return kInvalidSocket;
    }
  }
}

SocketHandle ConnectUnixSocket(const std::string& path, int& error) {
  sockaddr_un address;
  if (!MakeAddress(path, address, error)) return kInvalidSocket;
  const SocketHandle s = OpenUnixSocket(error);
  if (s == kInvalidSocket) return s;
  for (;;) {
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) break;
    if (errno == EINTR) continue;
    // A Unix-domain connect does not stay pending: EAGAIN means a full backlog.
    error = LastSystemError();
    CloseSocket(s);
    return kInvalidSocket;
  }
  error = 0;
  return s;
}

bool GetPeerUserId(SocketHandle socket, uint32_t& uid) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
      length != sizeof credentials) {
    return false;
  }
  uid = credentials.uid;
  return true;
}

uint32_t ProcessUserId() { return geteuid(); }

bool PeerIsSameUser(SocketHandle socket) {
  uint32_t uid = 0;
  return GetPeerUserId(socket, uid) && (uid == geteuid() || uid == 0);
}

bool GetFolderOwnership(const std::string& path, FolderOwnership& ownership, int& error) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    error = LastSystemError();
    return false;
  }
  ownership.isFolder = S_ISDIR(info.st_mode);
  ownership.owner = info.st_uid;
  ownership.mode = info.st_mode & 07777;
  ownership.groupMayWrite = (info.st_mode & S_IWGRP) != 0;
  ownership.othersMayWrite = (info.st_mode & S_IWOTH) != 0;
  error = 0;
  return true;
}

void RemoveUnixSocketFile(const std::string& path) {
  bool exists = false;
  if (IsSocketFile(path, exists)) unlink(path.c_str());
}

}  // namespace zelm
