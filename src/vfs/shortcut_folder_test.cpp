#include "vfs/shortcut_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/host.h"
#include "platform/small_file.h"
#include "vfs/test_tree.h"

namespace zelm {
namespace {

// Drive D holds the customers' folders, drive E the published games and documents.
class ShortcutFolder : public ::testing::Test {
 protected:
  ShortcutFolder() {
    for (const char* dir : {"d", "d/share", "d/share/user7", "e", "e/games", "e/games/Chess",
                            "e/games/a.b", "e/games/Alpha"}) {
      tree_.MakeDirectory(dir);
    }
    tree_.MakeFile("e/games/report.txt", "report");
    tree_.MakeFile("e/games/x.tar.gz", "x");
    context_.drives = [this](char drive) {
      if (drive == 'D') return tree_.Path("d");
      if (drive == 'E') return tree_.Path("e");
      return std::string();
    };
  }

  ShortcutFolderAnswer Request(const std::string& folder, const std::string& target) {
    ShortcutFolderRequest request;
    request.folder = folder;
    request.target = target;
    const std::optional<ShortcutFolderAnswer> answer =
        HandleShortcutFolderRequest(request, context_);
    EXPECT_TRUE(answer.has_value());
    return answer.value_or(ShortcutFolderAnswer());
  }

