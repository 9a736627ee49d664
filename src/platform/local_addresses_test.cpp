#include "platform/local_addresses.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/socket.h"

namespace zelm {
namespace {

uint32_t Net(uint32_t hostOrder) { return HostToNetwork32(hostOrder); }

TEST(LocalAddressesTest, DefaultGatewaysFromTheRouteTable) {
  // As the kernel prints it: each address is the network-order word read by this host.
  char line[160];
  const auto row = [&line](const char* iface, uint32_t destination, uint32_t gateway,
                           unsigned flags, uint32_t mask) {
    std::snprintf(line, sizeof line, "%s\t%08X\t%08X\t%04X\t0\t0\t100\t%08X\t0\t0\t0\n", iface,
                  Net(destination), Net(gateway), flags, Net(mask));
    return std::string(line);
  };
  const std::string text =
      std::string("Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\tMTU\n") +
      row("eth0", 0, 0xC0A80101, 0x3, 0) +                    // default via 192.168.1.1
      row("eth0", 0xC0A80100, 0, 0x1, 0xFFFFFF00) +           // the local network itself
      row("eth1", 0x0A000000, 0x0A000001, 0x3, 0xFF000000) +  // a gateway, not a default one
      row("wg0", 0, 0x7F000001, 0x3, 0) +                     // loopback: left out
      row("eth2", 0, 0x0A0B0C01, 0x3, 0) +                    // a second default route
      "garbage line\n" + row("eth3", 0, 0x0A0B0D01, 0x1, 0);  // no gateway flag
  EXPECT_EQ(ParseDefaultGateways(text), (std::vector<uint32_t>{Net(0xC0A80101), Net(0x0A0B0C01)}));
  EXPECT_TRUE(ParseDefaultGateways("").empty());
}

TEST(LocalAddressesTest, NameServersFromResolvConf) {
  const std::string text =
      "# generated\n"
      "search example.org\n"
      "nameserver 192.168.1.1\n"
      "nameserver\t10.2.3.4  \r\n"
      "nameserver 127.0.0.53\n"
      "nameserver ::1\n"
      "nameserver 300.1.1.1\n"
      "nameserver\n"
      "  nameserver 172.16.0.9";
  EXPECT_EQ(ParseNameServers(text),
            (std::vector<uint32_t>{Net(0xC0A80101), Net(0x0A020304), Net(0xAC100009)}));
}

TEST(LocalAddressesTest, InterfaceAddressesLeaveLoopbackOut) {
  for (uint32_t address : ListInterfaceAddresses()) {
    EXPECT_NE(NetworkToHost32(address) >> 24, 127u);
    EXPECT_NE(address, 0u);
  }
}

}  // namespace
}  // namespace zelm
