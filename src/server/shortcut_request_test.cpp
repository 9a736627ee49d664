#include "server/shortcut_request.h"

#include <gtest/gtest.h>

#include <string>

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
    const std::optional<ShortcutAnswer> answer = AnswerShortcutRequest(request, context);
    ASSERT_TRUE(answer.has_value()) << c.target;
    EXPECT_EQ(answer->result, c.result) << c.target;
    EXPECT_EQ(answer->id, c.id) << c.target;
    EXPECT_EQ(answer->folder, "D:\\share") << c.target;
    EXPECT_EQ(answer->path, c.path) << c.target;
  }

  ShortcutRequest noTarget;
  noTarget.folder = "D:\\share";
  noTarget.id = 3;
  EXPECT_FALSE(AnswerShortcutRequest(noTarget, context).has_value());
}

}  // namespace
}  // namespace zelm
