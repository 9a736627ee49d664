#include "platform/socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/error.h"
#include "platform/file_send.h"
#include "platform/files.h"
#include "platform/io_poller.h"

namespace zelm {
namespace {

constexpr uint32_t kLoopback = 0x7F000001;

struct Pair {
  SocketHandle listener, client, server;
  Pair() {
    int error = 0;
    listener = OpenSocket(kSocketStream, kProtocolTcp, error);
    EXPECT_TRUE(BindSocket(listener, kLoopback, 0, error));
    EXPECT_TRUE(ListenSocket(listener, 0x7FFFFFFF, error));
    SocketAddress local;
    GetSocketName(listener, local, error);
    client = OpenSocket(kSocketStream, kProtocolTcp, error);
    EXPECT_FALSE(ConnectSocket(client, kLoopback, NetworkToHost16(local.port), error) &&
                 error != 0);
    EXPECT_EQ(WaitReadable(listener, 5000, error), 1);
    SocketAddress peer;
    server = AcceptSocket(listener, peer, error);
    EXPECT_EQ(NetworkToHost32(peer.address), kLoopback);
  }
  ~Pair() {
    CloseSocket(client);
    CloseSocket(server);
    CloseSocket(listener);
  }
};

TEST(PlatformSocket, CallsNeverBlockAndReportSystemNumbers) {
  Pair pair;
  char byte;
  int error = 0;
  EXPECT_EQ(ReceiveSocket(pair.server, &byte, 1, false, error), -1);
  EXPECT_EQ(error, kWsaEwouldblock);
  SocketAddress peer;
  EXPECT_EQ(AcceptSocket(pair.listener, peer, error), kInvalidSocket);
  EXPECT_EQ(error, kWsaEwouldblock);
  EXPECT_EQ(GetSocketType(pair.server), kSocketStream);
  EXPECT_EQ(GetSocketType(kInvalidSocket), -1);
  EXPECT_TRUE(IsListeningSocket(pair.listener));
  EXPECT_FALSE(IsListeningSocket(pair.server));
}

TEST(PlatformSocket, SendToAResetPeerFailsWithoutASignal) {
  Pair pair;
  int error = 0;
  ASSERT_TRUE(SetSocketLinger(pair.client, true, 0, error));
  CloseSocket(pair.client);  // abortive: the peer sees a reset
  pair.client = kInvalidSocket;
  long n = 0;
  for (int i = 0; i < 10 && n >= 0; ++i) n = SendSocket(pair.server, "data", 4, error);
  EXPECT_EQ(n, -1);  // and the process is still here: no SIGPIPE
  EXPECT_EQ(error, kWsaEconnreset);
}

// A temporary file holding `bytes`, opened for reading.
struct SourceFile {
  std::string root;
  CFile file;
  explicit SourceFile(const std::string& bytes) {
    EXPECT_TRUE(MakeTempDirectory("zelm-send-", root));
    CFile out;
    EXPECT_TRUE(out.Open(root + "/f", CFile::Mode::kWriteNew));
    EXPECT_TRUE(out.Write(bytes.data(), bytes.size()));
    out.Close();
    EXPECT_TRUE(file.Open(root + "/f", CFile::Mode::kRead));
  }
  ~SourceFile() { RemoveTree(root); }
};

TEST(PlatformFileSend, SendsFromThePositionOnAndStopsAtTheEnd) {
  std::string bytes(300000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  SourceFile source(bytes);
  Pair pair;
  SeekFile(source.file, 1000, 0);  // a restart offset
  std::string received;
  int error = 0;
  long total = 0;
  for (;;) {
    const long n = SendFileToSocket(pair.server, source.file, 64 * 1024, error);
    if (n == 0) break;
    if (n < 0) {
      ASSERT_EQ(error, kWsaEwouldblock);
    } else {
      total += n;
    }
    char buffer[65536];
    long got = 0;
    while ((got = ReceiveSocket(pair.client, buffer, sizeof buffer, false, error)) > 0) {
      received.append(buffer, static_cast<size_t>(got));
    }
  }
  char buffer[65536];
  while (received.size() < bytes.size() - 1000 && WaitReadable(pair.client, 5000, error) == 1) {
    const long got = ReceiveSocket(pair.client, buffer, sizeof buffer, false, error);
    if (got <= 0) break;
    received.append(buffer, static_cast<size_t>(got));
  }
  EXPECT_EQ(total, static_cast<long>(bytes.size() - 1000));
  EXPECT_TRUE(received == bytes.substr(1000));
  EXPECT_EQ(SendFileToSocket(pair.server, source.file, 10, error), 0);  // position at the end
}

TEST(PlatformFileSend, WaitingSendDeliversAllAndLeavesTheSocketNonBlocking) {
  const std::string bytes(3 << 20, 'w');  // more than the socket buffers hold at first
  SourceFile source(bytes);
  Pair pair;
  std::string received;
  std::thread reader([&] {
    char buffer[65536];
    int error = 0;
    while (received.size() < bytes.size() && WaitReadable(pair.client, 5000, error) == 1) {
      const long got = ReceiveSocket(pair.client, buffer, sizeof buffer, false, error);
      if (got <= 0) break;
      received.append(buffer, static_cast<size_t>(got));
    }
  });
  int error = 0;
  long total = 0;
  while (total < static_cast<long>(bytes.size())) {
    const long n = SendFileToSocketWaiting(pair.server, source.file, bytes.size(), 5000, error);
    ASSERT_GT(n, 0) << error;
    total += n;
  }
  reader.join();
  EXPECT_EQ(received.size(), bytes.size());
  EXPECT_NE(fcntl(pair.server, F_GETFL) & O_NONBLOCK, 0);
}

TEST(PlatformFileSend, SendToAResetPeerFailsWithoutASignal) {
  SourceFile source(std::string(1 << 20, 'z'));
  Pair pair;
  int error = 0;
  ASSERT_TRUE(SetSocketLinger(pair.client, true, 0, error));
  CloseSocket(pair.client);
  pair.client = kInvalidSocket;
  long n = 0;
  for (int i = 0; i < 10 && n >= 0; ++i)
    n = SendFileToSocket(pair.server, source.file, 4096, error);
  EXPECT_EQ(n, -1);  // the process is still here: no SIGPIPE
  EXPECT_EQ(error, kWsaEconnreset);
}

TEST(PlatformSocket, ParsesDottedAddressesOnly) {
  uint32_t address = 0;
  EXPECT_TRUE(ParseDottedAddress("192.168.0.5", address));
  EXPECT_EQ(address, 0xC0A80005u);
  EXPECT_FALSE(ParseDottedAddress("localhost", address));
  EXPECT_FALSE(ParseDottedAddress("1.2.3.256", address));
  EXPECT_FALSE(LookUpHostAddress("anything.invalid", address));
}

TEST(IoPoller, ArmedSocketIsReportedOnceUntilArmedAgain) {
  Pair pair;
  CIoPoller poller;
  int error = 0;
  ASSERT_TRUE(poller.Open(error));
  ASSERT_TRUE(poller.Add(pair.server, 7, error));
  ASSERT_EQ(SendSocket(pair.client, "x", 1, error), 1);
  uint64_t keys[4];
  EXPECT_EQ(poller.Wait(keys, 4, 0, error), 0);  // added disarmed

  ASSERT_TRUE(poller.Arm(pair.server, 7, error));
  ASSERT_EQ(poller.Wait(keys, 4, 5000, error), 1);
  EXPECT_EQ(keys[0], 7u);
  EXPECT_EQ(poller.Wait(keys, 4, 0, error), 0);  // one report per arming

  poller.Wake();
  EXPECT_EQ(poller.Wait(keys, 4, 5000, error), 0);  // a wake-up carries no key
  ASSERT_TRUE(poller.Arm(pair.server, 7, error));
  poller.Remove(pair.server);
  EXPECT_EQ(poller.Wait(keys, 4, 0, error), 0);
}

}  // namespace
}  // namespace zelm
