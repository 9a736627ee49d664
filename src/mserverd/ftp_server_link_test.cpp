#include "mserverd/ftp_server_link.h"

#include <gtest/gtest.h>

#include "mserver/password_hiding.h"
#include "mserverd/account_store.h"
#include "mserverd/packet_test_util.h"
#include "platform/temp_folder.h"

namespace zelm {
namespace {

constexpr uint32_t kStore = kRightWrite | kRightModify;

class FtpServerLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(store_.Initialise());
    ASSERT_TRUE(store_.AddAccount({"amy", "amy", 1 << 30, 64, 2, kRightAll, true}, "pw-amy"));
    ASSERT_TRUE(store_.AddAccount({"pat", "pat", 0, 0, 0, kRightPerPath, true}, "pw-pat"));
    Rule rules[] = {{0, "pat", "/srv/ftp/pat", kRightRead},
                    {0, "pat", "/srv/ftp/pat/upload", kRightRead | kStore}};
    for (Rule& rule : rules) ASSERT_TRUE(store_.AddRule(rule));
  }

  // Feeds packets; returns what the link answered (and takes it off the link).
  std::vector<ReceivedPacket> Feed(const std::vector<Packet>& packets) {
    for (const Packet& p : packets) EXPECT_TRUE(link_.Receive(p.data(), p.size()));
    return Take();
  }
  std::vector<ReceivedPacket> Take() {
    std::vector<uint8_t> rest;
    auto packets = CutAll(link_.Outgoing(), &rest);
    EXPECT_TRUE(rest.empty());
    link_.DropSent(link_.Outgoing().size());
    return packets;
  }
  void Greet() {
    const auto answers = Feed({EncodeHello("PC01")});
    ASSERT_GE(answers.size(), 2u);
    ASSERT_TRUE(answers[0].Is(kCategoryHello, 1));
    ASSERT_EQ(answers[1].header.category, kCategoryStatusRequest);
    Feed({EncodeStatusRecord({{1, 0, 50, 0, 0, 128}})});
  }
  // Runs the submitted checks against the store, as the daemon's workers would, and hands the
  // verdicts back.
  void RunChecks() {
    std::vector<LoginCheck> checks;
    checks.swap(checks_);
    for (const LoginCheck& check : checks) {
      LoginVerdict verdict{check.link, check.sessionId, check.userName, LoginOutcome::kRefused,
                           store_.CheckLogin(check.userName, check.password)};
      if (verdict.account) verdict.outcome = LoginOutcome::kAccepted;
      link_.OnLoginVerdict(verdict);
    }
  }
  std::optional<LoginAnswer> Login(const std::string& user, const std::string& password,
                                   uint32_t session) {
    const Packet request = EncodeLoginRequest({user, HidePassword(password, user), session});
    EXPECT_TRUE(link_.Receive(request.data(), request.size()));
    RunChecks();
    const auto answers = Take();
    if (answers.size() != 1 || !answers[0].Is(kCategoryItems, kCommandLoginAnswer)) return {};
    return DecodeLoginAnswer(answers[0].Body(), answers[0].BodyLength());
  }
  // The rights answered for a path, or nothing when the request was dropped.
  std::optional<uint32_t> Access(uint32_t session, const std::string& user,
                                 const std::string& path) {
    const auto answers = Feed({EncodeAccessRequest({session, user, path, 4})});
    if (answers.empty()) return std::nullopt;
    EXPECT_TRUE(answers[0].Is(kCategoryItems, kCommandAccessAnswer));
    const auto answer = DecodeAccessAnswer(answers[0].Body(), answers[0].BodyLength());
    EXPECT_TRUE(answer && answer->path == path && answer->target.sessionId == session);
    return answer ? answer->rights : std::nullopt;
  }

  CTempFolder folder_{"link"};
  CAccountStore store_{folder_ / "accounts.db", ScryptParameters{1024, 8, 1}};
  std::vector<std::string> logged_;
  std::vector<LoginCheck> checks_;
  bool queueFull_ = false;
  CFtpServerLink link_{1, "127.0.0.1:4000", store_,
                       [this](const std::string& line) { logged_.push_back(line); },
                       [this](LoginCheck check) {
                         if (queueFull_) return false;
                         checks_.push_back(std::move(check));
                         return true;
                       }};
};

