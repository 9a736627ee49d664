#include "platform/privileges.h"

#include <gtest/gtest.h>

#include "platform/service_manager.h"
#include "platform/temp_folder.h"

namespace zelm {
namespace {

// "Main Path" may be a folder still to be made: then the nearest folder that exists decides.
TEST(Privileges, AFolderIsWritableWhenItOrTheFolderThatWillHoldItTakesEntries) {
  CTempFolder temp("privileges");
  ASSERT_TRUE(ReplaceFileContents((temp / "file"), "x"));
  const struct {
    std::string folder;
    bool writable;
    std::string why;
  } cases[] = {
      {temp.Path(), true, ""},
      {(temp / "new/deeper/still"), true, ""},
      {(temp / "file"), false, "it is not a folder"},
      {(temp / "file/below"), false, "a part of its path is not a folder"},
  };
  for (const auto& c : cases) {
    std::string why;
    EXPECT_EQ(CanWriteFolder(c.folder, why), c.writable) << c.folder;
    EXPECT_NE(why.find(c.why), std::string::npos) << c.folder << ": " << why;
  }
}

TEST(Privileges, UsersAreFoundByName) {
  UserIdentity root;
  ASSERT_TRUE(FindUser("root", root));
  EXPECT_EQ(root.uid, 0u);
  UserIdentity none;
  EXPECT_FALSE(FindUser("zelm-no-such-user", none));
  EXPECT_FALSE(FindUser("", none));
  std::string error;
  EXPECT_FALSE(DropToUser("zelm-no-such-user", error));
  EXPECT_EQ(error, "the user \"zelm-no-such-user\" does not exist");
}

}  // namespace
}  // namespace zelm
