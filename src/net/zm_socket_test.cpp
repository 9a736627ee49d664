#include "net/zm_socket.h"

#include <gtest/gtest.h>

#include <functional>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "net/loopback_test_util.h"
#include "platform/error.h"

namespace zelm {
namespace {

using testing::kLoopback;
using testing::LoopbackListener;
using testing::LoopbackPair;
using testing::ReadUpTo;
using testing::SendAll;

// Records what the base class makes of the network; the message handler is scripted.
class CRecordingSocket : public CZmSocket {
 public:
  std::vector<std::string> received;  // the bytes of every OnReceiveData call
  std::vector<std::string> trace;     // hooks in the order they ran
  std::vector<int> connectCodes;
  std::vector<SocketHandle> accepted;
  bool acceptConnections = false;
  std::function<int(CRecordingSocket&, const std::string&, size_t&)> handler;

  ~CRecordingSocket() override {
    for (SocketHandle s : accepted) zelm::CloseSocket(s);
  }

  int OnReceiveData(uint8_t* data, size_t length, size_t& consumed) override {
    std::string text(reinterpret_cast<char*>(data), length);
    received.push_back(text);
    trace.push_back("data");
    return handler ? handler(*this, text, consumed) : 0;
  }
  void OnConnect(int code) override {
    connectCodes.push_back(code);
    CZmSocket::OnConnect(code);
  }
  bool OnAccept(SocketHandle socket, SocketAddress address) override {
    trace.push_back("accept " + FormatIpAddress(address.address));
    if (!acceptConnections) return false;
    accepted.push_back(socket);
    return true;
  }
  void OnClosing(bool byPeer) override { trace.push_back(byPeer ? "closing by peer" : "closing"); }
  void OnClosed(bool wasConnected, bool wasListening) override {
    trace.push_back(std::string("closed ") + (wasConnected ? "1" : "0") +
                    (wasListening ? "1" : "0"));
  }
};

// A line handler in the manner of a control session: keeps bytes until CR LF ends them.
int LineHandler(CRecordingSocket&, const std::string& text, size_t&) {
  if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) return 2;
  return 0;
}

// Drives a socket by hand, the way its event thread would: wait, then one pass.
class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int error = 0;
    event_ = CEventObject::Create(error);
    ASSERT_TRUE(event_);
  }
  // Waits for the next event and runs one pass.
  bool Pass(CZmSocket& socket) {
    int error = 0;
    if (event_->Wait(5000, error) != CEventObject::WaitResult::kSignalled) return false;
    socket.OnNetworkEvents(event_.get(), true);
    return true;
  }
  void Attach(CZmSocket& socket, LoopbackPair& pair) {
    ASSERT_TRUE(socket.Attach(pair.TakeServer(), event_));
    ASSERT_TRUE(socket.IsConnected());
  }

  std::shared_ptr<CEventObject> event_;
};

TEST_F(SocketTest, LineInThreeSegmentsIsOfferedThreeTimesThenNextLineStartsEmpty) {
  LoopbackPair pair;
  CRecordingSocket socket;
  socket.handler = LineHandler;
  Attach(socket, pair);

  for (const char* segment : {"RE", "TR fi", "le\r\n"}) {
    SendAll(pair.client, segment);
    ASSERT_TRUE(Pass(socket));
  }
  SendAll(pair.client, "NOOP\r\n");
  ASSERT_TRUE(Pass(socket));

  EXPECT_EQ(socket.received,
            (std::vector<std::string>{"RE", "RETR fi", "RETR file\r\n", "NOOP\r\n"}));
}

