#include "mserverd/daemon.h"

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <future>
#include <map>
#include <sstream>
#include <thread>

#include "mserver/password_hiding.h"
#include "mserver/udp_test_util.h"
#include "mserverd/account_store.h"
#include "mserverd/control_channel.h"
#include "mserverd/packet_test_util.h"
#include "net/loopback_test_util.h"
#include "platform/error.h"
#include "platform/service_manager.h"
#include "platform/temp_folder.h"

namespace zelm {
namespace {

// Only a safety net: every wait below ends as soon as the awaited bytes arrive.
constexpr int kWaitMs = 5000;

// A scripted FTP server on the far end of one link, connecting from `from` (127.0.0.2 and up
// stand for other machines).
class FakeFtpServer {
 public:
  explicit FakeFtpServer(uint16_t port, uint32_t from = testing::kLoopback) {
    int error = 0;
    socket_ = OpenSocket(kSocketStream, kProtocolTcp, error);
    EXPECT_TRUE(BindSocket(socket_, from, 0, error)) << error;
    if (!ConnectSocket(socket_, kDefaultListenAddress, port, error)) {
      EXPECT_EQ(error, kWsaEinprogress);
      EXPECT_EQ(WaitWritable(socket_, kWaitMs, error), 1);
    }
  }
  ~FakeFtpServer() { CloseSocket(socket_); }

  void Send(const std::vector<uint8_t>& bytes) {
    size_t sent = 0;
    int error = 0;
    while (sent < bytes.size()) {
      const long n = SendSocket(socket_, bytes.data() + sent, bytes.size() - sent, error);
      if (n > 0) {
        sent += static_cast<size_t>(n);
      } else if (n < 0 && error != kWsaEwouldblock) {
        return;  // the daemon has closed the link: what it says about it is read next
      } else {
        ASSERT_EQ(WaitWritable(socket_, kWaitMs, error), 1);
      }
    }
  }

  // The next packet from the daemon; nothing when the link closed first.
  std::optional<ReceivedPacket> Next() {
    while (queue_.empty() && !closed_) ReadMore();
    if (queue_.empty()) return std::nullopt;
    ReceivedPacket packet = queue_.front();
    queue_.pop_front();
    return packet;
  }

  // True once the daemon has closed the link (packets still queued are skipped).
  bool WaitClosed() {
    while (!closed_) ReadMore();
    return true;
  }

  // Says hello and answers the status request that follows with an empty report.
  void Greet() {
    Send(EncodeHello("PC01"));
    const auto answer = Next();
    ASSERT_TRUE(answer && answer->Is(kCategoryHello, 1));
    const auto request = Next();
    ASSERT_TRUE(request && request->header.category == kCategoryStatusRequest);
    Send(EncodeStatusRecord({{1, 0, 50, 0, 0, 128}}));
  }

  int32_t Login(const std::string& user, const std::string& password, uint32_t session) {
    Send(EncodeLoginRequest({user, HidePassword(password, user), session}));
    const auto answer = NextLoginAnswer();
    if (!answer) return -1;
    EXPECT_EQ(answer->sessionId, session);
    return answer->result.value_or(-1);
  }
  // The next login answer (other packets before it are skipped).
  std::optional<LoginAnswer> NextLoginAnswer() {
    for (;;) {
      const auto packet = Next();
      if (!packet) {
        ADD_FAILURE() << "the link closed before a login answer";
        return std::nullopt;
      }
      if (packet->Is(kCategoryItems, kCommandLoginAnswer)) {
        return DecodeLoginAnswer(packet->Body(), packet->BodyLength());
      }
    }
  }

 private:
  void ReadMore() {
    uint8_t chunk[4096];
    int error = 0;
    if (WaitReadable(socket_, kWaitMs, error) != 1) {
      ADD_FAILURE() << "nothing from the daemon";
      closed_ = true;
      return;
    }
    const long n = ReceiveSocket(socket_, chunk, sizeof chunk, false, error);
    if (n <= 0) {
      closed_ = n == 0 || error != kWsaEwouldblock;
      return;
    }
    buffer_.insert(buffer_.end(), chunk, chunk + n);
    std::vector<uint8_t> rest;
    for (auto& p : CutAll(buffer_, &rest)) queue_.push_back(std::move(p));
    buffer_ = rest;
  }

