#include "mserverd/account_store.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/temp_folder.h"

namespace zelm {
namespace {

class AccountStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(store_.Initialise()); }

  CTempFolder folder_{"accounts"};
  // Small scrypt parameters keep the tests quick.
  CAccountStore store_{folder_ / "accounts.db", ScryptParameters{1024, 8, 1}};
};

TEST_F(AccountStoreTest, LoginChecksPasswordAndEnabledFlagWithoutTellingWhichFailed) {
  Account alice{"alice", "alice", 1 << 20, 64, 2, kRightRead, true};
  ASSERT_TRUE(store_.AddAccount(alice, "wonderland"));
  EXPECT_FALSE(store_.AddAccount(alice, "again"));  // names are unique

  const auto ok = store_.CheckLogin("alice", "wonderland");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->home, "alice");
  EXPECT_EQ(ok->quota, 1u << 20);
  EXPECT_TRUE(store_.CheckLogin("ALICE", "wonderland"));  // names ignore case
  EXPECT_FALSE(store_.CheckLogin("alice", "Wonderland"));
  EXPECT_FALSE(store_.CheckLogin("alice", ""));
  EXPECT_FALSE(store_.CheckLogin("bob", "wonderland"));

  alice.enabled = false;
  ASSERT_TRUE(store_.UpdateAccount(alice, std::nullopt));
  EXPECT_FALSE(store_.CheckLogin("alice", "wonderland"));
  alice.enabled = true;
  ASSERT_TRUE(store_.UpdateAccount(alice, std::string("looking-glass")));
  EXPECT_FALSE(store_.CheckLogin("alice", "wonderland"));
  EXPECT_TRUE(store_.CheckLogin("alice", "looking-glass"));

  EXPECT_TRUE(store_.DeleteAccount("Alice"));
  EXPECT_FALSE(store_.DeleteAccount("alice"));
  EXPECT_FALSE(store_.UpdateAccount(alice, std::nullopt));
  EXPECT_FALSE(store_.CheckLogin("alice", "looking-glass"));
}

TEST_F(AccountStoreTest, MostSpecificRuleWins) {
  Rule rules[] = {{0, "amy", "/srv/ftp/amy", kRightRead},
                  {0, "amy", "/srv/ftp/amy/upload/", kRightRead | kRightWrite | kRightModify},
                  {0, "bob", "/srv/ftp", kRightAll}};
  for (Rule& r : rules) ASSERT_TRUE(store_.AddRule(r));
  EXPECT_GT(rules[2].id, rules[0].id);
  const struct {
    const char* user;
    const char* path;
    uint32_t rights;
  } cases[] = {
      {"amy", "/srv/ftp/amy", kRightRead},
      {"amy", "/srv/ftp/amy/docs/a.txt", kRightRead},
      {"amy", "/srv/ftp/amy/upload", kRightRead | kRightWrite | kRightModify},
      {"AMY", "/srv/ftp/amy/upload/x/y", kRightRead | kRightWrite | kRightModify},
      {"amy", "/srv/ftp/amy2", 0},
      {"amy", "/srv/ftp", 0},
      {"bob", "/srv/ftp/amy", kRightAll},
      {"carol", "/srv/ftp", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(store_.RightsFor(c.user, c.path), c.rights) << c.path;
  EXPECT_TRUE(store_.DeleteRule(rules[1].id));
  EXPECT_FALSE(store_.DeleteRule(rules[1].id));
  EXPECT_EQ(store_.RightsFor("amy", "/srv/ftp/amy/upload"), kRightRead);
}

TEST(PathPrefix, ComponentWise) {
  EXPECT_TRUE(PathHasPrefix("/a/b/c", "/a/b"));
  EXPECT_TRUE(PathHasPrefix("/a/b/", "/a/b"));
  EXPECT_TRUE(PathHasPrefix("/a/b", "/a/b/"));
  EXPECT_TRUE(PathHasPrefix("/anything", "/"));
  EXPECT_FALSE(PathHasPrefix("/a/bc", "/a/b"));
  EXPECT_FALSE(PathHasPrefix("/a", "/a/b"));
  EXPECT_FALSE(PathHasPrefix("/a", ""));
}

TEST_F(AccountStoreTest, ConfigKeepsOnlyWhatWasSet) {
  EXPECT_FALSE(store_.GetConfig().active);
  ASSERT_TRUE(store_.SetConfig({1u, std::nullopt, "/srv/ftp"}));
  ASSERT_TRUE(store_.SetConfig({std::nullopt, 20u, std::nullopt}));
  const ServerConfig config = store_.GetConfig();
  EXPECT_EQ(config.active, 1u);
  EXPECT_EQ(config.maxConnection, 20u);
  EXPECT_EQ(config.mainPath, "/srv/ftp");
}

// The operator reads these; the database library's texts ("UNIQUE constraint failed: ...",
// "unable to open database file") never reach them.
TEST(AccountStoreErrors, AreSentencesThatNameTheDatabase) {
  CTempFolder folder("accounts");
  const std::string missing = folder / "no-such-folder/accounts.db";
  CAccountStore nowhere(missing, ScryptParameters{1024, 8, 1});
  EXPECT_FALSE(nowhere.Exists());
  EXPECT_EQ(nowhere.LastError(), "no database at " + missing);
  EXPECT_FALSE(nowhere.Initialise());
  EXPECT_EQ(nowhere.LastError(), "cannot create the database " + missing +
                                     ": its folder is missing or this user may not write it");

  const std::string other = folder / "notes.txt";
  std::ofstream(other) << "not a database, but a text the operator keeps here\n";
  CAccountStore text(other, ScryptParameters{1024, 8, 1});
  EXPECT_FALSE(text.Exists());
  EXPECT_EQ(text.LastError(), other + " is not a zelm-mserver database, or it is damaged");
  EXPECT_FALSE(text.Initialise());
  EXPECT_EQ(text.LastError(), other + " is not a zelm-mserver database, or it is damaged");

  CAccountStore store(folder / "accounts.db", ScryptParameters{1024, 8, 1});
  ASSERT_TRUE(store.Initialise());
  EXPECT_TRUE(store.Exists());
  const Account bob{"bob", "bob", 0, 0, 0, kRightRead, true};
  ASSERT_TRUE(store.AddAccount(bob, "pw"));
  EXPECT_FALSE(store.AddAccount({"Bob", "b", 0, 0, 0, 0, true}, "pw"));
  EXPECT_EQ(store.LastError(), "user Bob exists already");
  EXPECT_FALSE(store.UpdateAccount({"amy", "amy", 0, 0, 0, 0, true}, std::nullopt));
  EXPECT_EQ(store.LastError(), "no user named amy");
}

}  // namespace
}  // namespace zelm
