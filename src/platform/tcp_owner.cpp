// Owns the reading of the kernel's TCP socket table for the owner of a connection's end.
#include "platform/tcp_owner.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>

#include "platform/small_file.h"

namespace zelm {
namespace {

constexpr size_t kMaxTableBytes = 16 * 1024 * 1024;

// "0100007F:1F90": the address as the kernel prints its 32-bit word, the port in hex.
bool ParseEndpoint(std::string_view text, uint32_t& address, uint16_t& port) {
  if (text.size() != 13 || text[8] != ':') return false;
  char* end = nullptr;
  const std::string addressText(text.substr(0, 8));
  const std::string portText(text.substr(9));
  address = static_cast<uint32_t>(std::strtoul(addressText.c_str(), &end, 16));
  if (end == nullptr || *end != '\0') return false;
  const unsigned long value = std::strtoul(portText.c_str(), &end, 16);
  if (end == nullptr || *end != '\0' || value > 0xFFFF) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

std::string_view NextWord(std::string_view line, size_t& at) {
  while (at < line.size() && line[at] == ' ') ++at;
  const size_t start = at;
  while (at < line.size() && line[at] != ' ') ++at;
  return line.substr(start, at - start);
}

}  // namespace

std::optional<uint32_t> ParseTcpSocketOwner(std::string_view table, std::string_view clientAddress,
                                            uint16_t clientPort, uint16_t serverPort) {
  in_addr wanted{};
  if (inet_pton(AF_INET, std::string(clientAddress).c_str(), &wanted) != 1) return std::nullopt;
  size_t lineStart = 0;
  bool header = true;
  while (lineStart < table.size()) {
    size_t lineEnd = table.find('\n', lineStart);
    if (lineEnd == std::string_view::npos) lineEnd = table.size();
    const std::string_view line = table.substr(lineStart, lineEnd - lineStart);
    lineStart = lineEnd + 1;
    if (header) {
      header = false;
      continue;
    }
    // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid ...
    size_t at = 0;
    NextWord(line, at);
    uint32_t localAddress = 0, remoteAddress = 0;
    uint16_t localPort = 0, remotePort = 0;
    if (!ParseEndpoint(NextWord(line, at), localAddress, localPort) ||
        !ParseEndpoint(NextWord(line, at), remoteAddress, remotePort)) {
      continue;
    }
    if (localAddress != wanted.s_addr || localPort != clientPort || remotePort != serverPort) {
      continue;
    }
    for (int skip = 0; skip < 4; ++skip) NextWord(line, at);
    const std::string uid(NextWord(line, at));
    char* end = nullptr;
    const unsigned long value = std::strtoul(uid.c_str(), &end, 10);
    if (uid.empty() || end == nullptr || *end != '\0' || value > 0xFFFFFFFFul) continue;
    return static_cast<uint32_t>(value);
  }
  return std::nullopt;
}

std::optional<uint32_t> FindTcpSocketOwner(const std::string& clientAddress, uint16_t clientPort,
                                           uint16_t serverPort) {
  std::string table;
  if (ReadSmallFile("/proc/net/tcp", kMaxTableBytes, table) != SmallFileResult::kOk) {
    return std::nullopt;
  }
  return ParseTcpSocketOwner(table, clientAddress, clientPort, serverPort);
}

}  // namespace zelm