  SocketHandle socket_ = kInvalidSocket;
  std::vector<uint8_t> buffer_;
  std::deque<ReceivedPacket> queue_;
  bool closed_ = false;
};

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(store_.Initialise());
    ASSERT_TRUE(store_.AddAccount({"amy", "amy", 0, 0, 0, kRightAll, true}, "pw-amy"));
    options_.port = 0;
    options_.controlSocket = folder_ / "control.sock";
    options_.database = folder_ / "accounts.db";
    Start();
  }
  void TearDown() override { Stop(); }

  void Start() {
    daemon_ = std::make_unique<CMServerDaemon>(store_, options_, nullptr);
    std::string message;
    ASSERT_TRUE(daemon_->Open(message)) << message;
    thread_ = std::thread([this] { daemon_->Run(); });
  }
  void Stop() {
    if (!thread_.joinable()) return;
    daemon_->Stop();
    thread_.join();
  }

  // Runs a live command; `out` gets the text of an "ok" reply or of an error.
  int Control(const std::vector<std::string>& words, std::string& out) {
    std::ostringstream o, e;
    const int status = RunControlCommand(options_.controlSocket, words, o, e, kWaitMs);
    out = o.str() + e.str();
    return status;
  }
  // The same on another thread, for commands that wait for the FTP servers.
  std::future<std::pair<int, std::string>> ControlLater(std::vector<std::string> words) {
    return std::async(std::launch::async, [this, words] {
      std::string out;
      const int status = Control(words, out);
      return std::make_pair(status, out);
    });
  }

  CTempFolder folder_{"daemon"};
  CAccountStore store_{folder_ / "accounts.db", ScryptParameters{1024, 8, 1}};
  DaemonOptions options_;
  std::unique_ptr<CMServerDaemon> daemon_;
  std::thread thread_;
};

TEST_F(DaemonTest, GarbageClosesOnlyTheLinkThatSentIt) {
  FakeFtpServer good(daemon_->Port());
  FakeFtpServer bad(daemon_->Port());
  good.Greet();
  bad.Greet();
  bad.Send(std::vector<uint8_t>(100, 0x5A));
  EXPECT_TRUE(bad.WaitClosed());
  EXPECT_EQ(good.Login("amy", "pw-amy", 1), 1);
  EXPECT_EQ(good.Login("amy", "nope", 2), 0);

  // A peer that is not an FTP server at all (a stray HTTP client) is closed as well.
  FakeFtpServer stray(daemon_->Port());
  const std::string http = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: test\r\n\r\n";
  stray.Send({http.begin(), http.end()});
  EXPECT_TRUE(stray.WaitClosed());
  EXPECT_EQ(good.Login("amy", "pw-amy", 3), 1);
}

TEST_F(DaemonTest, ALinkWithoutHelloDoesNotHoldItsPlace) {
  Stop();
  options_.helloWait = std::chrono::milliseconds(0);
  Start();
  FakeFtpServer silent(daemon_->Port());
  EXPECT_TRUE(silent.WaitClosed());
}

TEST_F(DaemonTest, SessionsAsksEveryServerForAFreshReport) {
  std::string out;
  EXPECT_EQ(Control({"sessions"}, out), 0);
  EXPECT_NE(out.find("no FTP server is connected"), std::string::npos);

  FakeFtpServer first(daemon_->Port());
  FakeFtpServer second(daemon_->Port());
  first.Greet();
  second.Greet();
  auto sessions = ControlLater({"sessions"});
  for (FakeFtpServer* server : {&first, &second}) {
    const auto request = server->Next();
    ASSERT_TRUE(request && request->header.category == kCategoryStatusRequest);
  }
  first.Send(EncodeStatusRecord({{1, 1, 50, 0, 0, 128}}));
  first.Send(EncodeSessionStatus({"amy", 7, 42, 0x0100007F, 1000, 2000, 9}));
  second.Send(EncodeStatusRecord({{1, 0, 50, 0, 0, 128}}));
  const auto [status, text] = sessions.get();
  EXPECT_EQ(status, 0);
  EXPECT_NE(text.find("1\t7\tamy\t42s\t127.0.0.1\t1000\t2000\t9\n"), std::string::npos) << text;
}

