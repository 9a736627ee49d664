// IPv4 sockets of the platform: thin wrappers that fix POSIX's sharp edges once.
//
// Every descriptor is opened non-blocking and close-on-exec; sends never raise SIGPIPE; calls
// interrupted by a signal are retried. Failures come back as the system's own error numbers
// (`MapErrno`, platform/error.h) through an `error` out-parameter, so callers never read
// errno. Addresses and ports are in host byte order unless a name says "network".
//
// Thread safety: every function may be called from any thread; a descriptor's owner decides
// who uses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zelm {

// A socket descriptor; kInvalidSocket while there is none.
using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;

// Socket types and protocols as the system names them (stream/TCP 1/6, datagram/UDP 2/17).
inline constexpr int kSocketStream = 1;
inline constexpr int kSocketDatagram = 2;
inline constexpr int kProtocolTcp = 6;
inline constexpr int kProtocolUdp = 17;

// The error a call reports when it has started an operation that completes later.
inline constexpr int kIoPending = 997;

// An IPv4 socket address record as the socket layer stores it: port and address in network
// byte order.
struct SocketAddress {
  uint16_t family = 2;
  uint16_t port = 0;     // network order
  uint32_t address = 0;  // network order
  uint8_t zero[8] = {};
};

// Host order <-> network order for the record's fields.
uint32_t HostToNetwork32(uint32_t value);
uint16_t HostToNetwork16(uint16_t value);
uint32_t NetworkToHost32(uint32_t value);
uint16_t NetworkToHost16(uint16_t value);

// Opens a socket of `type` (kSocketStream or kSocketDatagram) and `protocol`.
// Returns the descriptor, or kInvalidSocket with `error` set.
SocketHandle OpenSocket(int type, int protocol, int& error);
// Closes a descriptor; kInvalidSocket is ignored.
void CloseSocket(SocketHandle socket);

bool BindSocket(SocketHandle socket, uint32_t address, uint16_t port, int& error);
// Starts a connection. True when it is already established; otherwise false with `error`
// set (kWsaEinprogress while it is still being made).
bool ConnectSocket(SocketHandle socket, uint32_t address, uint16_t port, int& error);
// Listens with the largest backlog the system allows when `backlog` exceeds it.
bool ListenSocket(SocketHandle socket, int backlog, int& error);
// Accepts one pending connection (non-blocking and close-on-exec too). Returns the new
// descriptor and fills `peer`, or kInvalidSocket with `error` set (kWsaEwouldblock when none
// is pending).
SocketHandle AcceptSocket(SocketHandle socket, SocketAddress& peer, int& error);

// One receive: bytes read, 0 when the peer has closed, -1 with `error` set. `peek` leaves the
// bytes queued. Never blocks.
long ReceiveSocket(SocketHandle socket, void* buffer, size_t length, bool peek, int& error);
// One send: bytes taken (possibly fewer than `length`), or -1 with `error` set
// (kWsaEwouldblock when the send buffer is full). Never blocks, never raises SIGPIPE.
long SendSocket(SocketHandle socket, const void* data, size_t length, int& error);

// Waits until the socket can take more bytes: 1 ready, 0 when `timeoutMs` passed, -1 error.
int WaitWritable(SocketHandle socket, int timeoutMs, int& error);
// Waits until the socket has bytes (or end of stream): 1 ready, 0 time-out, -1 error.
int WaitReadable(SocketHandle socket, int timeoutMs, int& error);

enum class ShutdownHow { kSend, kReceive, kBoth };
void ShutdownSocket(SocketHandle socket, ShutdownHow how);

bool GetPeerName(SocketHandle socket, SocketAddress& address, int& error);
bool GetSocketName(SocketHandle socket, SocketAddress& address, int& error);

// The socket's type (kSocketStream...) or -1 when the descriptor is not an open socket.
int GetSocketType(SocketHandle socket);
// Whether the socket is in the listening state.
bool IsListeningSocket(SocketHandle socket);
// Reads and clears the socket's pending error (0 when none).
int TakeSocketError(SocketHandle socket);

// Options the system sets. Options that have no meaning here are not offered.
enum class SocketOption {
  kNoDelay,         // TCP_NODELAY
  kReceiveBuffer,   // SO_RCVBUF
  kSendBuffer,      // SO_SNDBUF
  kReceiveTimeout,  // SO_RCVTIMEO, milliseconds
  kSendTimeout,     // SO_SNDTIMEO, milliseconds
  kReuseAddress,    // SO_REUSEADDR
  kUrgentInline,    // SO_OOBINLINE: urgent data arrives in the stream, in its place
};
bool SetSocketOption(SocketHandle socket, SocketOption option, int value, int& error);
// SO_LINGER: `on` with `seconds`, or off.
bool SetSocketLinger(SocketHandle socket, bool on, int seconds, int& error);
bool SetSocketNonBlocking(SocketHandle socket, bool nonBlocking, int& error);

// Parses a dotted-decimal IPv4 text into a host-order address.
bool ParseDottedAddress(const char* text, uint32_t& address);
// A host name's first IPv4 address (host order). Names under the reserved "invalid" domain
// fail at once without a lookup, as RFC 6761 asks of resolvers.
bool LookUpHostAddress(const char* name, uint32_t& address);

// Raises the process's descriptor limit to its hard limit; returns the new soft limit.
long RaiseDescriptorLimit();

// Whether an accept failed for want of descriptors or kernel memory (the process's or the
// system's), rather than for a fault of the listening socket.
bool IsDescriptorShortage(int error);
// Keeps one descriptor in reserve (once per process), so that a listener out of descriptors
// can still take a waiting connection off its queue.
void KeepReserveDescriptor();
// Takes one waiting connection off `listener`'s queue with the reserve descriptor and closes
// it at once: the client sees its connection closed instead of waiting in the queue, and the
// listener is not woken for it again and again. False when none was waiting or the reserve
// is gone.
bool RefusePendingConnection(SocketHandle listener);

}  // namespace zelm
