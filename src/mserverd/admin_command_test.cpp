#include "mserverd/admin_command.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "mserverd/account_store.h"
#include "platform/temp_folder.h"

namespace zelm {
namespace {

class AdminCommandTest : public ::testing::Test {
 protected:
  int Run(std::vector<std::string> args, std::optional<std::string> password = "pw") {
    out_.str("");
    err_.str("");
    passwordAsked_ = false;
    created_ = false;
    return RunAdminCommand(
        store_, args,
        [&](bool) {
          passwordAsked_ = true;
          return password;
        },
        out_, err_, [&] { created_ = true; });
  }

  CTempFolder folder_{"admin"};
  CAccountStore store_{folder_ / "accounts.db", ScryptParameters{1024, 8, 1}};
  std::ostringstream out_;
  std::ostringstream err_;
  bool passwordAsked_ = false;
  bool created_ = false;  // the hook before the database is created ran
};

TEST_F(AdminCommandTest, UsersRulesAndConfig) {
  EXPECT_EQ(Run({"user", "add", "demo", "--password-stdin", "--home", "demo", "--quota", "1G",
                 "--rights", "all"}),
            0);
  EXPECT_TRUE(passwordAsked_);
  EXPECT_EQ(Run({"user", "add", "amy", "--home", "amy", "--rights", "perpath", "--sessions", "1"},
                "secret"),
            0);
  EXPECT_TRUE(store_.CheckLogin("demo", "pw"));
  EXPECT_TRUE(store_.CheckLogin("amy", "secret"));

  EXPECT_EQ(Run({"user", "set", "demo", "--bandwidth", "64", "--disable"}), 0);
  EXPECT_FALSE(passwordAsked_);  // no new password unless asked for
  EXPECT_FALSE(store_.CheckLogin("demo", "pw"));
  EXPECT_EQ(store_.FindAccount("demo")->bandwidth, 64u);

  EXPECT_EQ(Run({"user", "list"}), 0);
  EXPECT_EQ(out_.str(),
            "amy\thome=amy\tquota=0\tbandwidth=0\tsessions=1\trights=perpath\n"
            "demo\thome=demo\tquota=1073741824\tbandwidth=64\tsessions=0\trights=all\tdisabled\n");

  EXPECT_EQ(Run({"rule", "add", "amy", "/srv/ftp/amy", "list,download"}), 0);
  EXPECT_EQ(out_.str(), "1\n");
  EXPECT_EQ(Run({"rule", "list"}), 0);
  EXPECT_EQ(out_.str(), "1\tamy\t/srv/ftp/amy\tlist,download\n");
  EXPECT_EQ(Run({"rule", "del", "1"}), 0);
  EXPECT_EQ(Run({"rule", "del", "1"}), 1);

  EXPECT_EQ(Run({"config", "set", "--active", "1", "--main-path", "/srv/ftp"}), 0);
  EXPECT_EQ(Run({"config", "show"}), 0);
  EXPECT_EQ(out_.str(), "active\t1\nmain-path\t/srv/ftp\n");

  EXPECT_EQ(Run({"user", "del", "amy"}), 0);
  EXPECT_EQ(Run({"user", "del", "amy"}), 1);
  EXPECT_EQ(Run({"user", "set", "nobody", "--quota", "1"}), 1);
}

TEST_F(AdminCommandTest, BadInputExitsWith2) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frob"},
      {"user"},
      {"user", "add", "x"},                                     // no --home
      {"user", "add", "", "--home", "h"},                       // empty name
      {"user", "add", "x", "--home"},                           // option without value
      {"user", "add", "x", "--home", "h", "--quota", "-5"},     // bad number
      {"user", "add", "x", "--home", "h", "--rights", "fly"},   // unknown right
      {"user", "add", "x", "--home", "h", "--password", "pw"},  // never on the command line
      {"user", "set", "x", "--frob"},
      {"rule", "add", "amy", "/x"},
      {"rule", "add", "amy", "/x", "sing"},
      {"rule", "del", "one"},
      {"config", "set"},
      {"config", "set", "--active", "2"},
      {"config", "set", "--max-connection", "many"},
  };
  for (const auto& args : cases) {
    EXPECT_EQ(Run(args), 2) << (args.empty() ? "(none)" : args.back());
    EXPECT_FALSE(err_.str().empty());
  }
  EXPECT_EQ(Run({"user", "add", "x", "--home", "h"}, std::nullopt), 2);  // no password given
  EXPECT_TRUE(store_.ListAccounts().empty());
}

