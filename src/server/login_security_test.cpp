// Logins on a shared LAN: what failed logins cost, slots per address, the login time-out and
// which attempt a management answer admits.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "mserver/messages.h"
#include "platform/clock.h"
#include "server/ftp_listener.h"
#include "server/listener_test_util.h"
#include "server/server_test_fixture.h"
#include "server/settings.h"

namespace zelm::testing {
namespace {

constexpr uint32_t kSecondPc = 0x7F000002;  // 127.0.0.2, host order
constexpr uint32_t kThirdPc = 0x7F000003;
constexpr char kRefused[] = "530 User (bob) is invalid, or incorrect password\r\n";
constexpr char kTooMany[] =
    "421-Sorry.. \r\n421-This server has reached the maximum connections allowed at this "
    "moment!\r\n421 Please try connecting again later.\r\n";

bool WriteTextFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  return static_cast<bool>(out);
}

class LoginSecurityTest : public ListenerTest {
 protected:
  void WakeAll() {
    listener_->Sessions().ForEach([](CFtpSession& s) { s.WakeEventThread(); });
  }
  LoginRequest NextRequest(size_t& from) {
    const auto packet = peer_.WaitForCommand(kCategoryItems, kCommandLoginRequest, from);
    EXPECT_TRUE(packet);
    if (!packet) return {};
    from = peer_.Count();
    const auto request =
        DecodeLoginRequest(packet->body.data(), static_cast<uint32_t>(packet->body.size()));
    EXPECT_TRUE(request);
    return request ? *request : LoginRequest{};
  }
  static LoginAnswer Admit(std::optional<uint32_t> sessionId, std::optional<std::string> name) {
    LoginAnswer answer;
    answer.sessionId = sessionId;
    answer.userName = std::move(name);
    answer.result = 1;
    answer.parameters = AccountParameters{0, 0, 0, 0x100000, 0};
    answer.homeFolder = "bob";
    return answer;
  }
};

// Each failure from an address doubles the wait before that address's next password reply;
// enough failures ban it while other addresses log in as before, and a ban can be lifted.
TEST_F(LoginSecurityTest, FailedLoginsDelayTheNextReplyAndThenBanTheAddress) {
  CManualClock clock;
  ScopedClockOverride useClock(clock);
  SetDword("Ban Failures", 3);
  testing::RecordingLogSink log;
  Start();
  auto guesser = Connect(kSecondPc);
  EXPECT_EQ(guesser->Command("USER bob"), "331 Password required for user bob\r\n");
  EXPECT_EQ(guesser->Command("PASS guess1"), kRefused);  // the first costs nothing
  for (const int64_t waitMs : {1000, 2000}) {
    guesser->SendLine("PASS guess");
    EXPECT_EQ(guesser->ReadReply(300), "") << waitMs;
    clock.AdvanceMilliseconds(waitMs - 1);
    WakeAll();
    EXPECT_EQ(guesser->ReadReply(300), "") << waitMs;
    clock.AdvanceMilliseconds(1);
    WakeAll();
    EXPECT_EQ(guesser->ReadReply(), kRefused) << waitMs;
  }
  // Three failures: the address is banned; a third PC is served at once. The ban is a
  // warning; the refusals of the banned address are one notice however often it calls.
  EXPECT_TRUE(log.Has(LogPriority::kWarning,
                      "(127.0.0.2)(<Not logged>): Address banned for 900 s after 3 failed logins"));
  FtpTestClient refused(listener_->GetListenPort(), kSecondPc);
  EXPECT_EQ(refused.ReadReply(), kTooMany);
  EXPECT_TRUE(refused.IsClosedByServer());
  FtpTestClient again(listener_->GetListenPort(), kSecondPc);
  EXPECT_EQ(again.ReadReply(), kTooMany);
  auto other = Connect(kThirdPc);  // admitted after the refusals: they are logged by now
  Login(*other, "bob", "secret");
  size_t refusals = 0;
  for (const std::string& text : log.Texts(LogPriority::kNotice)) {
    if (text.find("(127.0.0.2)(<Not logged>): Connection refused: the address is banned") == 0) {
      ++refusals;
    }
  }
  EXPECT_EQ(refusals, 1u);
  const auto bans = listener_->Guard().ListBans(MonotonicMilliseconds());
  ASSERT_EQ(bans.size(), 1u);
  EXPECT_EQ(bans[0].address, HostToNetwork32(kSecondPc));
  EXPECT_EQ(bans[0].untilMs - MonotonicMilliseconds(), 900'000);
  EXPECT_TRUE(listener_->Guard().Lift(HostToNetwork32(kSecondPc)));
  auto back = Connect(kSecondPc);
  Login(*back, "bob", "secret");  // no delay after the lift
}

// Refusals by the management server count toward the connection's limit: no number of
// guesses on one connection ends in a login.
TEST_F(LoginSecurityTest, RefusedPasswordsCloseTheConnectionAfterTheLimit) {
  SetDword("Failed Login Delay", 0);
  SetDword("Ban Failures", 0);
  Start();
  auto client = Connect();
  EXPECT_EQ(client->Command("USER bob"), "331 Password required for user bob\r\n");
  int refusals = 0;
  while (refusals < 40 && client->Command("PASS wrong") == kRefused) ++refusals;
  EXPECT_EQ(refusals, static_cast<int>(kMaxFailedLogins) + 2);
  EXPECT_TRUE(client->IsClosedByServer());
}

TEST_F(LoginSecurityTest, ConnectionsPerAddressAreCappedAndOthersStillGetIn) {
  SetDword("Max Connection Per IP", 2);
  Start();
  auto first = Connect(kSecondPc);
  auto second = Connect(kSecondPc);
  FtpTestClient third(listener_->GetListenPort(), kSecondPc);
  EXPECT_EQ(third.ReadReply(), kTooMany);
  EXPECT_TRUE(third.IsClosedByServer());
  auto elsewhere = Connect(kThirdPc);
  Login(*elsewhere, "bob", "secret");
}

// The login time-out runs from the greeting; commands refused before a login do not move it.
TEST_F(LoginSecurityTest, ALoginTimeOutThatRefusedCommandsDoNotExtend) {
  CManualClock clock;
  ScopedClockOverride useClock(clock);
  Start();
  auto idle = Connect();
  auto customer = Connect(kSecondPc);
  Login(*customer, "bob", "secret");
  clock.AdvanceMilliseconds(29'000);
  EXPECT_EQ(idle->Command("NOOP"), "530 Please login with USER and PASS.\r\n");
  clock.AdvanceMilliseconds(1'000);
  WakeAll();
  EXPECT_EQ(idle->ReadReply(), "421 Timeout (30 seconds): closing control connection.\r\n");
  EXPECT_EQ(idle->ReadReply(), "421 Terminating connection.\r\n");
  EXPECT_TRUE(idle->IsClosedByServer());
  EXPECT_EQ(customer->Command("NOOP"), "200 'NOOP': Command okay.\r\n");  // logged in: stays
}

// An answer that arrives after its attempt gave up names no live attempt; an answer by user
// name admits the oldest waiting attempt of that user and no other.
TEST_F(LoginSecurityTest, LateAndByNameAnswersAdmitOnlyTheAttemptTheyWereFor) {
  CManualClock clock;
  ScopedClockOverride useClock(clock);
  silent_ = true;
  Start();
  size_t from = 0;
  auto client = Connect();
  EXPECT_EQ(client->Command("USER bob"), "331 Password required for user bob\r\n");
  client->SendLine("PASS secret");
  const LoginRequest bob = NextRequest(from);
  clock.AdvanceMilliseconds(11'000);
  WakeAll();
  EXPECT_EQ(client->ReadReply(), kRefused);
  EXPECT_EQ(client->Command("USER eve"), "331 Password required for user eve\r\n");
  client->SendLine("PASS wrong");
  const LoginRequest eve = NextRequest(from);
  EXPECT_NE(eve.sessionId, bob.sessionId);
  peer_.Send(EncodeLoginAnswer(Admit(bob.sessionId, std::nullopt)));  // bob's, late
  client->SendLine("PWD");  // held behind eve's attempt, which nothing admitted
  EXPECT_EQ(client->ReadReply(500), "");

  auto first = Connect(kSecondPc);
  auto second = Connect(kThirdPc);
  for (auto* pc : {first.get(), second.get()}) {
    EXPECT_EQ(pc->Command("USER bob"), "331 Password required for user bob\r\n");
    pc->SendLine("PASS whatever");
    NextRequest(from);
  }
  peer_.Send(EncodeLoginAnswer(Admit(std::nullopt, "bob")));
  EXPECT_EQ(first->ReadReply(), "230 bob user logged in.\r\n");
  second->SendLine("PWD");
  EXPECT_EQ(second->ReadReply(500), "");  // still waiting for its own answer: nothing admitted
}

TEST_F(LoginSecurityTest, SameAddressLoginWithoutPasswordCanBeTurnedOff) {
  SetDword("Same Address Login", 0);
  Start();
  auto bob = Connect();
  Login(*bob, "bob", "secret");
  auto other = Connect();
  EXPECT_EQ(other->Command("USER bob"), "331 Password required for user bob\r\n");
  EXPECT_EQ(other->Command("PASS"), kRefused);
}

// A new login starts clean: no rename source from another home, no data port of before.
TEST_F(LoginSecurityTest, RenameSourceAndDataPortDoNotSurviveANewLogin) {
  Start();
  auto client = Connect();
  Login(*client, "bob", "secret");
  ASSERT_TRUE(WriteTextFile(folder_ / "main/bob/secret.txt", "bob's"));
  EXPECT_EQ(client->Command("RNFR secret.txt").substr(0, 4), "350 ");
  LoopbackListener dataPort;
  EXPECT_EQ(client
                ->Command("PORT 127,0,0,1," + std::to_string(dataPort.port >> 8) + "," +
                          std::to_string(dataPort.port & 0xFF))
                .substr(0, 4),
            "200 ");
  EXPECT_EQ(client->Command("REIN"), "220 Service ready for new user.\r\n");
  Login(*client, "alice", "wonderland");
  EXPECT_EQ(client->Command("RNTO stolen.txt").substr(0, 4), "503 ");
  EXPECT_TRUE(std::filesystem::exists(folder_ / "main/bob/secret.txt"));
  EXPECT_FALSE(std::filesystem::exists(folder_ / "main/alice/stolen.txt"));
  client->SendLine("LIST");
  EXPECT_NE(client->ReadReply().substr(0, 4), "150 ");
  int error = 0;
  EXPECT_EQ(WaitReadable(dataPort.handle, 300, error), 0);  // nothing connected to the old port
}

}  // namespace
}  // namespace zelm::testing
