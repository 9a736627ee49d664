#include "platform/tls.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/temp_folder.h"
#include "platform/tls_certificate.h"

namespace zelm {
namespace {

constexpr uint32_t kLoopback = 0x7F000001;
constexpr int kWaitMs = 10000;

// A server context with a fresh certificate, and a client context that trusts it.
struct Contexts {
  CTempFolder folder{"tls"};
  std::shared_ptr<CTlsServer> server;
  std::shared_ptr<CTlsServer> client;
  Contexts() {
    std::string error;
    EXPECT_TRUE(GenerateSelfSignedCertificate(folder / "cert.pem", folder / "key.pem", "127.0.0.1",
                                              2, error))
        << error;
    server = CTlsServer::Load(folder / "cert.pem", folder / "key.pem", error);
    EXPECT_NE(server, nullptr) << error;
    client = CTlsServer::LoadClient(folder / "cert.pem", error);
    EXPECT_NE(client, nullptr) << error;
  }
};

Contexts& TheContexts() {
  static Contexts* contexts = new Contexts;
  return *contexts;
}

// One loopback connection.
struct Pair {
  SocketHandle listener = kInvalidSocket, client = kInvalidSocket, server = kInvalidSocket;
  Pair() {
    int error = 0;
    listener = OpenSocket(kSocketStream, kProtocolTcp, error);
    EXPECT_TRUE(BindSocket(listener, kLoopback, 0, error));
    EXPECT_TRUE(ListenSocket(listener, 16, error));
    SocketAddress local;
    GetSocketName(listener, local, error);
    client = OpenSocket(kSocketStream, kProtocolTcp, error);
    ConnectSocket(client, kLoopback, NetworkToHost16(local.port), error);
    EXPECT_EQ(WaitReadable(listener, kWaitMs, error), 1);
    SocketAddress peer;
    server = AcceptSocket(listener, peer, error);
    EXPECT_EQ(WaitWritable(client, kWaitMs, error), 1);
  }
  ~Pair() {
    CloseSocket(client);
    CloseSocket(server);
    CloseSocket(listener);
  }
};

// Both handshakes at once (each side waits for the other); the server's verdict.
bool Handshake(CTlsConnection& server, CTlsConnection& client, const CTlsConnection* resume) {
  std::string clientError;
  bool clientOk = false;
  std::thread peer([&] { clientOk = client.Connect(kWaitMs, resume, clientError); });
  std::string serverError;
  const bool serverOk = server.Accept(kWaitMs, serverError);
  peer.join();
  EXPECT_TRUE(clientOk) << clientError;
  EXPECT_TRUE(serverOk) << serverError;
  return serverOk && clientOk;
}

// Reads what `from` sends until `want` bytes or the end.
std::string ReadAll(CTlsConnection& from, SocketHandle socket, size_t want) {
  std::string got;
  char buffer[70000];
  while (got.size() < want) {
    int error = 0;
    const long n = from.ReadMany(buffer, sizeof buffer, error);
    if (n > 0) {
      got.append(buffer, static_cast<size_t>(n));
    } else if (n < 0 && error == kWsaEwouldblock) {
      if (WaitReadable(socket, kWaitMs, error) != 1) break;
    } else {
      break;
    }
  }
  return got;
}

void WriteAll(CTlsConnection& to, SocketHandle socket, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    int error = 0;
    const long n = to.Write(data.data() + sent, data.size() - sent, error);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else {
      ASSERT_EQ(error, kWsaEwouldblock);
      ASSERT_EQ(WaitWritable(socket, kWaitMs, error), 1);
    }
  }
}

TEST(Tls, BytesCrossBothWaysAndTheEndIsReported) {
  Contexts& contexts = TheContexts();
  Pair pair;
  CTlsConnection server(contexts.server, pair.server, "control");
  CTlsConnection client(contexts.client, pair.client, "");
  ASSERT_TRUE(Handshake(server, client, nullptr));
  EXPECT_NE(server.Description().find("TLSv1."), std::string::npos);
  std::string big(300000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  std::thread writer([&] { WriteAll(client, pair.client, big); });
  EXPECT_EQ(ReadAll(server, pair.server, big.size()), big);  // many records, one buffer
  writer.join();
  WriteAll(server, pair.server, "226 done\r\n");
  EXPECT_EQ(ReadAll(client, pair.client, 10), "226 done\r\n");
  client.Shutdown();  // close_notify, the connection stays open
  int error = 0;
  ASSERT_EQ(WaitReadable(pair.server, kWaitMs, error), 1);
  char byte;
  EXPECT_EQ(server.Read(&byte, 1, error), 0);
  EXPECT_TRUE(server.HasBufferedInput());  // the end is there to be read again
  EXPECT_EQ(server.Read(&byte, 1, error), 0);
}

TEST(Tls, OnlySessionsOfTheSameContextResume) {
  Contexts& contexts = TheContexts();
  // The control connection, with its tickets read by the client.
  Pair control;
  CTlsConnection server(contexts.server, control.server, "session A");
  CTlsConnection client(contexts.client, control.client, "");
  ASSERT_TRUE(Handshake(server, client, nullptr));
  WriteAll(server, control.server, "200 ok\r\n");
  ASSERT_EQ(ReadAll(client, control.client, 8), "200 ok\r\n");
  const struct {
    const char* context;
    bool resumed;
  } cases[] = {{"session A", true}, {"session B", false}};
  for (const auto& c : cases) {
    Pair data;
    CTlsConnection dataServer(contexts.server, data.server, c.context, false);
    CTlsConnection dataClient(contexts.client, data.client, "");
    ASSERT_TRUE(Handshake(dataServer, dataClient, &client));
    EXPECT_EQ(dataServer.IsResumed(), c.resumed) << c.context;
  }
}

TEST(Tls, ChangedOrBrokenStreamsAreNoEnd) {
  Contexts& contexts = TheContexts();
  Pair pair;
  CTlsConnection server(contexts.server, pair.server, "x");
  CTlsConnection client(contexts.client, pair.client, "");
  ASSERT_TRUE(Handshake(server, client, nullptr));
  // A record whose bytes were changed on the way fails its check: an error, not the end.
  int error = 0;
  const char junk[] = "\x17\x03\x03\x00\x20XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX";
  ASSERT_EQ(SendSocket(pair.client, junk, sizeof junk - 1, error),
            static_cast<long>(sizeof junk - 1));
  ASSERT_EQ(WaitReadable(pair.server, kWaitMs, error), 1);
  char buffer[64];
  EXPECT_EQ(server.Read(buffer, sizeof buffer, error), -1);
  EXPECT_NE(error, 0);
  EXPECT_NE(error, kWsaEwouldblock);
  EXPECT_EQ(server.Read(buffer, sizeof buffer, error), -1);  // and stays broken
  EXPECT_NE(error, 0);
}

TEST(Tls, AHandshakeWithGarbageFails) {
  Contexts& contexts = TheContexts();
  Pair pair;
  int error = 0;
  const std::string garbage = "this is no ClientHello\r\n";
  SendSocket(pair.client, garbage.data(), garbage.size(), error);
  CTlsConnection server(contexts.server, pair.server, "x");
  std::string why;
  EXPECT_FALSE(server.Accept(kWaitMs, why));
  EXPECT_FALSE(why.empty());
}

}  // namespace
}  // namespace zelm