// What cannot work as an account is refused before the database is touched.
TEST_F(AdminCommandTest, AccountsThatCannotWorkAreRefused) {
  const struct {
    std::string name;
    std::string home;
    std::optional<std::string> password;
    const char* says;
  } cases[] = {
      {"bob", "../../etc", "pw", "climb"},
      {"bob", "a/../../b", "pw", "climb"},
      {"bob", "a\\..\\..\\x", "pw", "climb"},
      {"bob", "..", "pw", "climb"},
      {"bob", "./bob", "pw", "climb"},
      {"bob", "/etc", "pw", "not absolute"},
      {"bob", "\\srv\\bob", "pw", "not absolute"},
      {"bob", "C:\\bob", "pw", "not absolute"},
      {"bob", "bo\nb", "pw", "control characters"},
      {"anonymous", "anon", "pw", "anonymous login"},
      {"AnonYmous", "anon", "pw", "anonymous login"},
      {std::string(kMaxAccountName + 1, 'b'), "bob", "pw", "at most 64 bytes"},
      {"bob\r", "bob", "pw", "control characters"},
      {"bob ", "bob", "pw", "blank"},
      {" bob", "bob", "pw", "blank"},
      {"bob", "bob", "", "no password"},
      {"bob", "bob", std::nullopt, "no password"},
      {"bob", "bob", std::string(kMaxAccountPassword + 1, 'p'), "1 to 128 bytes"},
      {"bob", "bob", std::string("p\0w", 3), "no zero byte"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + " " + c.home);
    EXPECT_EQ(Run({"user", "add", c.name, "--home", c.home}, c.password), 2);
    EXPECT_NE(err_.str().find(c.says), std::string::npos) << err_.str();
    EXPECT_FALSE(created_);
  }
  EXPECT_FALSE(std::filesystem::exists(folder_ / "accounts.db"));
  // At the limits, and "user set" checks the home too.
  EXPECT_EQ(Run({"user", "add", std::string(kMaxAccountName, 'b'), "--home", "staff\\b..b"},
                std::string(kMaxAccountPassword, 'p')),
            0)
      << err_.str();
  EXPECT_TRUE(
      store_.CheckLogin(std::string(kMaxAccountName, 'b'), std::string(kMaxAccountPassword, 'p')));
  EXPECT_EQ(Run({"user", "set", std::string(kMaxAccountName, 'b'), "--home", "../x"}), 2);
  EXPECT_EQ(store_.FindAccount(std::string(kMaxAccountName, 'b'))->home, "staff\\b..b");
}

TEST_F(AdminCommandTest, StoreRefusalsAreSentences) {
  ASSERT_EQ(Run({"user", "add", "bob", "--home", "bob"}), 0);
  EXPECT_EQ(Run({"user", "add", "BOB", "--home", "other"}), 1);
  EXPECT_EQ(err_.str(), "zelm-mserver: user BOB exists already\n");
  EXPECT_EQ(Run({"user", "del", "amy"}), 1);
  EXPECT_EQ(err_.str(), "zelm-mserver: no user named amy\n");
  EXPECT_EQ(Run({"rule", "del", "9"}), 1);
  EXPECT_EQ(err_.str(), "zelm-mserver: no rule 9\n");
  // A rule is for a user who exists.
  EXPECT_EQ(Run({"rule", "add", "amy", "/srv/amy", "all"}), 1);
  EXPECT_NE(err_.str().find("no user named amy"), std::string::npos) << err_.str();
  EXPECT_TRUE(store_.ListRules().empty());
  EXPECT_EQ(Run({"rule", "add", "Bob", "/srv/bob", "all"}), 0);
}