TEST_F(DaemonTest, KickEndsOneSessionOrEveryOneOfAUser) {
  std::string out;
  EXPECT_EQ(Control({"kick", "amy"}, out), 1);
  EXPECT_NE(out.find("no FTP server is connected"), std::string::npos);

  FakeFtpServer first(daemon_->Port());
  FakeFtpServer second(daemon_->Port());
  first.Greet();
  second.Greet();
  ASSERT_EQ(first.Login("amy", "pw-amy", 7), 1);

  EXPECT_EQ(Control({"kick", "7"}, out), 0) << out;
  const auto end = first.Next();
  ASSERT_TRUE(end && end->Is(kCategoryItems, kCommandEndSessions));
  const auto target = DecodeEndSessions(end->Body(), end->BodyLength());
  EXPECT_EQ(target->sessionId, 7u);
  EXPECT_FALSE(target->userName);
  // The other server was not asked: its next packet answers its own login.
  EXPECT_EQ(second.Login("amy", "pw-amy", 7), 1);

  EXPECT_EQ(Control({"kick", "amy"}, out), 0);
  EXPECT_NE(out.find("2 FTP server(s)"), std::string::npos) << out;
  for (FakeFtpServer* server : {&first, &second}) {
    const auto packet = server->Next();
    ASSERT_TRUE(packet && packet->Is(kCategoryItems, kCommandEndSessions));
    EXPECT_EQ(DecodeEndSessions(packet->Body(), packet->BodyLength())->userName, "amy");
  }

  // Nobody of that name is known: the operator hears so (exit status 1), and the order goes
  // out all the same, for a login no report has listed yet.
  EXPECT_EQ(Control({"kick", "nobody"}, out), 1);
  EXPECT_NE(out.find("no session of user 'nobody' is known to the 2 connected FTP server(s)"),
            std::string::npos)
      << out;
  EXPECT_EQ(Control({"kick", "99"}, out), 1);
  EXPECT_NE(out.find("no session 99 and no session of user '99'"), std::string::npos) << out;
  for (FakeFtpServer* server : {&first, &second}) {
    const auto packet = server->Next();
    ASSERT_TRUE(packet && packet->Is(kCategoryItems, kCommandEndSessions));
    EXPECT_EQ(DecodeEndSessions(packet->Body(), packet->BodyLength())->userName, "nobody");
  }
}

TEST_F(DaemonTest, PublishReportsTheServersAnswers) {
  FakeFtpServer server(daemon_->Port());
  server.Greet();
  auto publish = ControlLater({"publish", "/games", "/srv/share/chess"});
  const auto request = server.Next();
  ASSERT_TRUE(request && request->Is(kCategoryItems, kCommandShortcutFolder));
  const auto decoded = DecodeShortcutRequest(request->Body(), request->BodyLength());
  EXPECT_EQ(decoded->folder, "/games");
  EXPECT_EQ(decoded->target, "/srv/share/chess");
  server.Send(EncodeShortcutAnswer({1, "/games", "/games/chess.lnk", decoded->id}));
  const auto [status, text] = publish.get();
  EXPECT_EQ(status, 0);
  EXPECT_EQ(text, "link 1: result 1, /games/chess.lnk\n");
}

