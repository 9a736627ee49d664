// Owns the datagram-socket calls of discovery: broadcast and multicast options, sendto and
// recvfrom.
#include "platform/udp_socket.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/error.h"

namespace zelm {
namespace {

bool SetIntOption(SocketHandle socket, int level, int name, int value, int& error) {
  if (setsockopt(socket, level, name, &value, sizeof value) != 0) {
    error = LastSystemError();
    return false;
  }
  error = 0;
  return true;
}

}  // namespace

bool EnableBroadcast(SocketHandle socket, int& error) {
  return SetIntOption(socket, SOL_SOCKET, SO_BROADCAST, 1, error);
}

bool SetMulticastTtl(SocketHandle socket, int ttl, int& error) {
  return SetIntOption(socket, IPPROTO_IP, IP_MULTICAST_TTL, ttl, error);
}

bool SetMulticastLoopback(SocketHandle socket, bool on, int& error) {
  return SetIntOption(socket, IPPROTO_IP, IP_MULTICAST_LOOP, on ? 1 : 0, error);
}

bool JoinMulticastGroup(SocketHandle socket, uint32_t group, uint32_t interfaceAddress,
                        int& error) {
  ip_mreq request{};
  request.imr_multiaddr.s_addr = htonl(group);
  request.imr_interface.s_addr = htonl(interfaceAddress);
  if (setsockopt(socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0) {
    error = LastSystemError();
    return false;
  }
  error = 0;
  return true;
}

long SendDatagram(SocketHandle socket, const void* data, size_t length, uint32_t address,
                  uint16_t port, int& error) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(address);
  for (;;) {
    const ssize_t n = sendto(socket, data, length, MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (n >= 0) {
      error = 0;
      return n;
    }
    if (errno != EINTR) {
      error = LastSystemError();
      return -1;
    }
  }
}

long ReceiveDatagram(SocketHandle socket, void* buffer, size_t capacity, SocketAddress& from,
                     int& error) {
  for (;;) {
    sockaddr_in sender{};
    socklen_t size = sizeof sender;
    // MSG_TRUNC: the result is the datagram's real size, so a cut one can be told apart.
    const ssize_t n =
        recvfrom(socket, buffer, capacity, MSG_TRUNC, reinterpret_cast<sockaddr*>(&sender), &size);
    if (n >= 0) {
      from = SocketAddress{};
      from.family = sender.sin_family;
      from.port = sender.sin_port;
      from.address = sender.sin_addr.s_addr;
      error = 0;
      return n;
    }
    if (errno != EINTR) {
      error = LastSystemError();
      return -1;
    }
  }
}

}  // namespace zelm