  std::vector<std::string> Names(const std::string& relative) const {
    std::vector<DirectoryEntry> entries;
    EXPECT_TRUE(ReadDirectory(tree_.Path(relative), LinkPolicy::kNoFollow, entries));
    std::vector<std::string> names;
    for (const auto& e : entries) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string TargetOf(const std::string& relative) {
    std::string target;
    ReadShortcut(tree_.Path(relative), target, context_);
    return target;
  }

  TestTree tree_;
  ShortcutContext context_;
};

TEST_F(ShortcutFolder, CreatesTheShortcutAndAnswersWithItsPath) {
  const ShortcutFolderAnswer answer = Request("D:\\share\\user7", "E:\\games\\Chess\\");
  EXPECT_TRUE(answer.shortcutInPlace);
  EXPECT_EQ(answer.folder, "D:\\share\\user7");
  EXPECT_EQ(answer.path, "D:\\share\\user7\\Chess.lnk");
  EXPECT_EQ(Names("d/share/user7"), std::vector<std::string>{"Chess.lnk"});
  // The shortcut holds the target in Explorer's form (no trailing separator).
  EXPECT_EQ(TargetOf("d/share/user7/Chess.lnk"), "E:\\games\\Chess");

  // This computer's administrative shares are taken in their local form, folder and target.
  const std::string me = GetComputerName();
  ASSERT_FALSE(me.empty());
  const ShortcutFolderAnswer share =
      Request("\\\\" + me + "\\D$\\share", "\\\\" + me + "\\E$\\games\\report.txt");
  EXPECT_TRUE(share.shortcutInPlace);
  EXPECT_EQ(share.folder, "D:\\share");
  EXPECT_EQ(share.path, "D:\\share\\report.lnk");
  EXPECT_EQ(TargetOf("d/share/report.lnk"), "E:\\games\\report.txt");

  // Linux paths work the same way, and the answer keeps their form.
  const ShortcutFolderAnswer linux = Request(tree_.Path("d/share"), tree_.Path("e/games/Chess"));
  EXPECT_TRUE(linux.shortcutInPlace);
  EXPECT_EQ(linux.path, tree_.Path("d/share/Chess.lnk"));
}

TEST_F(ShortcutFolder, NamesTheShortcutAfterTheTarget) {
  const struct {
    const char* target;
    const char* name;
  } cases[] = {
      {"E:\\games\\report.txt", "report.lnk"},  // a file loses its extension
      {"E:\\games\\x.tar.gz", "x.tar.lnk"},     // only the last one
      {"E:\\games\\a.b", "a.b.lnk"},            // a directory keeps its full name
      {"e:/games/Chess/", "Chess.lnk"},         // the last directory component
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    tree_.MakeDirectory("d/t");
    const ShortcutFolderAnswer answer = Request("D:\\t", c.target);
    EXPECT_TRUE(answer.shortcutInPlace);
    EXPECT_EQ(answer.path, std::string("D:\\t\\") + c.name);
    EXPECT_EQ(Names("d/t"), std::vector<std::string>{c.name});
    RemoveTree(tree_.Path("d/t"));
  }
  // A drive root has no name to give the shortcut.
  EXPECT_FALSE(Request("D:\\share", "E:\\").shortcutInPlace);
  EXPECT_EQ(Names("d/share"), std::vector<std::string>{"user7"});
}

TEST_F(ShortcutFolder, TakenNamesAreNumberedAndNothingIsReplaced) {
  const struct {
    std::vector<const char*> files;
    std::vector<const char*> directories;
    const char* expected;
  } cases[] = {
      {{"Chess.lnk", "Chess[01].lnk"}, {}, "Chess[02].lnk"},
      {{}, {"Chess"}, "Chess[01].lnk"},  // a directory without the extension blocks too
      {{}, {"Chess.lnk"}, "Chess[01].lnk"},
      {{"chess.LNK"}, {}, "Chess.lnk"},  // names are exact on Linux
  };
  for (const auto& c : cases) {
    tree_.MakeDirectory("d/t");
    for (const char* name : c.files) tree_.MakeFile(std::string("d/t/") + name, "other");
    for (const char* name : c.directories) tree_.MakeDirectory(std::string("d/t/") + name);
    const ShortcutFolderAnswer answer = Request("D:\\t", "E:\\games\\Chess");
    EXPECT_TRUE(answer.shortcutInPlace) << c.expected;
    EXPECT_EQ(answer.path, std::string("D:\\t\\") + c.expected);
    EXPECT_EQ(TargetOf(std::string("d/t/") + c.expected), "E:\\games\\Chess");
    std::string kept;
    if (!c.files.empty()) {
      ASSERT_EQ(ReadSmallFile(tree_.Path(std::string("d/t/") + c.files[0]), 100, kept),
                SmallFileResult::kOk);
      EXPECT_EQ(kept, "other");
    }
    RemoveTree(tree_.Path("d/t"));
  }

  // Every name up to name[1000].lnk taken: nothing is created and the answer says 0.
  tree_.MakeFile("d/share/Chess.lnk", "other");
  for (int i = 1; i <= 1000; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "d/share/Chess[%02i].lnk", i);
    tree_.MakeFile(name, "other");
  }
  const ShortcutFolderAnswer full = Request("D:\\share", "E:\\games\\Chess");
  EXPECT_FALSE(full.shortcutInPlace);
  EXPECT_EQ(full.path, "D:\\share\\Chess[1000].lnk");
  EXPECT_EQ(Names("d/share").size(), 1002u);  // user7 and the 1001 names
}

TEST_F(ShortcutFolder, ASecondRequestFindsTheExistingShortcut) {
  // A shortcut to another target sorts first and must not be taken for this one.
  ASSERT_TRUE(Request("D:\\share", "E:\\games\\Alpha").shortcutInPlace);
  const ShortcutFolderAnswer first = Request("D:\\share", "E:\\games\\Chess");
  ASSERT_TRUE(first.shortcutInPlace);
  const std::vector<std::string> before = Names("d/share");
  for (const std::string& target :
       std::vector<std::string>{"E:\\games\\Chess", "E:\\games\\Chess\\", "e:/games/Chess",
                                tree_.Path("e/games/Chess")}) {
    const ShortcutFolderAnswer again = Request("D:\\share", target);
    EXPECT_TRUE(again.shortcutInPlace) << target;
    EXPECT_EQ(again.path, "D:\\share\\Chess.lnk") << target;
  }
  EXPECT_EQ(Names("d/share"), before);
  std::string found;
  EXPECT_TRUE(FindShortcutTo("d:\\share\\", "E:\\games\\Chess", &found, context_));
  EXPECT_EQ(found, "d:\\share\\Chess.lnk");
  // Letter case matters on Linux: another spelling is another (here missing) folder.
  EXPECT_FALSE(FindShortcutTo("D:\\share", "E:\\games\\chess", nullptr, context_));
}

TEST_F(ShortcutFolder, AShortcutToADeletedTargetIsNeverMatched) {
  tree_.MakeDirectory("e/games/Gone");
  ASSERT_TRUE(Request("D:\\share", "E:\\games\\Gone").shortcutInPlace);
  ASSERT_TRUE(RemoveEmptyDirectory(tree_.Path("e/games/Gone")));
  std::string target;
  EXPECT_EQ(ReadShortcut(tree_.Path("d/share/Gone.lnk"), target, context_), kShortcutMissing);
  EXPECT_EQ(target, "E:\\games\\Gone");
  EXPECT_FALSE(FindShortcutTo("D:\\share", "E:\\games\\Gone", nullptr, context_));

  const ShortcutFolderAnswer answer = Request("D:\\share", "E:\\games\\Gone");
  EXPECT_FALSE(answer.shortcutInPlace);
  EXPECT_EQ(answer.path, "E:\\games\\Gone");
  EXPECT_EQ(Names("d/share"), (std::vector<std::string>{"Gone.lnk", "user7"}));
}

TEST_F(ShortcutFolder, MissingOrUnmappablePathsAnswerZeroAndIncompleteRequestsNothing) {
  const struct {
    const char* folder;
    const char* target;
  } cases[] = {
      {"D:\\share\\nobody", "E:\\games\\Chess"},        // folder missing
      {"D:\\share", "E:\\games\\nothing"},              // target missing
      {"C:\\share", "E:\\games\\Chess"},                // drive not mapped
      {"D:\\share", "\\\\other-pc\\E$\\games\\Chess"},  // another computer
      {"D:\\share", "games\\Chess"},                    // relative
      {"D:\\share\\..\\..", "E:\\games\\Chess"},
  };
  for (const auto& c : cases) {
    const ShortcutFolderAnswer answer = Request(c.folder, c.target);
    EXPECT_FALSE(answer.shortcutInPlace) << c.folder << " " << c.target;
    EXPECT_EQ(answer.path, c.target);
  }
  EXPECT_EQ(Names("d/share"), std::vector<std::string>{"user7"});

  ShortcutFolderRequest noTarget;
  noTarget.folder = "D:\\share";
  EXPECT_FALSE(HandleShortcutFolderRequest(noTarget, context_).has_value());
  ShortcutFolderRequest noFolder;
  noFolder.target = "E:\\games\\Chess";
  EXPECT_FALSE(HandleShortcutFolderRequest(noFolder, context_).has_value());
  EXPECT_EQ(Names("d/share"), std::vector<std::string>{"user7"});
}

TEST_F(ShortcutFolder, ResolveShortcutPathFollowsShortcutsBesideTheLevels) {
  // home/alice/games.lnk leads to E:\games; home/alice/file.lnk to E:\games\report.txt;
  // home/alice/broken.lnk to a folder that is gone; home/alice/junk.lnk is no shortcut.
  for (const char* dir : {"home", "home/alice", "home/alice/games", "home/alice/games/sub",
                          "home/alice/broken", "home/alice/junk", "home/alice/v1.2"}) {
    tree_.MakeDirectory(dir);
  }
  tree_.MakeDirectory("e/games/sub");
  tree_.MakeDirectory("e/gone");
  ASSERT_TRUE(CreateShortcut("E:\\games", tree_.Path("home/alice/games.lnk"), "g", context_));
  ASSERT_TRUE(
      CreateShortcut("E:\\games\\report.txt", tree_.Path("home/alice/file.lnk"), "f", context_));
  ASSERT_TRUE(CreateShortcut("E:\\gone", tree_.Path("home/alice/broken.lnk"), "b", context_));
  ASSERT_TRUE(RemoveEmptyDirectory(tree_.Path("e/gone")));
  tree_.MakeFile("home/alice/junk.lnk", "junk");
  ASSERT_TRUE(
      CreateShortcut("E:\\games\\report.txt", tree_.Path("home/alice/v1.lnk"), "v", context_));
  tree_.MakeFile("e/games/sub/file", "");

  const std::string alice = tree_.Path("home/alice");
  const std::string e = tree_.Path("e");
  const struct {
    std::string path;
    bool isDirectory;
    int result;
    std::string realPath;
  } cases[] = {
      {alice + "/games/sub/file.tmp", false, kFileThroughShortcut, e + "/games/sub/file"},
      {alice + "/games/sub/other.tmp", false, kFileThroughBrokenShortcut, e + "/games/sub/other"},
      {alice + "/games/sub/", true, kDirectoryThroughShortcut, e + "/games/sub/"},
      {alice + "/games/none/", true, kDirectoryThroughBrokenShortcut, e + "/games/none/"},
      {alice + "/file.tmp", false, kFileThroughShortcut, e + "/games/report.txt"},
      {alice + "/broken/file.tmp", false, kNoShortcutOnPath, ""},
      {alice + "/junk/file.tmp", false, kNoShortcutOnPath, ""},
      {alice + "/file[000].tmp", false, kNoShortcutOnPath, ""},
      {alice + "/v1.2/file", false, kNoShortcutOnPath, ""},  // a dot in a folder is no extension
      {"/file.tmp", false, kNoShortcutOnPath, ""},
  };
  for (const auto& c : cases) {
    std::string real = "unchanged";
    EXPECT_EQ(ResolveShortcutPath(c.path, c.isDirectory, real, context_), c.result) << c.path;
    EXPECT_EQ(real, c.realPath) << c.path;
  }
}

}  // namespace
}  // namespace zelm
