#include "server/shortcut_request.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/files.h"
#include "vfs/test_tree.h"

namespace zelm {
namespace {

// The wire answer carries the file tree's outcome and the request's identifier, whatever the
// outcome; an incomplete request gets no answer at all.
TEST(ShortcutRequest, AnswersCarryTheOutcomeAndTheRequestsId) {
  TestTree tree;
  tree.MakeDirectory("d");
  tree.MakeDirectory("d/share");
  tree.MakeDirectory("e");
  tree.MakeDirectory("e/Chess");
  ShortcutContext context;
  context.drives = [&tree](char drive) {
    if (drive == 'D') return tree.Path("d");
    if (drive == 'E') return tree.Path("e");
    return std::string();
  };

  // The main path is drive D's folder; drive E's folder is a publish root as a drive.
  const ShortcutBounds bounds{tree.Path("d"), {tree.Path("e")}};

  const struct {
    const char* target;
    uint32_t id;
    uint32_t result;
    const char* path;
  } cases[] = {
      {"E:\\Chess", 42, 1, "D:\\share\\Chess.lnk"},
      {"E:\\Chess", 0, 1, "D:\\share\\Chess.lnk"},  // found this time, not made
      {"E:\\Gone", 7, 0, "E:\\Gone"},
  };
  for (const auto& c : cases) {
    ShortcutRequest request;
    request.folder = "D:\\share";
    request.target = c.target;
    request.id = c.id;
    const std::optional<ShortcutAnswer> answer = AnswerShortcutRequest(request, context, bounds);
    ASSERT_TRUE(answer.has_value()) << c.target;
    EXPECT_EQ(answer->result, c.result) << c.target;
    EXPECT_EQ(answer->id, c.id) << c.target;
    EXPECT_EQ(answer->folder, "D:\\share") << c.target;
    EXPECT_EQ(answer->path, c.path) << c.target;
  }

  ShortcutRequest noTarget;
  noTarget.folder = "D:\\share";
  noTarget.id = 3;
  EXPECT_FALSE(AnswerShortcutRequest(noTarget, context, bounds).has_value());
}

// Outside the bounds nothing is looked at or made, and an existing target outside is answered
// exactly as a missing one.
TEST(ShortcutRequest, FoldersAndTargetsOutsideTheBoundsAreAnsweredAsMissing) {
  TestTree tree;
  for (const char* folder : {"main", "main/bob", "games", "games/Chess", "secret"}) {
    tree.MakeDirectory(folder);
  }
  tree.MakeFile("secret/shadow", "x");
  ShortcutContext context;
  const ShortcutBounds bounds{tree.Path("main"), {tree.Path("games")}};
  const struct {
    std::string folder;
    std::string target;
    uint32_t result;
  } cases[] = {
      {tree.Path("main/bob"), tree.Path("games/Chess"), 1},
      {tree.Path("main/bob"), tree.Path("main/bob"), 1},  // targets below the main path too
      {tree.Path("main/bob"), tree.Path("secret/shadow"), 0},
      {tree.Path("main/bob"), tree.Path("secret/missing"), 0},
      {tree.Path("main/bob"), tree.Path("games/../secret/shadow"), 0},
      {tree.Path("secret"), tree.Path("games/Chess"), 0},
      {"/etc", tree.Path("games/Chess"), 0},
  };
  for (const auto& c : cases) {
    const ShortcutRequest request{c.folder, c.target, 9};
    const std::optional<ShortcutAnswer> answer = AnswerShortcutRequest(request, context, bounds);
    ASSERT_TRUE(answer.has_value()) << c.folder << " " << c.target;
    EXPECT_EQ(answer->result, c.result) << c.folder << " " << c.target;
    if (c.result == 0) {
      EXPECT_EQ(answer->folder, c.folder);
      EXPECT_EQ(answer->path, c.target);
    }
  }
  std::vector<DirectoryEntry> entries;
  ASSERT_TRUE(ReadDirectory(tree.Path("secret"), LinkPolicy::kNoFollow, entries));
  EXPECT_EQ(entries.size(), 1u);  // nothing made there
  EXPECT_FALSE(std::filesystem::exists("/etc/Chess.lnk"));
  // Without a usable main path nothing is published at all.
  const ShortcutRequest request{tree.Path("main/bob"), tree.Path("games/Chess"), 1};
  EXPECT_EQ(AnswerShortcutRequest(request, context, ShortcutBounds{})->result, 0u);
}

}  // namespace
}  // namespace zelm
