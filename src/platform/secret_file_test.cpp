#include "platform/secret_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/small_file.h"
#include "platform/temp_folder.h"

namespace zelm {
namespace {

TEST(SecretFile, OwnerOnlyAndReplacedWhole) {
  CTempFolder folder("secret");
  const std::string path = folder / "token";
  ASSERT_TRUE(WriteSecretFile(path, "first\n"));
  ::chmod(path.c_str(), 0644);  // a file someone loosened is tightened on the next write
  ASSERT_TRUE(WriteSecretFile(path, "second\n"));
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::string content;
  ASSERT_EQ(ReadSmallFile(path, 100, content), SmallFileResult::kOk);
  EXPECT_EQ(content, "second\n");
  EXPECT_FALSE(WriteSecretFile(folder / "missing/token", "x"));
}

TEST(SecretFile, RandomHexIsFreshEachTime) {
  const std::string a = RandomHex(32);
  EXPECT_EQ(a.size(), 64u);
  EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(a, RandomHex(32));
}

}  // namespace
}  // namespace zelm
