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

// The longest password and user name the password hiding reads.
inline constexpr size_t kMaxHiddenPassword = 128;
inline constexpr size_t kMaxHidingKey = 254;

// Longest real path the file-system helpers build.
inline constexpr size_t kMaxPath = 4096;

}  // namespace zelm
