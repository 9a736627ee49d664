// Which local user holds the other end of a loopback TCP connection: the kernel's socket
// table (/proc/net/tcp) lists every socket with its owner's user id.
//
// Thread safety: re-entrant, any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelm {

// In the text of /proc/net/tcp: the user id of the socket whose local end is
// `clientAddress`:`clientPort` (a dotted IPv4 address) and whose remote end has port
// `serverPort`. Nothing when no line matches.
std::optional<uint32_t> ParseTcpSocketOwner(std::string_view table, std::string_view clientAddress,
                                            uint16_t clientPort, uint16_t serverPort);
// The same for this machine's table; nothing when it cannot be read.
std::optional<uint32_t> FindTcpSocketOwner(const std::string& clientAddress, uint16_t clientPort,
                                           uint16_t serverPort);

}  // namespace zelm