TEST_F(FtpServerLinkTest, NothingButTheHelloIsServedBeforeIt) {
  EXPECT_TRUE(Feed({EncodeLoginRequest({"amy", HidePassword("pw-amy", "amy"), 7})}).empty());
  link_.EndSessions({7u, std::nullopt});
  EXPECT_TRUE(link_.Outgoing().empty());
  EXPECT_EQ(link_.PacketsDropped(), 1u);

  // Every hello is answered (the server repeats it until the answer arrives), but only the
  // first asks for a report.
  const auto first = Feed({EncodeHello("PC01"), EncodeHello("PC01")});
  ASSERT_EQ(first.size(), 3u);
  EXPECT_TRUE(first[0].Is(kCategoryHello, 1));
  EXPECT_EQ(first[1].header.category, kCategoryStatusRequest);
  EXPECT_EQ(first[1].header.kind, kKindFromManagement);
  EXPECT_TRUE(first[2].Is(kCategoryHello, 1));
  EXPECT_EQ(link_.ComputerName(), "PC01");
}

TEST_F(FtpServerLinkTest, ConfigurationTakesUnsetValuesFromTheServersRecord) {
  ASSERT_TRUE(store_.SetConfig({std::nullopt, std::nullopt, "/srv/ftp"}));
  const auto greeting = Feed({EncodeHello("PC01")});
  ASSERT_EQ(greeting.size(), 2u);  // the configuration waits for the record

  const auto answers = Feed({EncodeStatusRecord({{1, 3, 40, 0, 0, 128}})});
  ASSERT_EQ(answers.size(), 1u);
  ASSERT_TRUE(answers[0].Is(kCategoryItems, kCommandConfiguration));
  const auto configuration = DecodeConfiguration(answers[0].Body(), answers[0].BodyLength());
  ASSERT_TRUE(configuration && configuration->record);
  EXPECT_EQ(configuration->record->values[0], 1u);
  EXPECT_EQ(configuration->record->values[2], 40u);
  EXPECT_EQ(configuration->mainPath, "/srv/ftp");
  // The report that follows the configuration does not send it again.
  EXPECT_TRUE(Feed({EncodeStatusRecord({{1, 3, 40, 0, 0, 128}})}).empty());

  // Stored values win, and a push goes out at once once the record is known.
  ASSERT_TRUE(store_.SetConfig({0u, 9u, std::nullopt}));
  link_.PushConfiguration();
  const auto pushed = Take();
  ASSERT_EQ(pushed.size(), 1u);
  const auto second = DecodeConfiguration(pushed[0].Body(), pushed[0].BodyLength());
  EXPECT_EQ(second->record->values[0], 0u);
  EXPECT_EQ(second->record->values[2], 9u);
}

TEST_F(FtpServerLinkTest, NothingIsPushedWhenNoConfigurationIsStored) {
  Greet();
  link_.PushConfiguration();
  EXPECT_TRUE(Take().empty());
}

TEST_F(FtpServerLinkTest, LoginAnswersCarryTheAccountOrAPlainRefusal) {
  Greet();
  const auto accepted = Login("AMY", "pw-amy", 11);  // names ignore case
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->sessionId, 11u);
  EXPECT_EQ(accepted->result, 1);
  ASSERT_TRUE(accepted->parameters);
  EXPECT_EQ(accepted->parameters->quota, 1u << 30);
  EXPECT_EQ(accepted->parameters->bandwidth, 64u);
  EXPECT_EQ(accepted->parameters->sessionLimit, 2u);
  EXPECT_EQ(accepted->parameters->rights, kRightAll);
  EXPECT_EQ(accepted->homeFolder, "amy");

  ASSERT_TRUE(store_.UpdateAccount({"pat", "pat", 0, 0, 0, kRightPerPath, false}, std::nullopt));
  const struct {
    const char* user;
    const char* password;
  } refused[] = {{"amy", "PW-AMY"}, {"amy", ""}, {"nobody", "pw-amy"}, {"pat", "pw-pat"}, {"", ""}};
  uint32_t session = 20;
  for (const auto& c : refused) {
    const auto answer = Login(c.user, c.password, ++session);
    ASSERT_TRUE(answer) << c.user;
    EXPECT_EQ(answer->sessionId, session);
    EXPECT_EQ(answer->result, 0) << c.user << "/" << c.password;
    EXPECT_FALSE(answer->parameters) << "a refusal tells nothing about the account";
    EXPECT_FALSE(answer->homeFolder);
  }
  EXPECT_EQ(link_.LoginsAccepted(), 1u);
  EXPECT_EQ(link_.LoginsRefused(), 5u);
  for (const std::string& line : logged_) EXPECT_EQ(line.find("pw-"), std::string::npos) << line;
}

