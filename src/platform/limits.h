// Every limit of the system, in one place.
//
// Input from clients, the management server and the network is bounded by these numbers;
// code that enforces a bound names it from here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelm {

// Longest FTP control line without CR LF that a session keeps accumulating; beyond it the
// session says farewell and closes.
inline constexpr size_t kMaxCommandLine = 4096;

// Largest management packet (header included) a receiver accepts; a `length` field above it
// makes the packet invalid, so a peer cannot make the receive block grow without end.
inline constexpr uint32_t kMaxManagementPacket = 1024 * 1024;

// Upper bound of a socket's receive block, for owners that set no cap of their own.
inline constexpr size_t kMaxReceiveBlock = kMaxManagementPacket + 64;

// Time a thread waits for another socket's event thread to end before it leaves it running
// detached (StopEventThread).
inline constexpr uint32_t kEventThreadStopWaitMs = 3000;

// Stack reserved for each event thread and for the upload worker. Handlers keep large buffers
// on the heap; the sanitizer build needs more room for its redzones.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr size_t kEventThreadStackSize = 1024 * 1024;
#else
inline constexpr size_t kEventThreadStackSize = 128 * 1024;
#endif

// A send waits this long per whole KiB of the message for the peer to take it, and never less
// (WriteSocket); a send that does not finish in time counts as short.
inline constexpr uint32_t kSendTimeoutPerKibMs = 5000;
// The fifth short send in a row closes the socket.
inline constexpr uint32_t kMaxShortSends = 5;

// Bytes the upload worker reads from a socket in one go (a buffer of this size exists for each
// upload while it runs): large reads keep the worker's calls per megabyte few.
inline constexpr size_t kCompletionReceiveSize = 256 * 1024;

// The longest password and user name the password hiding reads.
inline constexpr size_t kMaxHiddenPassword = 128;
inline constexpr size_t kMaxHidingKey = 254;

// Longest real path the file-system helpers build.
inline constexpr size_t kMaxPath = 4096;

// Deepest directory level below a home folder that the used-space walk descends to; deeper
// levels are not counted.
inline constexpr size_t kMaxDirectoryDepth = 256;

// Bytes of the buffer in which directory-listing lines are collected before each send.
inline constexpr size_t kListingBufferSize = 1024;

}  // namespace zelm
