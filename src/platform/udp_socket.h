// Datagram sockets for discovery: broadcast, multicast membership and single datagrams with
// their sender's address.
//
// Descriptors come from `OpenSocket(kSocketDatagram, kProtocolUdp, ...)` (platform/socket.h),
// so they are non-blocking and close-on-exec. Addresses and ports are in host byte order
// unless a name says "network"; failures come back as the system's error numbers through
// `error`.
//
// Thread safety: every function may be called from any thread; a descriptor's owner decides
// who uses it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/socket.h"

namespace zelm {

// SO_BROADCAST: lets the socket send to broadcast addresses.
bool EnableBroadcast(SocketHandle socket, int& error);
// IP_MULTICAST_TTL.
bool SetMulticastTtl(SocketHandle socket, int ttl, int& error);
// IP_MULTICAST_LOOP: whether the host's own members receive what this socket multicasts.
bool SetMulticastLoopback(SocketHandle socket, bool on, int& error);
// IP_ADD_MEMBERSHIP of `group` on the interface of `interfaceAddress` (0: the system's
// choice, by the route to the group).
bool JoinMulticastGroup(SocketHandle socket, uint32_t group, uint32_t interfaceAddress, int& error);

// Sends one datagram to (`address`, `port`). Returns the bytes sent or -1 with `error` set.
// Never blocks (kWsaEwouldblock when the send buffer is full), never raises SIGPIPE.
long SendDatagram(SocketHandle socket, const void* data, size_t length, uint32_t address,
                  uint16_t port, int& error);
// Receives one datagram into `buffer` and its sender into `from` (the socket layer's record,
// network order). Returns the datagram's whole size, which exceeds `capacity` when it was cut
// short; -1 with `error` set (kWsaEwouldblock when none is waiting). Never blocks.
long ReceiveDatagram(SocketHandle socket, void* buffer, size_t capacity, SocketAddress& from,
                     int& error);

}  // namespace zelm