TEST_F(SocketTest, ConsumedLeadingBytesAreNotOfferedAgain) {
  // Messages end with '|'. The handler dispatches whole ones and asks for the rest of a
  // partial one, as the management link does with packets.
  LoopbackPair pair;
  CRecordingSocket socket;
  std::vector<std::string> dispatched;
  socket.handler = [&](CRecordingSocket&, const std::string& text, size_t& consumed) {
    size_t end;
    while ((end = text.find('|', consumed)) != std::string::npos) {
      dispatched.push_back(text.substr(consumed, end - consumed));
      consumed = end + 1;
    }
    return consumed == text.size() ? 0 : 1;
  };
  Attach(socket, pair);

  SendAll(pair.client, "one|tw");
  ASSERT_TRUE(Pass(socket));
  SendAll(pair.client, "o|thr");
  ASSERT_TRUE(Pass(socket));
  SendAll(pair.client, "ee|");
  ASSERT_TRUE(Pass(socket));

  EXPECT_EQ(dispatched, (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(socket.received, (std::vector<std::string>{"one|tw", "two|thr", "three|"}));
}

TEST_F(SocketTest, PeerClosingWithDataPendingHasItsDataHandledFirst) {
  LoopbackPair pair;
  CRecordingSocket socket;
  socket.handler = LineHandler;
  Attach(socket, pair);

  SendAll(pair.client, "QUIT\r\n");
  ShutdownSocket(pair.client, ShutdownHow::kSend);
  // Read and close arrive in one pass: the data first, then the close by the peer.
  ASSERT_TRUE(Pass(socket));

  EXPECT_EQ(socket.trace, (std::vector<std::string>{"data", "closing by peer", "closed 10"}));
  EXPECT_FALSE(socket.IsValid());
}

TEST_F(SocketTest, CloseWaitsUntilEveryByteSentBeforeItWasRead) {
  // More bytes than one pass reads (1000 reads of the 2 bytes the handler asks for).
  LoopbackPair pair;
  CRecordingSocket socket;
  socket.handler = LineHandler;
  Attach(socket, pair);

  std::string line(5000, 'x');
  line += "\r\n";
  SendAll(pair.client, line);
  ShutdownSocket(pair.client, ShutdownHow::kSend);
  for (int i = 0; i < 10 && socket.IsValid(); ++i) ASSERT_TRUE(Pass(socket));

  ASSERT_FALSE(socket.IsValid());
  EXPECT_EQ(socket.received.back(), line);
  EXPECT_EQ(socket.trace.back(), "closed 10");
}

TEST_F(SocketTest, WriteOnNeverConnectedSocketFailsAndCloses) {
  CRecordingSocket socket;
  ASSERT_TRUE(socket.Create(event_, 0, 0, kSocketStream, kProtocolTcp));
  ASSERT_TRUE(socket.IsValid());

  const uint8_t byte = 'x';
  EXPECT_EQ(socket.WriteSocket(&byte, 1), -1);
  EXPECT_FALSE(socket.IsValid());
  EXPECT_EQ(socket.trace, (std::vector<std::string>{"closing", "closed 00"}));
}

TEST_F(SocketTest, CloseOnClosedSocketCallsNoHooks) {
  CRecordingSocket socket;
  socket.Close(false);
  EXPECT_TRUE(socket.trace.empty());
}

// A peer that does not read: the sender's bytes pile up until sends time out.
class ShortSendTest : public SocketTest {
 protected:
  void SetUp() override {
    SocketTest::SetUp();
    int error = 0;
    SetSocketOption(pair_.client, SocketOption::kReceiveBuffer, 4096, error);
    SetSocketOption(pair_.server, SocketOption::kSendBuffer, 4096, error);
    Attach(socket_, pair_);
    socket_.SetSendTimeoutUnit(5);
    // Fill the way to the peer; the send that first cannot finish is short send one.
    std::string block(1000, 'b');
    int result;
    do {
      result = Send(block);
    } while (result == 1000);
    ASSERT_EQ(result, 0);
    ASSERT_EQ(socket_.GetSendFailures(), 1u);
  }
  int Send(const std::string& text) {
    return socket_.WriteSocket(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
  void DrainPeer() {
    int error = 0;
    char buffer[65536];
    while (zelm::WaitReadable(pair_.client, 50, error) == 1 &&
           ReceiveSocket(pair_.client, buffer, sizeof buffer, false, error) > 0) {
    }
  }

  LoopbackPair pair_;
  CRecordingSocket socket_;
};

TEST_F(ShortSendTest, FifthShortSendInARowCloses) {
  const std::string block(1000, 'b');
  for (uint32_t n = 2; n <= 4; ++n) {
    EXPECT_EQ(Send(block), 0);
    EXPECT_EQ(socket_.GetSendFailures(), n);
  }
  EXPECT_TRUE(socket_.IsValid());
  EXPECT_EQ(Send(block), -1);
  EXPECT_FALSE(socket_.IsValid());
}

TEST_F(ShortSendTest, FullSendAfterFourShortOnesStartsTheCountAgain) {
  const std::string block(1000, 'b');
  for (int n = 2; n <= 4; ++n) EXPECT_EQ(Send(block), 0);
  DrainPeer();
  EXPECT_EQ(Send("full"), 4);
  EXPECT_EQ(socket_.GetSendFailures(), 0u);
  EXPECT_TRUE(socket_.IsValid());
}

TEST_F(SocketTest, ConcurrentMessagesNeverInterleave) {
  LoopbackPair pair;
  CRecordingSocket socket;
  Attach(socket, pair);
  const std::string a(300000, 'a');
  const std::string b(300000, 'b');
  std::thread other([&] {
    EXPECT_EQ(socket.WriteSocket(reinterpret_cast<const uint8_t*>(b.data()), b.size()),
              static_cast<int>(b.size()));
  });
  EXPECT_EQ(socket.WriteSocket(reinterpret_cast<const uint8_t*>(a.data()), a.size()),
            static_cast<int>(a.size()));
  std::string seen = ReadUpTo(pair.client, a.size() + b.size());
  other.join();
  ASSERT_EQ(seen.size(), a.size() + b.size());
  EXPECT_TRUE(seen == a + b || seen == b + a);
}

// A socket whose close hands its descriptor number straight to the next connection, as a busy
// listener does when it accepts right after a session went away.
class CReusingSocket final : public CZmSocket {
 public:
  explicit CReusingSocket(const LoopbackListener& next) : next_(next) {}
  void OnClosed(bool, bool) override { reused = next_.AcceptOne(); }
  SocketHandle reused = kInvalidSocket;

 private:
  const LoopbackListener& next_;
};

TEST_F(SocketTest, SendersRacingACloseNeverReachTheConnectionThatReusesItsDescriptor) {
  // Senders queue behind one another on a connection whose peer reads nothing; the owner
  // closes it and the freed descriptor number goes to a new connection at once. A sender that
  // had read the number before it waited must not send into the new connection.
  LoopbackListener next;
  int reusedNumbers = 0;
  for (int round = 0; round < 60; ++round) {
    LoopbackPair pair;
    CReusingSocket socket(next);
    ASSERT_TRUE(socket.Attach(pair.TakeServer(), event_));
    const SocketHandle number = socket.GetHandle();
    const SocketHandle nextClient = next.ConnectClient();
    std::atomic<bool> stop{false};
    std::vector<std::thread> senders;
    for (int i = 0; i < 6; ++i) {
      senders.emplace_back([&] {
        const std::string chunk(64 * 1024, 'x');
        while (!stop.load()) {
          socket.WriteSocket(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
        }
      });
    }
    SleepMilliseconds(5);  // the send buffer fills and the senders queue up
    socket.Close(false);
    stop = true;
    for (std::thread& sender : senders) sender.join();
    if (socket.reused == number) ++reusedNumbers;
    int error = 0;
    char byte = 0;
    EXPECT_EQ(WaitReadable(nextClient, 0, error), 0) << "round " << round;
    EXPECT_LE(ReceiveSocket(nextClient, &byte, 1, true, error), 0) << "round " << round;
    zelm::CloseSocket(nextClient);
    zelm::CloseSocket(socket.reused);
    if (HasFailure()) break;
  }
  // The test means something only when the numbers were in fact reused.
  EXPECT_GT(reusedNumbers, 0);
}

TEST_F(SocketTest, ListenKeepsTheSocketForSamePortAndAddress) {
  CRecordingSocket socket;
  ASSERT_TRUE(socket.Listen(kAnyPort, kLoopback));
  const SocketHandle first = socket.GetHandle();
  const uint16_t port = NetworkToHost16(socket.GetLocalPort());

  ASSERT_TRUE(socket.Listen(port, kLoopback));
  EXPECT_EQ(socket.GetHandle(), first);
  EXPECT_TRUE(socket.trace.empty());

  // Another port replaces the listening socket (closing the old one).
  ASSERT_TRUE(socket.Listen(kAnyPort, kLoopback));
  EXPECT_NE(NetworkToHost16(socket.GetLocalPort()), port);
  EXPECT_EQ(socket.trace, (std::vector<std::string>{"closing", "closed 01"}));
  EXPECT_TRUE(socket.IsListening());
}

TEST_F(SocketTest, AcceptOffersEachConnectionAndClosesRefusedOnes) {
  CRecordingSocket listener;
  listener.SetEvent(event_);
  ASSERT_TRUE(listener.Listen(kAnyPort, kLoopback));
  ASSERT_TRUE(listener.InitEvents());
  LoopbackListener target;  // only for its helpers
  target.port = NetworkToHost16(listener.GetLocalPort());

  SocketHandle refused = target.ConnectClient();
  ASSERT_TRUE(Pass(listener));
  EXPECT_EQ(listener.trace, (std::vector<std::string>{"accept 127.0.0.1"}));
  EXPECT_EQ(ReadUpTo(refused, 1), "");  // closed without a byte

  listener.acceptConnections = true;
  SocketHandle kept = target.ConnectClient();
  ASSERT_TRUE(Pass(listener));
  EXPECT_EQ(listener.accepted.size(), 1u);
  zelm::CloseSocket(refused);
  zelm::CloseSocket(kept);
}

TEST_F(SocketTest, ConnectReportsItsOutcomeThroughOnConnect) {
  LoopbackListener open;
  CRecordingSocket good;
  good.SetEvent(event_);
  ASSERT_TRUE(good.Connect(kLoopback, open.port));
  for (int i = 0; i < 5 && good.connectCodes.empty(); ++i) ASSERT_TRUE(Pass(good));
  EXPECT_EQ(good.connectCodes, (std::vector<int>{0}));
  EXPECT_TRUE(good.IsConnected());

  // A port nobody listens on: the refusal arrives as OnConnect and closes the socket.
  uint16_t closedPort;
  {
    LoopbackListener gone;
    closedPort = gone.port;
  }
  CRecordingSocket bad;
  bad.SetEvent(event_);
  ASSERT_TRUE(bad.Connect(kLoopback, closedPort));
  for (int i = 0; i < 5 && bad.connectCodes.empty(); ++i) ASSERT_TRUE(Pass(bad));
  EXPECT_EQ(bad.connectCodes, (std::vector<int>{kWsaEconnrefused}));
  EXPECT_FALSE(bad.IsValid());
}

TEST(SocketNames, ResolveHost) {
  struct Case {
    const char* name;
    uint32_t address;
  } cases[] = {
      {nullptr, 0},
      {"10.1.2.3", 0x0A010203},
      {"127.0.0.1", kLoopback},
      {"localhost", kLoopback},
      {"no-such-host.invalid", kResolveFailed},
      {"deeper.name.INVALID.", kResolveFailed},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CZmSocket::ResolveHost(c.name), c.address) << (c.name ? c.name : "(null)");
  }
}

TEST_F(SocketTest, FormatIpPrintsTheBytesInMemoryOrder) {
  EXPECT_EQ(CZmSocket::FormatIpAddress(HostToNetwork32(0xC0A80005)), "192.168.0.5");
  LoopbackPair pair;
  CRecordingSocket socket;
  Attach(socket, pair);
  EXPECT_EQ(socket.FormatIp(0), "127.0.0.1");
  EXPECT_EQ(socket.GetPeerAddress(), HostToNetwork32(kLoopback));
}

// ---- Receive blocks in the receive loop ----

TEST_F(SocketTest, BlockGrowsAsTheHandlerAsksAndStopsAtItsCap) {
  LoopbackPair pair;
  CRecordingSocket socket;
  socket.SetReceiveBlockCap(8192);
  socket.handler = [](CRecordingSocket&, const std::string&, size_t&) { return 3000; };
  Attach(socket, pair);

  SendAll(pair.client, std::string(20000, 'z'));
  for (int i = 0; i < 5 && socket.IsValid(); ++i) ASSERT_TRUE(Pass(socket));

  // Growth: 1024 first, then room for 3000 more each time, never past the cap.
  ASSERT_GE(socket.received.size(), 3u);
  EXPECT_EQ(socket.received[0].size(), 1024u);
  EXPECT_EQ(socket.received[1].size(), 4024u);
  for (const std::string& offered : socket.received) EXPECT_LE(offered.size(), 8192u);
  EXPECT_EQ(socket.received.back().size(), 8192u);
  // The default at the cap: the connection is closed.
  EXPECT_FALSE(socket.IsValid());
}

TEST_F(SocketTest, OwnerMayDropAFullBlockAndGoOn) {
  class CDroppingSocket : public CRecordingSocket {
   public:
    int drops = 0;
    bool OnReceiveBlockFull(const uint8_t*, size_t) override {
      ++drops;
      return true;
    }
  };
  LoopbackPair pair;
  CDroppingSocket socket;
  socket.SetReceiveBlockCap(2048);
  socket.handler = LineHandler;
  Attach(socket, pair);

  SendAll(pair.client, std::string(3000, 'z'));
  ASSERT_TRUE(Pass(socket));
  SendAll(pair.client, "\r\nNOOP\r\n");
  ASSERT_TRUE(Pass(socket));

  EXPECT_EQ(socket.drops, 1);
  EXPECT_TRUE(socket.IsValid());
  // The over-long line was dropped at the cap; its tail ends with the CR LF.
  EXPECT_EQ(socket.received.back().substr(socket.received.back().size() - 6), "NOOP\r\n");
  for (const std::string& offered : socket.received) EXPECT_LE(offered.size(), 2048u);
}

TEST_F(SocketTest, NestedReceiveCollectsInAnotherBlockAndKeepsTheOrder) {
  // The handler of "LONG" reads its own socket meanwhile, as a download polls for ABOR.
  LoopbackPair pair;
  CRecordingSocket socket;
  socket.handler = [&](CRecordingSocket& self, const std::string& text, size_t& consumed) {
    if (text == "LONG\r\n") {
      SendAll(pair.client, "AB");
      int error = 0;
      EXPECT_EQ(zelm::WaitReadable(self.GetHandle(), 5000, error), 1);
      self.OnNetworkEvents(event_.get(), false);
    }
    return LineHandler(self, text, consumed);
  };
  Attach(socket, pair);

  SendAll(pair.client, "LONG\r\n");
  ASSERT_TRUE(Pass(socket));
  SendAll(pair.client, "OR\r\n");
  ASSERT_TRUE(Pass(socket));

  // The nested call saw only the new bytes; the partial line then continued where it was.
  EXPECT_EQ(socket.received, (std::vector<std::string>{"LONG\r\n", "AB", "ABOR\r\n"}));
}

TEST_F(SocketTest, BytesOfAnEarlierConnectionAreDropped) {
  LoopbackPair first;
  CRecordingSocket socket;
  socket.handler = LineHandler;
  Attach(socket, first);
  SendAll(first.client, "PARTIAL");
  ASSERT_TRUE(Pass(socket));
  socket.Close(false);

  LoopbackPair second;
  Attach(socket, second);
  SendAll(second.client, "NOOP\r\n");
  ASSERT_TRUE(Pass(socket));
  EXPECT_EQ(socket.received.back(), "NOOP\r\n");
}

}  // namespace
}  // namespace zelm
