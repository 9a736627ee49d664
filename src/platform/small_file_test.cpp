#include "platform/small_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "platform/files.h"

namespace zelm {
namespace {

TEST(SmallFile, ReadsUpToTheCapAndNothingButRegularFiles) {
  std::string root;
  ASSERT_TRUE(MakeTempDirectory("zelm-small-", root));
  const auto write = [&](const std::string& name, const std::string& bytes) {
    CFile file;
    ASSERT_TRUE(file.Open(root + "/" + name, CFile::Mode::kWriteNew));
    ASSERT_TRUE(file.Write(bytes.data(), bytes.size()));
  };
  write("empty", "");
  write("ten", "0123456789");
  ASSERT_TRUE(CreateSymbolicLink(root + "/ten", root + "/link"));
  ASSERT_EQ(mkfifo((root + "/fifo").c_str(), 0600), 0);

  const struct {
    const char* name;
    size_t cap;
    SmallFileResult result;
    const char* bytes;
  } cases[] = {
      {"empty", 0, SmallFileResult::kOk, ""},
      {"ten", 10, SmallFileResult::kOk, "0123456789"},
      {"ten", 9, SmallFileResult::kTooLarge, ""},
      {"link", 10, SmallFileResult::kOk, "0123456789"},
      {"fifo", 10, SmallFileResult::kNotRegular, ""},  // no writer: must not block
      {"", 10, SmallFileResult::kNotRegular, ""},      // the folder itself
      {"missing", 10, SmallFileResult::kMissing, ""},
  };
  for (const auto& c : cases) {
    std::string bytes = "stale";
    EXPECT_EQ(ReadSmallFile(root + "/" + c.name, c.cap, bytes), c.result) << c.name;
    EXPECT_EQ(bytes, c.bytes) << c.name;
  }
  EXPECT_TRUE(RemoveTree(root));
}

}  // namespace
}  // namespace zelm
