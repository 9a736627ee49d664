#include "platform/tcp_owner.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/socket.h"

namespace zelm {
namespace {

TEST(TcpOwner, TheClientEndOfALoopbackConnectionIsOurs) {
  int error = 0;
  const SocketHandle server = OpenSocket(kSocketStream, kProtocolTcp, error);
  ASSERT_TRUE(BindSocket(server, 0x7F000001, 0, error));
  ASSERT_TRUE(ListenSocket(server, 4, error));
  SocketAddress bound;
  ASSERT_TRUE(GetSocketName(server, bound, error));
  const uint16_t serverPort = NetworkToHost16(bound.port);
  const SocketHandle client = OpenSocket(kSocketStream, kProtocolTcp, error);
  ASSERT_TRUE(BindSocket(client, 0x7F000003, 0, error));
  ConnectSocket(client, 0x7F000001, serverPort, error);
  ASSERT_EQ(WaitWritable(client, 5000, error), 1);
  SocketAddress local;
  ASSERT_TRUE(GetSocketName(client, local, error));
  const uint16_t clientPort = NetworkToHost16(local.port);

  EXPECT_EQ(FindTcpSocketOwner("127.0.0.3", clientPort, serverPort), getuid());
  EXPECT_FALSE(FindTcpSocketOwner("127.0.0.4", clientPort, serverPort).has_value());
  EXPECT_FALSE(FindTcpSocketOwner("127.0.0.3", clientPort, serverPort + 1).has_value());
  EXPECT_FALSE(FindTcpSocketOwner("not an address", clientPort, serverPort).has_value());
  CloseSocket(client);
  CloseSocket(server);
}

TEST(TcpOwner, MalformedLinesAreSkipped) {
  const std::string table =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid\n"
      "   0: 0300007F:0050 0100007F:1F90\n"  // cut short
      "   1: 0300007F:0050 0100007F:1F90 01 00000000:00000000 00:00000000 00000000 x12\n"
      "   2: 0300007F:0050 0100007F:1F90 01 00000000:00000000 00:00000000 00000000 1000 0\n";
  EXPECT_EQ(ParseTcpSocketOwner(table, "127.0.0.3", 80, 8080), 1000u);
  EXPECT_FALSE(ParseTcpSocketOwner(table.substr(0, table.find("   2:")), "127.0.0.3", 80, 8080));
  EXPECT_FALSE(ParseTcpSocketOwner(table, "127.0.0.3", 81, 8080).has_value());
  EXPECT_FALSE(ParseTcpSocketOwner("", "127.0.0.3", 80, 8080).has_value());
}

}  // namespace
}  // namespace zelm
