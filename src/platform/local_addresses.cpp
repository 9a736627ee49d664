// Owns the reading of the host's interface addresses, default gateways and name servers.
#include "platform/local_addresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <charconv>
#include <string>

#include "platform/small_file.h"

namespace zelm {
namespace {

constexpr size_t kMaxSystemFile = 1024 * 1024;

bool IsLoopback(uint32_t networkAddress) { return (ntohl(networkAddress) >> 24) == 127; }

// The next line of `text` from `at` (without its end), advancing `at`.
std::string_view NextLine(std::string_view text, size_t& at) {
  const size_t end = std::min(text.find('\n', at), text.size());
  std::string_view line = text.substr(at, end - at);
  at = end + 1;
  return line;
}

// Splits a line into words at blanks and tabs.
std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

bool ParseHex32(std::string_view word, uint32_t& value) {
  const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value, 16);
  return ec == std::errc() && end == word.data() + word.size();
}

std::vector<uint32_t> ReadAndParse(const char* path,
                                   std::vector<uint32_t> (*parse)(std::string_view)) {
  std::string text;
  if (ReadSmallFile(path, kMaxSystemFile, text) != SmallFileResult::kOk) return {};
  return parse(text);
}

}  // namespace

std::vector<LocalNetwork> ListInterfaceNetworks() {
  std::vector<LocalNetwork> networks;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return networks;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
    LocalNetwork network;
    network.address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
    if (entry->ifa_netmask != nullptr && entry->ifa_netmask->sa_family == AF_INET) {
      network.mask = reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr;
    }
    if (network.address != 0 && !IsLoopback(network.address)) networks.push_back(network);
  }
  freeifaddrs(list);
  return networks;
}

std::vector<uint32_t> ListInterfaceAddresses() {
  std::vector<uint32_t> addresses;
  for (const LocalNetwork& network : ListInterfaceNetworks()) addresses.push_back(network.address);
  return addresses;
}

std::vector<uint32_t> ParseDefaultGateways(std::string_view routeTable) {
  // Iface Destination Gateway Flags RefCnt Use Metric Mask ...; the addresses are the
  // kernel's 32-bit words in hexadecimal, i.e. the network-order value as this host reads it.
  constexpr uint32_t kRouteGateway = 0x2;
  std::vector<uint32_t> gateways;
  size_t at = 0;
  bool header = true;
  while (at < routeTable.size()) {
    const std::vector<std::string_view> words = Words(NextLine(routeTable, at));
    if (header) {
      header = false;
      continue;
    }
    uint32_t destination = 0;
    uint32_t gateway = 0;
    uint32_t flags = 0;
    uint32_t mask = 0;
    if (words.size() < 8 || !ParseHex32(words[1], destination) || !ParseHex32(words[2], gateway) ||
        !ParseHex32(words[3], flags) || !ParseHex32(words[7], mask)) {
      continue;
    }
    if (destination != 0 || mask != 0 || (flags & kRouteGateway) == 0) continue;
    if (gateway != 0 && !IsLoopback(gateway)) gateways.push_back(gateway);
  }
  return gateways;
}

std::vector<uint32_t> ParseNameServers(std::string_view resolvConf) {
  std::vector<uint32_t> servers;
  size_t at = 0;
  while (at < resolvConf.size()) {
    const std::vector<std::string_view> words = Words(NextLine(resolvConf, at));
    if (words.size() < 2 || words[0] != "nameserver") continue;
    const std::string text(words[1]);
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1) continue;
    if (address.s_addr != 0 && !IsLoopback(address.s_addr)) servers.push_back(address.s_addr);
  }
  return servers;
}

std::vector<uint32_t> CollectLocalAddresses() {
  std::vector<uint32_t> addresses = ListInterfaceAddresses();
  for (uint32_t gateway : ReadAndParse("/proc/net/route", ParseDefaultGateways)) {
    addresses.push_back(gateway);
  }
  for (uint32_t server : ReadAndParse("/etc/resolv.conf", ParseNameServers)) {
    addresses.push_back(server);
  }
  return addresses;
}

}  // namespace zelm