TEST_F(DaemonTest, ConfigurationIsPushedAfterHelloAndOnRequest) {
  ASSERT_TRUE(store_.SetConfig({1u, 20u, std::nullopt}));
  FakeFtpServer server(daemon_->Port());
  server.Greet();
  const auto pushed = server.Next();
  ASSERT_TRUE(pushed && pushed->Is(kCategoryItems, kCommandConfiguration));

  ASSERT_TRUE(store_.SetConfig({0u, std::nullopt, std::nullopt}));
  std::string out;
  EXPECT_EQ(Control({"push-config"}, out), 0);
  const auto again = server.Next();
  ASSERT_TRUE(again && again->Is(kCategoryItems, kCommandConfiguration));
  EXPECT_EQ(DecodeConfiguration(again->Body(), again->BodyLength())->record->values[0], 0u);

  EXPECT_EQ(Control({"status"}, out), 0);
  EXPECT_NE(out.find("computer 'PC01'\tgreeted"), std::string::npos) << out;
  EXPECT_EQ(Control({"reboot"}, out), 1);
  EXPECT_NE(out.find("unknown request"), std::string::npos);
}

TEST_F(DaemonTest, ControlSocketIsPrivateAndStopCleansUp) {
  namespace fs = std::filesystem;
  EXPECT_EQ(fs::status(options_.controlSocket).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  // A second daemon on the same database cannot take the socket over.
  DaemonOptions second = options_;
  CMServerDaemon other(store_, second, nullptr);
  std::string message;
  EXPECT_FALSE(other.Open(message));
  EXPECT_NE(message.find("in use"), std::string::npos) << message;

  FakeFtpServer server(daemon_->Port());
  server.Greet();
  Stop();
  EXPECT_TRUE(server.WaitClosed());
  EXPECT_FALSE(fs::exists(options_.controlSocket));
  // A restarted daemon serves again, on the same port.
  options_.port = daemon_->Port();
  Start();
  FakeFtpServer again(options_.port);
  again.Greet();
  EXPECT_EQ(again.Login("amy", "pw-amy", 1), 1);
}

TEST_F(DaemonTest, AnnounceAnswersQueriesWithItsTcpPortAndNothingElse) {
  EXPECT_EQ(daemon_->AnnouncePort(), 0u);  // not without --announce
  Stop();
  daemon_.reset();
  options_.announce = true;
  options_.announcePort = 0;
  Start();
  const uint16_t udpPort = daemon_->AnnouncePort();
  ASSERT_NE(udpPort, 0u);
  testing::UdpTestPeer ftpServer(testing::Loopback(9));
  const uint8_t shortQuery[39] = {};
  ASSERT_TRUE(ftpServer.Send(shortQuery, sizeof shortQuery, testing::kLoopback, udpPort));
  ASSERT_TRUE(ftpServer.Send(BuildDiscoveryDatagram(kDiscoveryKindAnnouncement, 0),
                             testing::kLoopback, udpPort));
  ASSERT_TRUE(
      ftpServer.Send(BuildDiscoveryDatagram(kDiscoveryKindQuery, 0), testing::kLoopback, udpPort));
  const auto answers = ftpServer.Receive(5000, 0);  // in order: earlier answers came first
  ASSERT_EQ(answers.size(), 1u);
  DiscoveryMessage message;
  ASSERT_TRUE(ParseDiscoveryDatagram(answers[0].bytes.data(), answers[0].bytes.size(), message));
  EXPECT_EQ(message.kind, kDiscoveryKindAnnouncement);
  EXPECT_EQ(message.command, daemon_->Port());
  EXPECT_EQ(NetworkToHost32(answers[0].from.address), testing::kLoopback);
}

TEST_F(DaemonTest, OnlyTheAdmittedFtpServersLink) {
  const uint32_t kServer = testing::Loopback(1), kOther = testing::Loopback(2);
  const struct {
    std::vector<uint32_t> admitted;
    uint32_t from;
    bool links;
  } cases[] = {
      {{}, kServer, true},
      {{}, testing::Loopback(200), true},  // by default any loopback address
      {{kServer}, kServer, true},
      {{kServer}, kOther, false},
      {{testing::Loopback(3), kServer}, testing::Loopback(3), true},
      {{testing::Loopback(3), kServer}, kOther, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("from 127.0.0." + std::to_string(c.from & 0xFF));
    Stop();
    options_.ftpServers = c.admitted;
    Start();
    FakeFtpServer server(daemon_->Port(), c.from);
    if (c.links) {
      server.Greet();
      EXPECT_EQ(server.Login("amy", "pw-amy", 1), 1);
      continue;
    }
    // Closed before its hello is even read: no answer, no check.
    server.Send(EncodeHello("PC01"));
    server.Send(EncodeLoginRequest({"amy", HidePassword("pw-amy", "amy"), 1}));
    EXPECT_FALSE(server.Next());
    std::string out;
    ASSERT_EQ(Control({"status"}, out), 0);
    EXPECT_NE(out.find("links 0\tlinks refused 1 (address not admitted)"), std::string::npos)
        << out;
  }
}

TEST_F(DaemonTest, IdleConnectionsCannotKeepAnAdmittedServerOut) {
  const uint32_t kServer = testing::Loopback(1);
  // Places taken by idle connections: from another address, from the server's own address,
  // and from as many addresses as there are places.
  const struct {
    const char* what;
    uint32_t first;
    uint32_t addresses;
  } bursts[] = {
      {"from 127.0.0.5", testing::Loopback(5), 1},
      {"from the server's own address", kServer, 1},
      {"from 64 addresses", testing::Loopback(10), static_cast<uint32_t>(kMaxLinks)},
  };
  for (const auto& burst : bursts) {
    SCOPED_TRACE(burst.what);
    Stop();
    Start();
    // A server that linked before the burst keeps its link.
    FakeFtpServer early(daemon_->Port(), testing::Loopback(4));
    early.Greet();
    std::vector<std::unique_ptr<FakeFtpServer>> idle;
    for (size_t i = 0; i < kMaxLinks; ++i) {
      idle.push_back(
          std::make_unique<FakeFtpServer>(daemon_->Port(), burst.first + i % burst.addresses));
    }
    FakeFtpServer server(daemon_->Port(), kServer);
    server.Greet();
    EXPECT_EQ(server.Login("amy", "pw-amy", 1), 1);
    EXPECT_EQ(early.Login("amy", "pw-amy", 2), 1);
    std::string out;
    ASSERT_EQ(Control({"status"}, out), 0);
    EXPECT_EQ(out.find("closed before their hello 0\t"), std::string::npos) << out;
  }
}

TEST_F(DaemonTest, EveryLoginOfABurstIsAnsweredOnceAndOtherLinksAreServedMeanwhile) {
  FakeFtpServer attacker(daemon_->Port(), testing::Loopback(2));
  FakeFtpServer server(daemon_->Port(), testing::Loopback(1));
  attacker.Greet();
  server.Greet();
  ASSERT_EQ(server.Login("amy", "pw-amy", 6), 1);
  constexpr uint32_t kBurst = 400;
  std::vector<uint8_t> burst;
  for (uint32_t i = 0; i < kBurst; ++i) {
    // One name again and again, and a name each: guessing another account's password would
    // close "amy" for the real server too, which is what it is for.
    const std::string user = i % 2 == 0 ? "bob" : "guess" + std::to_string(i);
    const Packet request = EncodeLoginRequest({user, HidePassword("wrong", user), 1000 + i});
    burst.insert(burst.end(), request.begin(), request.end());
  }
  attacker.Send(burst);
  // The other link's packets and its login are answered while the burst is worked off.
  server.Send(EncodeAccessRequest({6, "amy", "/srv", 4}));
  const auto access = server.Next();
  ASSERT_TRUE(access && access->Is(kCategoryItems, kCommandAccessAnswer));
  EXPECT_EQ(server.Login("amy", "pw-amy", 7), 1);
  std::map<uint32_t, int> answered;
  for (uint32_t i = 0; i < kBurst; ++i) {
    const auto answer = attacker.NextLoginAnswer();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->result, 0);
    ++answered[answer->sessionId.value_or(0)];
  }
  EXPECT_EQ(answered.size(), kBurst);
  EXPECT_EQ(answered.begin()->first, 1000u);
  EXPECT_EQ(answered.rbegin()->first, 1000 + kBurst - 1);
  std::string out;
  ASSERT_EQ(Control({"status"}, out), 0);
  EXPECT_NE(out.find("logins 0 accepted, 400 refused ("), std::string::npos) << out;
  EXPECT_NE(out.find("logins 2 accepted, 0 refused (0 throttled, 0 turned away), 0 pending"),
            std::string::npos)
      << out;

  // A link that goes with its checks under way: their answers reach no later link.
  {
    FakeFtpServer gone(daemon_->Port(), testing::Loopback(3));
    gone.Greet();
    gone.Send(std::vector<uint8_t>(burst.begin(), burst.begin() + burst.size() / 25));
  }
  FakeFtpServer next(daemon_->Port(), testing::Loopback(3));
  next.Greet();
  EXPECT_EQ(next.Login("amy", "pw-amy", 8), 1);  // the first answer it gets is its own
}

TEST_F(DaemonTest, TheControlSocketIsMadeOnlyInAFolderOfTheDaemonsOwnUser) {
  namespace fs = std::filesystem;
  Stop();
  daemon_.reset();
  const struct {
    fs::perms mode;
    bool foreign;
    const char* refusal;  // nullptr: the daemon starts
  } cases[] = {
      {fs::perms::owner_all, false, nullptr},
      {fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
           fs::perms::others_read | fs::perms::others_exec,
       false, nullptr},
      {fs::perms::owner_all | fs::perms::group_all, false, "may be written by its group"},
      {fs::perms::all, false, "may be written by other users (mode 0777)"},
      {fs::perms::all | fs::perms::sticky_bit, false, "(mode 1777)"},  // as /tmp
      {fs::perms::owner_all, true, "belongs to user id 65534"},
  };
  for (const auto& c : cases) {
    const std::string folder = folder_ / "sockets";
    fs::create_directory(folder);
    fs::permissions(folder, c.mode);
    if (c.foreign && !ChangeOwner(folder, 65534, 65534)) {
      fs::remove_all(folder);
      continue;  // only root can give a folder away
    }
    DaemonOptions options = options_;
    options.controlSocket = folder + "/control.sock";
    CMServerDaemon daemon(store_, options, nullptr);
    std::string message;
    const bool opened = daemon.Open(message);
    if (c.refusal == nullptr) {
      EXPECT_TRUE(opened) << message;
    } else {
      EXPECT_FALSE(opened) << c.refusal;
      EXPECT_NE(message.find("refusing to create the control socket " + folder), std::string::npos)
          << message;
      EXPECT_NE(message.find(c.refusal), std::string::npos) << message;
      EXPECT_FALSE(fs::exists(options.controlSocket));
    }
    fs::remove_all(folder);
  }
}

TEST(ListenAddress, OnlyDottedAddressesWithAPort) {
  const struct {
    const char* text;
    bool ok;
    uint32_t address;
    uint16_t port;
  } cases[] = {
      {"127.0.0.1:5321", true, 0x7F000001, 5321},
      {"localhost:0", true, 0x7F000001, 0},
      {"10.1.2.3:21", true, 0x0A010203, 21},
      {"127.0.0.1", false, 0, 0},
      {"127.0.0.1:65536", false, 0, 0},
      {"127.0.0.1:-1", false, 0, 0},
      {":5321", false, 0, 0},
      {"host.example:5321", false, 0, 0},
  };
  for (const auto& c : cases) {
    uint32_t address = 0;
    uint16_t port = 0;
    std::string message;
    EXPECT_EQ(ParseListenAddress(c.text, address, port, message), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(address, c.address) << c.text;
    EXPECT_EQ(port, c.port) << c.text;
  }
  EXPECT_TRUE(IsLoopbackAddress(0x7F000001));
  EXPECT_TRUE(IsLoopbackAddress(0x7FFFFFFE));
  EXPECT_FALSE(IsLoopbackAddress(0x80000001));
  EXPECT_FALSE(IsLoopbackAddress(0));
}

}  // namespace
}  // namespace zelm
