#include "ftp/ftp_session.h"

#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ftp/session_log.h"
#include "ftp/session_owner.h"
#include "platform/temp_folder.h"

namespace zelm {
namespace {

// The replies a session sent, read from the command log (a session without a connection
// still logs its error replies).
class CReplyLog final : public CLogSink {
 public:
  CReplyLog() {
    SetJournalLogging(false);
    SetLogSink(this);
  }
  ~CReplyLog() override {
    SetLogSink(nullptr);
    SetJournalLogging(true);
  }
  void AddLog(const LogRecord& record) override {
    std::lock_guard lock(mutex_);
    entries_.push_back(record.text);
  }
  // Whether an entry since the last `Clear` starts with `prefix`.
  bool Has(const std::string& prefix) {
    std::lock_guard lock(mutex_);
    for (const std::string& entry : entries_) {
      if (entry.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }
  // Whether any entry since the last `Clear` contains `text`.
  bool Mentions(const std::string& text) {
    std::lock_guard lock(mutex_);
    for (const std::string& entry : entries_) {
      if (entry.find(text) != std::string::npos) return true;
    }
    return false;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> entries_;
};

// Logs in every user with a password into a scratch home; a user without one takes over the
// login of `takeoverFrom` when that session is logged in.
class CTestOwner final : public CSessionOwner {
 public:
  int ValidateLogin(CFtpSession& session) override {
    if (session.GetAccount().password.empty()) {
      if (takeoverFrom == nullptr || !takeoverFrom->IsLoggedIn()) return kLoginRefused;
      session.CopyAccountFrom(*takeoverFrom);
      return kLoginAccepted;
    }
    AccountUpdate update;  // as the management router fills it
    update.limits = AccountLimits{0, 77, 0, kRightsRead | kRightsWrite};
    update.homeFolder = home.Path();
    session.ApplyAccountUpdate(0, update);
    return kLoginAccepted;
  }
  bool CheckSessionLimit(CFtpSession&, uint32_t, bool) override { return true; }
  bool RequestPathAccess(CFtpSession&, const std::string&, uint32_t) override { return false; }
  void OnSessionClosed(CFtpSession&) override {}
  std::string GetQuitText() override { return "bye"; }
  ShortcutContext GetShortcutContext() override { return {}; }

  CTempFolder home{"session"};
  CFtpSession* takeoverFrom = nullptr;
};

void Feed(CFtpSession& session, std::string line) {
  line += "\r\n";
  size_t consumed = 0;
  session.OnReceiveData(reinterpret_cast<uint8_t*>(line.data()), line.size(), consumed);
}

TEST(SessionGates, EveryCommandRunsOnlyWhereItsGatesLetIt) {
  const struct {
    const char* line;
    bool beforeLogin;
    bool whileBusy;
  } cases[] = {
      {"USER u", true, false},  {"PASS p", true, false},  {"ACCT a", false, false},
      {"REIN", true, true},     {"QUIT", true, true},     {"PORT 127,0,0,1,4,1", true, false},
      {"PASV", false, false},   {"TYPE I", false, true},  {"STRU F", false, false},
      {"MODE S", false, true},  {"RETR f", false, false}, {"STOR f", false, false},
      {"APPE f", false, false}, {"REST 5", false, false}, {"RNFR f", false, false},
      {"RNTO g", false, false}, {"ABOR", false, true},    {"DELE f", false, false},
      {"LIST", false, false},   {"NLST", false, false},   {"SIZE f", false, false},
      {"SITE x", false, false}, {"HELP", true, true},     {"NOOP", false, false},
      {"CWD /", false, false},  {"XCWD /", false, false}, {"CDUP", false, false},
      {"XCUP", false, false},   {"PWD", false, false},    {"XPWD", false, false},
      {"STOU", false, false},   {"RMD d", false, false},  {"XRMD d", false, false},
      {"MKD d", false, false},  {"XMKD d", false, false}, {"SYST", false, false},
      {"FEAT", false, false},
  };
  CReplyLog log;
  CTestOwner owner;
  std::set<FtpCommandId> covered;
  for (const auto& c : cases) {
    CFtpCommand parsed;
    ASSERT_TRUE(parsed.Parse(std::string(c.line) + "\r\n")) << c.line;
    covered.insert(parsed.def.id);
    // Before the login; then while busy, before and after the login. The busy gate comes
    // first: it answers 530 before the login and 501 after it.
    for (const bool loggedIn : {false, true}) {
      for (const bool busy : {false, true}) {
        if (!busy && loggedIn) continue;
        CFtpSession session(&owner, 1);
        session.SetFlags(kFlagGreeted);
        Feed(session, "USER u");  // so that a refused PASS is answered too
        if (loggedIn) {
          Feed(session, "PASS p");
          ASSERT_TRUE(session.IsLoggedIn());
        }
        if (busy) session.SetFlags(kFlagBusy);
        log.Clear();
        Feed(session, c.line);
        const bool refused = (busy && !c.whileBusy) || (!loggedIn && !c.beforeLogin);
        const bool refusedBusy = busy && !c.whileBusy && loggedIn;
        EXPECT_EQ(log.Has("530 "), refused && !refusedBusy)
            << c.line << " logged in " << loggedIn << " busy " << busy;
        EXPECT_EQ(log.Has("501 "), refusedBusy)
            << c.line << " logged in " << loggedIn << " busy " << busy;
        EXPECT_EQ(log.Has("Connection Waiting"), busy) << c.line;
      }
    }
  }
  size_t rows = 0;  // the original table's (the extensions' and TLS rows need their switches)
  for (const FtpCommandDef* row = kFtpCommands; row->id != 0; ++row) {
    if ((row->gates & (kGateExtension | kGateTls)) == 0) ++rows;
  }
  EXPECT_EQ(covered.size(), rows) << "a row without a case here";
}

TEST(SessionAccount, PublishedCopyFollowsTheLoginAndATakeoverCopiesIt) {
  CReplyLog log;
  CTestOwner owner;
  CFtpSession first(&owner, 1);
  first.SetFlags(kFlagGreeted);
  Feed(first, "USER anna");
  EXPECT_EQ(first.GetUserName(), "anna");
  // The owner fills the record during PASS; other threads see it once the line is done.
  Feed(first, "PASS secret");
  ASSERT_TRUE(first.IsLoggedIn());
  EXPECT_EQ(first.GetBandwidthLimit(), 77u);

  CFtpSession second(&owner, 2);
  second.SetFlags(kFlagGreeted);
  owner.takeoverFrom = &first;
  Feed(second, "USER anna");
  Feed(second, "PASS");
  ASSERT_TRUE(second.IsLoggedIn());
  EXPECT_EQ(second.GetAccount().fileSystem.GetHomePath(), owner.home.Path());
  EXPECT_EQ(second.GetAccount().rights, kRightsRead | kRightsWrite);
  EXPECT_EQ(second.GetAccount().password, "secret");
  EXPECT_EQ(second.GetBandwidthLimit(), 77u);
  EXPECT_EQ(second.GetUserName(), "anna");

  // REIN logs out: nothing of the login stays visible.
  Feed(first, "REIN");
  EXPECT_FALSE(first.IsLoggedIn());
  EXPECT_EQ(first.GetUserName(), "");
  EXPECT_EQ(first.GetBandwidthLimit(), 0u);
}

// Whatever shape a password line has, neither the log nor the reply that quotes it shows it.
TEST(SessionLogin, APasswordLineIsMaskedInEveryShape) {
  CReplyLog log;
  CTestOwner owner;
  for (const std::string& line : {std::string("PASS se\0cret", 13), std::string("pass secret\rx"),
                                  std::string("PASSsecret"), std::string("PASS  secret")}) {
    CFtpSession session(&owner, 1);
    session.SetFlags(kFlagGreeted);
    Feed(session, "USER anna");
    log.Clear();
    Feed(session, line);
    EXPECT_FALSE(log.Mentions("secret")) << line;
    EXPECT_FALSE(log.Mentions("cret")) << line;
    EXPECT_TRUE(log.Has("PASS ******")) << line;
  }
}

}  // namespace
}  // namespace zelm
