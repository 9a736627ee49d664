#include "server/ftp_listener.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "ftp/session_log.h"
#include "net/service_metrics.h"
#include "platform/clock.h"
#include "platform/temp_folder.h"
#include "server/listener_test_util.h"
#include "server/server_test_fixture.h"
#include "server/settings.h"

namespace zelm {
namespace {

using testing::FtpTestClient;
using testing::kLoopback;
using testing::PeerPacket;
using testing::ScriptedManagementPeer;
using testing::WaitUntil;

using testing::ListenerTest;
using testing::TestAccount;

TEST_F(ListenerTest, GatesBeforeLoginAndInformationalReplies) {
  Start();
  auto client = Connect();
  EXPECT_EQ(client->Command("LIST"), "530 Please login with USER and PASS.\r\n");
  EXPECT_EQ(client->Command("SYST"), "530 Please login with USER and PASS.\r\n");
  EXPECT_EQ(client->Command("RETR"), "530 Please login with USER and PASS.\r\n");
  EXPECT_EQ(client->Command("XYZ"),
            "500 'XYZ': Command syntax error in parameters or arguments\r\n");
  EXPECT_EQ(client->Command("STAT"),
            "500 'STAT': Command syntax error in parameters or arguments\r\n");
  EXPECT_EQ(client->Command("PASS x"), "503 Login with USER first.\r\n");
  EXPECT_EQ(client->Command("help retrieve"), "214 Syntax: RETR <sp> file-name\r\n");
  EXPECT_EQ(client->Command("HELP FEAT"), "501 Unknown command HELP FEAT\r\n");
  const std::string help = client->Command("HELP");
  EXPECT_EQ(std::count(help.begin(), help.end(), '\n'), 42);
  EXPECT_EQ(help.rfind("214 HELP command successful.\r\n"), help.size() - 30);
  EXPECT_EQ(client->Command("QUIT"), "221 Thank you for using Zelmar FTP Service\r\n");
  EXPECT_TRUE(client->IsClosedByServer());
}

TEST_F(ListenerTest, NamedLoginThroughTheManagementServerAndDirectoryCommands) {
  Start();
  auto client = Connect();
  Login(*client, "bob", "secret");
  const auto request = peer_.WaitForCommand(kCategoryItems, kCommandLoginRequest);
  ASSERT_TRUE(request);
  const auto decoded = DecodeLoginRequest(request->body.data(), request->header.bodyLength);
  ASSERT_TRUE(decoded);
  std::string password;
  ASSERT_TRUE(RecoverPassword(decoded->hiddenPassword, "bob", password));
  EXPECT_EQ(password, "secret");
  EXPECT_TRUE(std::filesystem::is_directory(folder_ / "main/bob"));

  EXPECT_EQ(client->Command("PWD"), "257 \"/\" is the current directory.\r\n");
  EXPECT_EQ(client->Command("MKD sub"), "257 \"sub\" Directory created successfully\r\n");
  EXPECT_EQ(client->Command("MKD sub"),
            "550 'sub' cannot be created because it is already exist.\r\n");
  EXPECT_EQ(client->Command("MKD a/b"), "550 'a/b': File name or directory name is invalid\r\n");
  EXPECT_EQ(client->Command("CWD sub"), "250 CWD command successful.\r\n");
  EXPECT_EQ(client->Command("XPWD"), "257 \"/sub/\" is the current directory.\r\n");
  EXPECT_EQ(client->Command("CWD nosuchdir"),
            "550 nosuchdir Cannot find specified directory of file name.\r\n");
  EXPECT_EQ(client->Command("CDUP"), "250 CWD command successful.\r\n");
  EXPECT_EQ(client->Command("CDUP"), "250 CWD command successful.\r\n");
  EXPECT_EQ(client->Command("CWD ../../.."), "250 CWD command successful.\r\n");
  EXPECT_EQ(client->Command("PWD"), "257 \"/\" is the current directory.\r\n");
  EXPECT_EQ(client->Command("XRMD sub"), "250 'XRMD': Command okay.\r\n");
  EXPECT_FALSE(std::filesystem::exists(folder_ / "main/bob/sub"));
  EXPECT_EQ(client->Command("SYST"), "215 Windows_NT\r\n");
  EXPECT_EQ(client->Command("NOOP"), "200 'NOOP': Command okay.\r\n");
  EXPECT_EQ(client->Command("SITE STATS"), "200 'SITE': Command okay.\r\n");
  EXPECT_EQ(client->Command("SITE help").substr(0, 4), "214-");
  EXPECT_EQ(client->Command("FEAT"), "211-Features:\r\n SIZE\r\n REST STREAM\r\n211 End\r\n");
  EXPECT_EQ(client->Command("ACCT x"), "502 ACCT x Command not imlemented\r\n");
  EXPECT_EQ(client->Command("PASS again"), "503 Login with USER first.\r\n");
}

TEST_F(ListenerTest, CommandsSentBackToBackAreAllAnswered) {
  Start();
  auto client = Connect();
  client->SendLine("USER bob\r\nPASS secret");
  EXPECT_EQ(client->ReadReply(), "331 Password required for user bob\r\n");
  EXPECT_EQ(client->ReadReply(), "230 bob user logged in.\r\n");
  client->SendLine("NOOP\r\nPWD\r\nSYST");
  EXPECT_EQ(client->ReadReply(), "200 'NOOP': Command okay.\r\n");
  EXPECT_EQ(client->ReadReply(), "257 \"/\" is the current directory.\r\n");
  EXPECT_EQ(client->ReadReply(), "215 Windows_NT\r\n");
}

TEST_F(ListenerTest, WrongPasswordKeepsTheNameAndTheNextPassIsAccepted) {
  Start();
  auto client = Connect();
  EXPECT_EQ(client->Command("USER bob"), "331 Password required for user bob\r\n");
  EXPECT_EQ(client->Command("PASS wrong"), "530 User (bob) is invalid, or incorrect password\r\n");
  EXPECT_EQ(client->Command("PASS secret"), "230 bob user logged in.\r\n");
}

TEST_F(ListenerTest, AHomeFolderOutsideTheMainPathFailsTheLogin) {
  accounts_["eve"] = {"pw", "../outside"};
  accounts_["mallory"] = {"pw", "/etc"};
  accounts_["trudy"] = {"pw", folder_ / "main"};  // every customer's home at once
  std::filesystem::create_directories(folder_ / "main/other");
  std::filesystem::create_directory_symlink("/etc", folder_ / "main/other/etc");
  accounts_["oscar"] = {"pw", "other/etc"};
  accounts_["carol"] = {"pw", "team\\carol"};
  Start();
  auto client = Connect();
  for (const char* user : {"eve", "mallory", "trudy", "oscar"}) {
    EXPECT_EQ(client->Command(std::string("USER ") + user),
              std::string("331 Password required for user ") + user + "\r\n");
    EXPECT_EQ(client->Command("PASS pw"),
              std::string("530 User (") + user + ") is invalid, or incorrect password\r\n");
  }
  EXPECT_FALSE(std::filesystem::exists(folder_ / "outside"));
  Login(*client, "carol", "pw");
  EXPECT_TRUE(std::filesystem::is_directory(folder_ / "main/team/carol"));
}

TEST_F(ListenerTest, AnonymousIsRefusedAndTheAccountReset) {
  Start();
  auto client = Connect();
  EXPECT_EQ(client->Command("USER Anonymous"),
            "331 Anonymous access allowed, send identity (e-mail name) as password.\r\n");
  EXPECT_EQ(client->Command("PASS me@example.org"),
            "530 Anonymous access is not allowed in this server.\r\n");
  EXPECT_EQ(client->Command("PASS again"), "503 Login with USER first.\r\n");
  for (const PeerPacket& p : peer_.Packets()) {
    EXPECT_FALSE(p.header.category == kCategoryItems && p.header.command == kCommandLoginRequest);
  }
}

TEST_F(ListenerTest, WithoutAManagementServerNamedUsersAreRefusedAtOnce) {
  SetDword("MServer Port", 0);
  testing::RecordingLogSink log;
  Start(false);
  auto client = Connect();
  for (int attempt = 1; attempt <= 12; ++attempt) {
    EXPECT_EQ(client->Command("USER carol"), "331 Password required for user carol\r\n");
    EXPECT_EQ(client->Command("PASS x"), "530 User (carol) is invalid, or incorrect password\r\n")
        << attempt;
    if (attempt == 1) {
      EXPECT_EQ(client->Command("PASS y"), "503 Login with USER first.\r\n");
    }
  }
  // The twelfth failure on one connection ends it.
  EXPECT_EQ(client->ReadReply(), "421 Terminating connection.\r\n");
  EXPECT_TRUE(client->IsClosedByServer());
  // The log says why, each time, and why the connection went.
  EXPECT_EQ(log.Texts(LogPriority::kNotice).size(), 13u);
  EXPECT_TRUE(log.Has(LogPriority::kNotice,
                      "(127.0.0.1)(carol): Login of carol refused: the management link is down"));
  EXPECT_TRUE(log.Has(LogPriority::kNotice, "Connection closed after 12 failed logins"));
}

// Every refused login says why at notice, while the client's reply is the usual one; an
// accepted login is a notice too, and the counters and the round-trip histogram see them.
TEST_F(ListenerTest, RefusedLoginsSayWhyAndAcceptedOnesAreNoticed) {
  CManualClock clock;
  ScopedClockOverride override(clock);
  accounts_["eve"] = {"pw", "../outside"};
  SetDword("Failed Login Delay", 0);  // each refusal answered at once
  testing::RecordingLogSink log;
  const CServiceMetrics::Snapshot before = ServiceMetrics().Read();
  Start();
  auto client = Connect();
  const struct {
    const char* user;
    const char* password;
    const char* reply;
    const char* why;
  } cases[] = {
      {"bob", "wrong", "530 User (bob) is invalid, or incorrect password\r\n",
       "(bob): Login of bob refused: the management server refused the user name or password"},
      {"anonymous", "me@example.org", "530 Anonymous access is not allowed in this server.\r\n",
       "(anonymous): Login of anonymous refused: anonymous logins are not served"},
      {"eve", "pw", "530 User (eve) is invalid, or incorrect password\r\n",
       "(eve): Login of eve refused: the home folder '../outside' is not below the main path"},
  };
  for (const auto& c : cases) {
    client->Command(std::string("USER ") + c.user);
    EXPECT_EQ(client->Command(std::string("PASS ") + c.password), c.reply);
    EXPECT_TRUE(log.Has(LogPriority::kNotice, c.why)) << c.why;
  }
  silent_ = true;
  client->Command("USER bob");
  const size_t asked = peer_.Count();
  client->SendLine("PASS secret");
  ASSERT_TRUE(peer_.WaitForCommand(kCategoryItems, kCommandLoginRequest, asked));
  clock.AdvanceMilliseconds(11'000);
  WakeSessions("bob");
  EXPECT_EQ(client->ReadReply(), "530 User (bob) is invalid, or incorrect password\r\n");
  EXPECT_TRUE(log.Has(LogPriority::kNotice,
                      "Login of bob refused: no answer from the management server within 10 s"));
  silent_ = false;
  EXPECT_EQ(client->Command("PASS secret"), "230 bob user logged in.\r\n");
  EXPECT_TRUE(WaitUntil([&log] {
    return log.Has(LogPriority::kNotice, "(127.0.0.1)(bob): Login of bob accepted from 127.0.0.1");
  }));
  const CServiceMetrics::Snapshot after = ServiceMetrics().Read();
  EXPECT_EQ(after.loginsRefused - before.loginsRefused, 4u);
  EXPECT_EQ(after.loginsAccepted - before.loginsAccepted, 1u);
  // Three requests were answered (bob twice, eve); the silent one and anonymous were not.
  uint64_t answers = 0;
  for (size_t i = 0; i < after.roundTrips.size(); ++i) {
    answers += after.roundTrips[i] - before.roundTrips[i];
  }
  EXPECT_EQ(answers, 3u);
}

TEST_F(ListenerTest, PasswordlessLoginTakesOverTheAccountOfTheSameAddress) {
  Start();
  auto alice = Connect();
  Login(*alice, "alice", "wonderland");
  auto other = Connect();
  EXPECT_EQ(other->Command("USER bob"), "331 Password required for user bob\r\n");
  EXPECT_EQ(other->Command("PASS"), "230 alice user logged in.\r\n");
  EXPECT_EQ(other->Command("MKD shared"), "257 \"shared\" Directory created successfully\r\n");
  EXPECT_TRUE(std::filesystem::is_directory(folder_ / "main/alice/shared"));
}

// Lines sent back to back while a login or rights answer is awaited are answered after it,
// each with its own reply, in order.
TEST_F(ListenerTest, RepliesKeepTheCommandsOrderAcrossAwaitedAnswers) {
  accounts_["bob"].rights = 0x8;  // per path: CWD asks the management server
  std::filesystem::create_directories(folder_ / "main/bob/rw");
  Start();
  auto client = Connect();
  for (const char* line : {"USER bob", "PASS secret", "PWD", "SYST"}) client->SendLine(line);
  EXPECT_EQ(client->ReadReply(), "331 Password required for user bob\r\n");
  EXPECT_EQ(client->ReadReply(), "230 bob user logged in.\r\n");
  EXPECT_EQ(client->ReadReply(), "257 \"/\" is the current directory.\r\n");
  EXPECT_EQ(client->ReadReply(), "215 Windows_NT\r\n");
  const size_t before = peer_.Count();
  for (const char* line : {"CWD rw", "PWD", "NOOP"}) client->SendLine(line);
  const auto request = peer_.WaitForCommand(kCategoryItems, kCommandAccessRequest, before);
  ASSERT_TRUE(request);
  const auto access = DecodeAccessRequest(request->body.data(), request->header.bodyLength);
  ASSERT_TRUE(access);
  peer_.Send(EncodeAccessAnswer({{access->sessionId, std::nullopt}, access->path, 0x1}));
  EXPECT_EQ(client->ReadReply(), "250 CWD command successful.\r\n");
  EXPECT_EQ(client->ReadReply(), "257 \"/rw/\" is the current directory.\r\n");
  EXPECT_EQ(client->ReadReply(), "200 'NOOP': Command okay.\r\n");
}

TEST_F(ListenerTest, LostLoginAnswerIsRefusedAfterTenSeconds) {
  CManualClock clock;
  ScopedClockOverride override(clock);
  silent_ = true;
  Start();
  auto client = Connect();
  EXPECT_EQ(client->Command("USER bob"), "331 Password required for user bob\r\n");
  client->SendLine("PASS secret");
  ASSERT_TRUE(peer_.WaitForCommand(kCategoryItems, kCommandLoginRequest));
  client->SendLine("PWD");  // waits behind the login: replies keep the commands' order
  clock.AdvanceMilliseconds(10'000);
  WakeSessions("bob");
  EXPECT_EQ(client->ReadReply(200), "");
  clock.AdvanceMilliseconds(1'000);
  WakeSessions("bob");
  EXPECT_EQ(client->ReadReply(), "530 User (bob) is invalid, or incorrect password\r\n");
  EXPECT_EQ(client->ReadReply(), "530 Please login with USER and PASS.\r\n");  // the PWD
  silent_ = false;
  EXPECT_EQ(client->Command("PASS secret"), "230 bob user logged in.\r\n");
}

TEST_F(ListenerTest, IdleTimeoutSaysFarewellTwiceAndCloses) {
  CManualClock clock;
  ScopedClockOverride override(clock);
  Start();
  auto client = Connect();
  Login(*client, "bob", "secret");
  EXPECT_EQ(client->Command("NOOP"), "200 'NOOP': Command okay.\r\n");  // activity now
  clock.AdvanceMilliseconds(599'000);
  WakeSessions("bob");
  EXPECT_EQ(client->ReadReply(200), "");
  clock.AdvanceMilliseconds(1'000);
  WakeSessions("bob");
  EXPECT_EQ(client->ReadReply(), "421 Timeout (600 seconds): closing control connection.\r\n");
  EXPECT_EQ(client->ReadReply(), "421 Terminating connection.\r\n");
  EXPECT_TRUE(client->IsClosedByServer());
}

TEST_F(ListenerTest, MaxConnectionRefusesTheThirdClientUntilOneIsReaped) {
  ASSERT_TRUE(SetMaxConnection(2));
  Start();
  auto first = Connect();
  auto second = Connect();
  FtpTestClient third(port_);
  EXPECT_EQ(third.ReadReply(),
            "421-Sorry.. \r\n421-This server has reached the maximum connections allowed at "
            "this moment!\r\n421 Please try connecting again later.\r\n");
  EXPECT_TRUE(third.IsClosedByServer());
  EXPECT_EQ(first->Command("QUIT"), "221 Thank you for using Zelmar FTP Service\r\n");
  EXPECT_TRUE(first->IsClosedByServer());
  ASSERT_TRUE(WaitUntil([this] { return listener_->SessionListSize() == 1; }));
  auto fourth = Connect();
}

TEST_F(ListenerTest, SessionsOfOneHostShareTheLimitAndLoopbackIsOneHost) {
  accounts_["bob"].sessions = 1;
  Start();
  auto a = Connect(kLoopback);
  Login(*a, "bob", "secret");
  auto b = Connect(0x7F000002);  // 127.0.0.2: the same host
  Login(*b, "bob", "secret");
  EXPECT_TRUE(CFtpListener::IsSameHost(0x0100007F, 0x0200007F));
  EXPECT_TRUE(CFtpListener::IsSameHost(0x0500A8C0, 0x0500A8C0));
  EXPECT_FALSE(CFtpListener::IsSameHost(0x0500A8C0, 0x0600A8C0));
  EXPECT_FALSE(CFtpListener::IsSameHost(0x0100007F, 0x0500A8C0));
}

TEST_F(ListenerTest, EndSessionsByIdentifierAndByUserName) {
  Start();
  auto first = Connect();
  Login(*first, "bob", "secret");
  const auto request = peer_.WaitForCommand(kCategoryItems, kCommandLoginRequest);
  ASSERT_TRUE(request);
  const uint32_t firstId =
      DecodeLoginRequest(request->body.data(), request->header.bodyLength)->sessionId;
  auto second = Connect();
  Login(*second, "bob", "secret");
  auto anonymous = Connect();  // has sent no USER: its user name is empty

  // An order with an empty user name names nobody.
  peer_.Send(EncodeEndSessions({std::nullopt, ""}));
  peer_.Send(EncodeEndSessions({firstId, std::nullopt}));
  EXPECT_EQ(first->ReadReply(), "421 Terminating connection.\r\n");
  EXPECT_TRUE(first->IsClosedByServer());
  EXPECT_EQ(second->Command("NOOP"), "200 'NOOP': Command okay.\r\n");
  ASSERT_TRUE(peer_.WaitForCommand(kCategorySessionClosed, 0));

  peer_.Send(EncodeEndSessions({std::nullopt, "BOB"}));
  EXPECT_EQ(second->ReadReply(), "421 Terminating connection.\r\n");
  EXPECT_TRUE(second->IsClosedByServer());
  EXPECT_EQ(anonymous->Command("NOOP"), "530 Please login with USER and PASS.\r\n");
}

TEST_F(ListenerTest, ConfigurationClosesAndReopensTheListener) {
  Start();
  const uint16_t port = listener_->GetListenPort();
  const size_t before = peer_.Count();
  peer_.Send(EncodeConfiguration({ServiceRecord{{0, 0, 7, 0, 0, 0}}, std::nullopt}));
  const auto report = peer_.WaitFor(
      [](const PeerPacket& p) {
        return p.header.command == kCommandStatusFirst &&
               DecodeStatusRecord(p.body.data(), p.header.bodyLength)->values[0] == 0;
      },
      before);
  ASSERT_TRUE(report);
  EXPECT_FALSE(listener_->IsListening());
  ASSERT_TRUE(WaitUntil([] { return GetMaxConnection() == 7; }));

  const std::string main = folder_ / "main2";
  std::filesystem::create_directory(main);
  const std::string roots = folder_.Path();  // the operator's roots: the test's folder
  ASSERT_TRUE(WriteSetting("Main Path Roots", roots.c_str(),
                           static_cast<uint32_t>(roots.size() + 1),
                           SETTING_STRING | SETTING_CREATE));
  peer_.Send(EncodeConfiguration({ServiceRecord{{1, 0, 9, 0, 0, 0}}, main}));
  ASSERT_TRUE(WaitUntil([this] { return listener_->IsListening() && GetMaxConnection() == 9; }));
  EXPECT_EQ(listener_->GetListenPort(), port);
  ASSERT_TRUE(WaitUntil([&] { return GetMainPath() == main; }));
  EXPECT_TRUE(std::filesystem::is_directory(main));
  auto client = Connect();
  Login(*client, "bob", "secret");
  EXPECT_TRUE(std::filesystem::is_directory(folder_ / "main2/bob"));
}

TEST_F(ListenerTest, StatusReportListsTheConnectedSessions) {
  Start();
  auto client = Connect();
  Login(*client, "bob", "secret");
  auto idle = Connect();
  const size_t before = peer_.Count();
  peer_.Send(EncodeStatusRequest());
  const auto record = peer_.WaitForCommand(kCategoryItems, kCommandStatusFirst, before);
  ASSERT_TRUE(record);
  const auto values = DecodeStatusRecord(record->body.data(), record->header.bodyLength);
  ASSERT_TRUE(values);
  EXPECT_EQ(values->values[0], 1u);
  EXPECT_EQ(values->values[1], 2u);
  EXPECT_EQ(values->values[2], 50u);
  EXPECT_EQ(values->values[5], 128u);
  ASSERT_TRUE(WaitUntil([&] {
    size_t sessions = 0;
    for (const PeerPacket& p : peer_.Packets()) {
      if (p.header.command == kCommandStatusSession) ++sessions;
    }
    return sessions == 2;
  }));
  std::vector<SessionStatus> statuses;
  for (const PeerPacket& p : peer_.Packets()) {
    if (p.header.category == kCategoryItems && p.header.command == kCommandStatusSession) {
      statuses.push_back(*DecodeSessionStatus(p.body.data(), p.header.bodyLength));
    }
  }
  EXPECT_EQ(statuses[0].userName, "bob");
  EXPECT_EQ(statuses[0].peerAddress, 0x0100007Fu);
  EXPECT_EQ(statuses[1].userName, "");
  EXPECT_EQ(statuses[1].transferKind, uint32_t{kTransferFresh});
}

TEST_F(ListenerTest, HelloAnswerZeroStopsListeningAndHelloIsRepeated) {
  peer_.helloValue = 0;
  Start(false);
  ASSERT_TRUE(WaitUntil([this] { return !listener_->IsListening(); }));
  EXPECT_FALSE(listener_->Link().IsAcknowledged());
  ASSERT_TRUE(WaitUntil([this] {
    size_t hellos = 0;
    for (const PeerPacket& p : peer_.Packets()) hellos += p.header.category == kCategoryHello;
    return hellos >= 3;
  }));
}

TEST_F(ListenerTest, PerPathRightsAreAskedAndOtherCommandsWaitMeanwhile) {
  accounts_["bob"].rights = 0x8;
  std::filesystem::create_directories(folder_ / "main/bob/sub");
  Start();
  auto client = Connect();
  Login(*client, "bob", "secret");
  client->SendLine("CWD sub");
  const auto request = peer_.WaitForCommand(kCategoryItems, kCommandAccessRequest);
  ASSERT_TRUE(request);
  const auto access = DecodeAccessRequest(request->body.data(), request->header.bodyLength);
  ASSERT_TRUE(access);
  EXPECT_EQ(access->operation, uint32_t{kOpList});
  EXPECT_EQ(access->userName, "bob");
  client->SendLine("RETR X");  // waits: it is answered after the CWD, in order
  EXPECT_EQ(client->ReadReply(200), "");

  peer_.Send(EncodeAccessAnswer({{access->sessionId, std::nullopt}, access->path, 0x1}));
  EXPECT_EQ(client->ReadReply(), "250 CWD command successful.\r\n");
  EXPECT_EQ(client->ReadReply(), "550 X Cannot find specified directory of file name.\r\n");
  EXPECT_EQ(client->Command("PWD"), "257 \"/sub/\" is the current directory.\r\n");
  // An answer decides for its own path only: a folder below is asked about in turn.
  const size_t asked = peer_.Count();
  client->SendLine("MKD deeper");
  const auto deeper = peer_.WaitForCommand(kCategoryItems, kCommandAccessRequest, asked);
  ASSERT_TRUE(deeper);
  const auto deeperAccess = DecodeAccessRequest(deeper->body.data(), deeper->header.bodyLength);
  ASSERT_TRUE(deeperAccess);
  EXPECT_EQ(deeperAccess->path, folder_ / "main/bob/sub/deeper/");
  peer_.Send(EncodeAccessAnswer({{access->sessionId, std::nullopt}, deeperAccess->path, 0x1}));
  EXPECT_EQ(client->ReadReply(), "550 MKD deeper: Access denied.\r\n");
}

TEST_F(ListenerTest, UnansweredRightsQuestionFailsAfterTenSeconds) {
  CManualClock clock;
  ScopedClockOverride override(clock);
  accounts_["bob"].rights = 0x8;
  Start();
  auto client = Connect();
  Login(*client, "bob", "secret");
  client->SendLine("MKD new");
  ASSERT_TRUE(peer_.WaitForCommand(kCategoryItems, kCommandAccessRequest));
  clock.AdvanceMilliseconds(11'000);
  WakeSessions("bob");
  EXPECT_EQ(client->ReadReply(), "500 File action failed.\r\n");
  EXPECT_EQ(client->Command("NOOP"), "200 'NOOP': Command okay.\r\n");
}

TEST_F(ListenerTest, EndlessLineIsAnsweredAndClosedWhileOthersGoOn) {
  Start();
  auto flood = Connect();
  auto other = Connect();
  testing::SendAll(flood->Handle(), std::string(5000, 'A'));
  EXPECT_EQ(flood->ReadReply(), "421 Terminating connection.\r\n");
  EXPECT_TRUE(flood->IsClosedByServer());
  Login(*other, "bob", "secret");
}

TEST_F(ListenerTest, ARestartedListenerGetsItsPortBackAtOnce) {
  Start();
  const uint16_t port = listener_->GetListenPort();
  auto client = Connect();
  Login(*client, "bob", "secret");
  // The server closes first, so its side of the connection waits in TIME_WAIT on the port.
  ASSERT_TRUE(listener_->SetActive(false));
  listener_.reset();
  EXPECT_EQ(client->ReadReply(), "421 Terminating connection.\r\n");
  listener_ = std::make_unique<CFtpListener>();
  listener_->OverrideListenAddress(port, kLoopback);
  ASSERT_TRUE(listener_->StartListening(false));
  EXPECT_EQ(listener_->GetListenPort(), port);
}

TEST_F(ListenerTest, LoggedInSessionsSurviveTheManagementServerGoingAway) {
  Start();
  auto client = Connect();
  Login(*client, "bob", "secret");
  peer_.accepting = false;  // the management server is gone until further notice
  peer_.DropLink();
  ASSERT_TRUE(WaitUntil([this] { return !listener_->Link().IsReady(); }));
  EXPECT_EQ(client->Command("PWD"), "257 \"/\" is the current directory.\r\n");
  auto late = Connect();
  EXPECT_EQ(late->Command("USER alice"), "331 Password required for user alice\r\n");
  EXPECT_EQ(late->Command("PASS wonderland"),
            "530 User (alice) is invalid, or incorrect password\r\n");
  peer_.accepting = true;
  ASSERT_TRUE(WaitUntil([this] { return listener_->Link().IsReady(); }));
  Login(*late, "alice", "wonderland");
}

}  // namespace
}  // namespace zelm