// A mistyped database path leaves nothing behind: only "user add" and "config set" create it.
TEST_F(AdminCommandTest, CommandsThatDoNotAddNeverCreateTheDatabase) {
  const std::vector<std::vector<std::string>> cases = {
      {"user", "list"},
      {"rule", "list"},
      {"config", "show"},
      {"user", "del", "bob"},
      {"user", "set", "bob", "--quota", "1"},
      {"rule", "add", "bob", "/srv/bob", "all"},
      {"rule", "del", "1"},
  };
  for (const auto& args : cases) {
    EXPECT_EQ(Run(args), 1) << args[0] << " " << args[1];
    EXPECT_FALSE(created_) << args[0] << " " << args[1];
    EXPECT_EQ(err_.str(), "zelm-mserver: no database at " + (folder_ / "accounts.db") + "\n");
  }
  EXPECT_FALSE(std::filesystem::exists(folder_ / "accounts.db"));
  EXPECT_EQ(Run({"config", "set", "--active", "1"}), 0);
  EXPECT_TRUE(created_);
}

TEST_F(AdminCommandTest, HelpNamesTheUnitsAndTouchesNothing) {
  const struct {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"user", "add", "--help"}, "5G = 5 GiB = 5368709120"},
      {{"user", "add", "bob", "--home", "x", "-h"}, "KiB/s"},
      {{"user", "set", "--help"}, "--disable"},
      {{"user", "--help"}, "user list"},
      {{"rule", "add", "--help"}, "most specific rule"},
      {{"config", "set", "--help"}, "--main-path P"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Run(c.args), 0) << c.args[1];
    EXPECT_NE(out_.str().find(c.says), std::string::npos) << out_.str();
    EXPECT_FALSE(created_);
  }
  EXPECT_FALSE(passwordAsked_);
  EXPECT_FALSE(std::filesystem::exists(folder_ / "accounts.db"));
}

TEST(ByteCounts, SuffixesAreBinaryMultiples) {
  const struct {
    const char* text;
    std::optional<uint64_t> bytes;
  } cases[] = {
      {"0", 0},
      {"1073741824", 1073741824},
      {"10K", 10240},
      {"500M", 500ull << 20},
      {"5G", 5368709120ull},
      {"5g", 5368709120ull},
      {"5GiB", 5368709120ull},
      {"2t", 2ull << 40},
      {"16777215T", 16777215ull << 40},
      {"16777216T", std::nullopt},  // 2^64: does not fit
      {"18446744073709551616", std::nullopt},
      {"", std::nullopt},
      {"G", std::nullopt},
      {"5X", std::nullopt},
      {"5 G", std::nullopt},
      {"5GB", std::nullopt},
      {"-1", std::nullopt},
      {"1.5G", std::nullopt},
  };
  for (const auto& c : cases) {
    uint64_t bytes = 7;
    EXPECT_EQ(ParseByteCount(c.text, bytes), c.bytes.has_value()) << c.text;
    if (c.bytes) {
      EXPECT_EQ(bytes, *c.bytes) << c.text;
    }
  }
}

TEST(Rights, NamesAndNumbers) {
  uint32_t rights = 0;
  EXPECT_TRUE(ParseRights("list,download", rights));
  EXPECT_EQ(rights, kRightRead);
  EXPECT_TRUE(ParseRights("upload", rights));
  EXPECT_EQ(rights, kRightWrite | kRightModify);
  EXPECT_TRUE(ParseRights("7", rights));
  EXPECT_EQ(rights, 7u);
  EXPECT_FALSE(ParseRights("list,", rights));
  EXPECT_FALSE(ParseRights("", rights));
  EXPECT_EQ(RightsText(0), "none");
  EXPECT_EQ(RightsText(kRightAll | kRightPerPath), "all,perpath");
}

}  // namespace
}  // namespace zelm
