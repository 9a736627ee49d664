#include "server/link_trust.h"

#include <gtest/gtest.h>

#include "platform/files.h"
#include "server/settings.h"
#include "vfs/file_helpers.h"
#include "vfs/test_tree.h"

namespace zelm {
namespace {

// A tree with the operator's root "srv" (holding "cafe" and the settings folder "state"),
// a folder outside it, and a link from inside the root to the outside.
class LinkTrustTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* folder : {"srv", "srv/cafe", "srv/state", "srv/state/ftp", "outside"}) {
      tree_.MakeDirectory(folder);
    }
    ASSERT_TRUE(CreateSymbolicLink(tree_.Path("outside"), tree_.Path("srv/escape")));
    UseSettingsStore(tree_.Path("srv/state/settings.db"));
    roots_ = {tree_.Path("srv")};
    drives_ = [this](char drive) { return drive == 'D' ? tree_.Path("srv") : std::string(); };
  }
  void TearDown() override { UseSettingsStore(""); }

  MainPathVerdict Check(const std::string& text) {
    std::string folder;
    return CheckMainPath(text, drives_, roots_, ProtectedDataFolders(), folder);
  }

  TestTree tree_;
  std::vector<std::string> roots_;
  DriveLookup drives_;
};

TEST_F(LinkTrustTest, ANewMainPathMustBeAnExistingFolderBelowTheRootsAndNoSystemFolder) {
  using V = MainPathVerdict;
  const struct {
    std::string text;
    MainPathVerdict verdict;
  } cases[] = {
      {tree_.Path("srv/cafe"), V::kAccepted},
      {"D:\\cafe", V::kAccepted},
      {tree_.Path("srv"), V::kSystemFolder},        // a root, but it holds the settings folder
      {tree_.Path("srv/state/ftp"), V::kAccepted},  // below the settings folder: no data there
      {"/", V::kSystemFolder},
      {"/etc", V::kSystemFolder},
      {"/etc/ssl", V::kSystemFolder},
      {"/usr/share", V::kSystemFolder},
      {"/lib64", V::kSystemFolder},
      {"/proc/self/root", V::kSystemFolder},
      {tree_.Path("srv/state"), V::kSystemFolder},  // the settings themselves
      {tree_.Path("srv/cafe/../state"), V::kSystemFolder},
      {tree_.Path("outside"), V::kOutsideRoots},
      {tree_.Path("srv/escape"), V::kOutsideRoots},  // a link out of the root
      {tree_.Path("srv/missing"), V::kMissing},      // nothing is created for it
      {"E:\\cafe", V::kNoLinuxForm},
      {"cafe", V::kNoLinuxForm},
  };
  for (const auto& c : cases) EXPECT_EQ(Check(c.text), c.verdict) << c.text;
  EXPECT_FALSE(PathExists(tree_.Path("srv/missing"), 0));
  // The whole tree holds the settings: refused even as a root of its own.
  roots_ = {"/"};
  EXPECT_EQ(Check(tree_.Path("")), MainPathVerdict::kSystemFolder);
}

TEST_F(LinkTrustTest, RootsComeFromTheSettingOrElseThePresentMainPath) {
  EXPECT_EQ(MainPathRoots(drives_), std::vector<std::string>{"/srv"});  // no main path yet
  ASSERT_TRUE(SetMainPath(tree_.Path("srv/cafe").c_str()));
  EXPECT_EQ(MainPathRoots(drives_), std::vector<std::string>{tree_.Path("srv/cafe")});
  ASSERT_TRUE(SetMainPath("/"));  // a system folder is nobody's root
  EXPECT_EQ(MainPathRoots(drives_), std::vector<std::string>{"/srv"});
  const std::string list = " D:\\cafe ; ;" + tree_.Path("outside") + ";E:\\x";
  ASSERT_TRUE(WriteSetting("Main Path Roots", list.c_str(), static_cast<uint32_t>(list.size() + 1),
                           SETTING_STRING | SETTING_CREATE));
  EXPECT_EQ(MainPathRoots(drives_),
            (std::vector<std::string>{tree_.Path("srv/cafe"), tree_.Path("outside")}));
  // The drive folders are publish roots of their own.
  EXPECT_EQ(PublishRoots(drives_), std::vector<std::string>{tree_.Path("srv")});
}

TEST_F(LinkTrustTest, PathsAreJudgedAsTextAndAsRealPaths) {
  const std::vector<std::string> main = {tree_.Path("srv/cafe")};
  const struct {
    std::string path;
    bool within;
    bool strictly;
  } cases[] = {
      {tree_.Path("srv/cafe"), true, false},
      {tree_.Path("srv/cafe/bob"), true, true},  // not there yet: judged by its folder
      {tree_.Path("srv/cafe/a/b/c"), true, true},
      {tree_.Path("srv/cafeteria"), false, false},
      {tree_.Path("srv"), false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LiesWithin(c.path, main, false), c.within) << c.path;
    EXPECT_EQ(LiesWithin(c.path, main, true), c.strictly) << c.path;
  }
  ASSERT_TRUE(CreateSymbolicLink(tree_.Path("outside"), tree_.Path("srv/cafe/bob")));
  EXPECT_FALSE(LiesWithin(tree_.Path("srv/cafe/bob"), main, true));
  EXPECT_FALSE(LiesWithin(tree_.Path("srv/cafe/bob/deeper"), main, true));
}

}  // namespace
}  // namespace zelm