TEST_F(FtpServerLinkTest, LoginsAreAnsweredByTheirVerdictOnlyWhileTheirSessionWaits) {
  Greet();
  const auto request = [](uint32_t session) {
    return EncodeLoginRequest({"pat", HidePassword("pw-pat", "pat"), session});
  };
  // Nothing is answered until the check is done; the check carries the link and the session.
  EXPECT_TRUE(Feed({request(1), request(2), request(3)}).empty());
  ASSERT_EQ(checks_.size(), 3u);
  EXPECT_EQ(checks_[0].link, 1u);
  EXPECT_EQ(checks_[1].sessionId, 2u);
  EXPECT_EQ(checks_[2].password, "pw-pat");
  EXPECT_EQ(link_.LoginsPending(), 3u);
  const std::vector<LoginCheck> checks = std::move(checks_);
  checks_.clear();
  const auto verdict = [&checks](size_t i, LoginOutcome outcome) {
    const Account pat{"pat", "pat", 0, 0, 0, kRightPerPath, true};
    return LoginVerdict{checks[i].link, checks[i].sessionId, checks[i].userName, outcome,
                        outcome == LoginOutcome::kAccepted ? std::optional(pat) : std::nullopt};
  };

  // A session that closed while its check ran is neither answered nor admitted, and its
  // notice is no stray packet.
  EXPECT_TRUE(Feed({EncodeSessionClosed(1)}).empty());
  link_.OnLoginVerdict(verdict(0, LoginOutcome::kAccepted));
  EXPECT_TRUE(Take().empty());
  EXPECT_FALSE(Access(1, "pat", "/srv/ftp/pat"));
  EXPECT_EQ(link_.PacketsDropped(), 1u);  // the access request only

  // A throttled check is the protocol's one refusal, result 0, and admits nothing.
  link_.OnLoginVerdict(verdict(1, LoginOutcome::kThrottled));
  auto answers = Take();
  ASSERT_EQ(answers.size(), 1u);
  const auto throttled = DecodeLoginAnswer(answers[0].Body(), answers[0].BodyLength());
  EXPECT_EQ(throttled->sessionId, 2u);
  EXPECT_EQ(throttled->result, 0);
  EXPECT_FALSE(throttled->parameters);
  EXPECT_FALSE(Access(2, "pat", "/srv/ftp/pat"));

  link_.OnLoginVerdict(verdict(2, LoginOutcome::kAccepted));
  answers = Take();
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(DecodeLoginAnswer(answers[0].Body(), answers[0].BodyLength())->result, 1);
  EXPECT_EQ(Access(3, "pat", "/srv/ftp/pat"), kRightRead);
  // A second verdict for the same session (a forged or repeated one) finds nobody waiting.
  link_.OnLoginVerdict(verdict(2, LoginOutcome::kAccepted));
  EXPECT_TRUE(Take().empty());
  EXPECT_EQ(link_.LoginsPending(), 0u);

  // A full queue refuses at once, without a check; so do requests that cannot log in at all.
  queueFull_ = true;
  answers = Feed({request(4), EncodeLoginRequest({"pat", "", 5})});
  ASSERT_EQ(answers.size(), 2u);
  for (const auto& answer : answers) {
    EXPECT_EQ(DecodeLoginAnswer(answer.Body(), answer.BodyLength())->result, 0);
  }
  EXPECT_TRUE(checks_.empty());
  EXPECT_EQ(link_.LoginsTurnedAway(), 1u);
  EXPECT_EQ(link_.LoginsThrottled(), 1u);
  EXPECT_EQ(link_.LoginsAccepted(), 1u);
}

TEST_F(FtpServerLinkTest, AccessAnswersFollowTheRulesForAdmittedSessionsOnly) {
  Greet();
  ASSERT_EQ(Login("pat", "pw-pat", 5)->result, 1);
  EXPECT_EQ(Access(5, "pat", "/srv/ftp/pat"), kRightRead);
  EXPECT_EQ(Access(5, "PAT", "/srv/ftp/pat/upload/new"), kRightRead | kStore);
  EXPECT_EQ(Access(5, "", "/srv/ftp/pat/upload"), kRightRead | kStore);
  EXPECT_EQ(Access(5, "pat", "/srv/ftp/other"), 0u) << "no rule answers 0, not silence";

  // Dropped: a session never admitted, another user's name, a refused session.
  EXPECT_FALSE(Access(6, "pat", "/srv/ftp/pat"));
  EXPECT_FALSE(Access(5, "amy", "/srv/ftp/pat"));
  ASSERT_EQ(Login("pat", "wrong", 8)->result, 0);
  EXPECT_FALSE(Access(8, "pat", "/srv/ftp/pat"));

  // An account disabled since its login gets nothing more.
  ASSERT_TRUE(store_.UpdateAccount({"pat", "pat", 0, 0, 0, kRightPerPath, false}, std::nullopt));
  EXPECT_EQ(Access(5, "pat", "/srv/ftp/pat"), 0u);

  // A closed session is forgotten; a notice for a session never seen is dropped.
  const size_t dropped = link_.PacketsDropped();
  EXPECT_TRUE(Feed({EncodeSessionClosed(5), EncodeSessionClosed(999)}).empty());
  EXPECT_EQ(link_.PacketsDropped(), dropped + 1);
  EXPECT_FALSE(Access(5, "pat", "/srv/ftp/pat"));
}

