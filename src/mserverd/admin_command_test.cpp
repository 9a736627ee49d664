#include "mserverd/admin_command.h"

#include <gtest/gtest.h>

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
    return RunAdminCommand(
        store_, args,
        [&](bool) {
          passwordAsked_ = true;
          return password;
        },
        out_, err_);
  }

  CTempFolder folder_{"admin"};
  CAccountStore store_{folder_ / "accounts.db", ScryptParameters{1024, 8, 1}};
  std::ostringstream out_;
  std::ostringstream err_;
  bool passwordAsked_ = false;
};

TEST_F(AdminCommandTest, UsersRulesAndConfig) {
  EXPECT_EQ(Run({"user", "add", "demo", "--password-stdin", "--home", "demo", "--quota",
                 "1073741824", "--rights", "all"}),
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
