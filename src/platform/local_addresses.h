// The host's own IPv4 neighbourhood, as discovery needs it: the addresses of its network
// interfaces, its default gateways and its name servers.
//
// Every address is returned as the socket layer stores it (network order). Loopback
// addresses (127.0.0.0/8) are left out everywhere: they name this host, not a network
// around it. A source that cannot be read contributes nothing.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace zelm {

// IPv4 addresses of the interfaces that are up, loopback interfaces excepted (getifaddrs).
std::vector<uint32_t> ListInterfaceAddresses();
// An interface's IPv4 network: its address and netmask, both in network order.
struct LocalNetwork {
  uint32_t address = 0;
  uint32_t mask = 0;
};
// The networks of the interfaces that are up, loopback interfaces excepted (getifaddrs).
std::vector<LocalNetwork> ListInterfaceNetworks();

// Gateways of the default routes in the text of /proc/net/route.
std::vector<uint32_t> ParseDefaultGateways(std::string_view routeTable);
// "nameserver" addresses (IPv4 only) in the text of /etc/resolv.conf.
std::vector<uint32_t> ParseNameServers(std::string_view resolvConf);

// Interface addresses, then default gateways (/proc/net/route), then name servers
// (/etc/resolv.conf), in that order, loopback addresses left out.
std::vector<uint32_t> CollectLocalAddresses();

}  // namespace zelm