TEST_F(FtpServerLinkTest, StatusReportsListSessionsAndAdoptLoggedInOnes) {
  Greet();
  EXPECT_TRUE(link_.ReportComplete());
  Feed({EncodeStatusRecord({{1, 2, 50, 0, 0, 128}})});
  EXPECT_FALSE(link_.ReportComplete());
  Feed({EncodeSessionStatus({"pat", 41, 30, 0x0100007F, 10, 20, 0}),
        EncodeSessionStatus({"", 42, 0, 0x0100007F, 0, 0, 1})});
  EXPECT_TRUE(link_.ReportComplete());
  EXPECT_EQ(link_.ReportCount(), 2u);
  ASSERT_EQ(link_.ReportedSessions().size(), 2u);
  EXPECT_EQ(DottedAddress(link_.ReportedSessions()[0].peerAddress), "127.0.0.1");

  // A session logged in before this daemon knew the link (it was restarted) gets answers.
  EXPECT_EQ(link_.UserOfSession(41), "pat");
  EXPECT_EQ(Access(41, "pat", "/srv/ftp/pat"), kRightRead);
  EXPECT_FALSE(Access(42, "", "/srv/ftp/pat"));

  Feed({EncodeSessionClosed(42)});
  EXPECT_EQ(link_.ReportedSessions().size(), 1u);
  EXPECT_EQ(link_.CountSessionsOf("PAT"), 1u);
}

TEST_F(FtpServerLinkTest, PacketsSplitAtEveryByteAreAllAnswered) {
  std::vector<uint8_t> stream;
  for (const Packet& p : {EncodeHello("PC01"), EncodeStatusRecord({{1, 0, 50, 0, 0, 0}}),
                          EncodeLoginRequest({"amy", HidePassword("pw-amy", "amy"), 3})}) {
    stream.insert(stream.end(), p.begin(), p.end());
  }
  for (const uint8_t byte : stream) ASSERT_TRUE(link_.Receive(&byte, 1));
  RunChecks();
  const auto answers = Take();
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_TRUE(answers[2].Is(kCategoryItems, kCommandLoginAnswer));
}

TEST_F(FtpServerLinkTest, BytesThatAreNotPacketsCloseTheLinkButBadItemBlocksAreDropped) {
  Greet();
  // A packet whose digest is right but whose item block is not: dropped, the link stays.
  Packet broken = EncodeLoginRequest({"amy", HidePassword("pw-amy", "amy"), 3});
  broken[kPacketBodyOffset + 20] ^= 0xFF;
  StampDigest(broken.data(), static_cast<uint32_t>(broken.size()));
  EXPECT_TRUE(Feed({broken}).empty());
  // Packets of the wrong kind and unknown commands: dropped.
  EXPECT_TRUE(Feed({EncodeHelloAnswer(1), EncodeAccessAnswer({{1u, {}}, "/", 1u})}).empty());
  EXPECT_EQ(link_.PacketsDropped(), 3u);

  Packet forged = EncodeLoginRequest({"amy", HidePassword("pw-amy", "amy"), 3});
  forged.back() ^= 1;  // a padding byte: the digest no longer matches
  EXPECT_FALSE(link_.Receive(forged.data(), forged.size()));
  const uint8_t junk[64] = {1, 2, 3};
  CFtpServerLink other(2, "peer", store_, nullptr, nullptr);
  EXPECT_FALSE(other.Receive(junk, sizeof junk));
}

TEST(LinkTexts, PeerTextIsMadePrintable) {
  EXPECT_EQ(PrintableText("bob\r\n\x1b[2J"), "bob???[2J");
  EXPECT_EQ(PrintableText(std::string(70, 'a')), std::string(64, 'a') + "...");
}

}  // namespace
}  // namespace zelm
