#include "platform/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "platform/error.h"

namespace zelm {
namespace {

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(MakeTempDirectory("zelm-files-", root_)); }
  void TearDown() override { EXPECT_TRUE(RemoveTree(root_)); }
  std::string Path(const std::string& name) const { return root_ + "/" + name; }

  std::string root_;
};

TEST_F(FilesTest, OpenReadWriteSizeAndSeek) {
  CFile file;
  ASSERT_TRUE(file.Open(Path("a"), CFile::Mode::kWriteNew));
  ASSERT_TRUE(file.Write("hello world", 11));
  EXPECT_EQ(GetFileSize64(file), 11u);
  EXPECT_EQ(SeekFile(file, -5, 2), 6u);
  EXPECT_EQ(SeekFile(file, 2, 1), 8u);
  EXPECT_EQ(SeekFile(file, -100, 0), 0u);  // a failed seek reports 0
  EXPECT_EQ(SeekFile(file, 0, 7), 0u);
  file.Close();

  EXPECT_FALSE(file.Open(Path("a"), CFile::Mode::kWriteNew));  // the name is taken
  EXPECT_FALSE(file.Open(root_, CFile::Mode::kRead));          // directories are refused
  EXPECT_FALSE(file.Open(Path("missing"), CFile::Mode::kRead));
  EXPECT_EQ(LastSystemError(), ENOENT);

  ASSERT_TRUE(file.Open(Path("a"), CFile::Mode::kWrite));  // keeps the contents
  EXPECT_EQ(GetFileSize64(file), 11u);
  CFile moved = std::move(file);
  EXPECT_FALSE(file.IsOpen());
  ASSERT_TRUE(moved.Open(Path("a"), CFile::Mode::kRead));
  char buffer[32];
  EXPECT_EQ(SeekFile(moved, 6, 0), 6u);
  EXPECT_EQ(moved.Read(buffer, sizeof buffer), 5);
  EXPECT_EQ(std::string(buffer, 5), "world");
  EXPECT_EQ(moved.Read(buffer, sizeof buffer), 0);

  ASSERT_TRUE(moved.Open(Path("a"), CFile::Mode::kWriteTruncate));
  EXPECT_EQ(GetFileSize64(moved), 0u);
}

TEST_F(FilesTest, WritingNewAndExistingFilesNeverGoesThroughALink) {
  CFile file;
  ASSERT_TRUE(file.Open(Path("target"), CFile::Mode::kWriteNew));
  ASSERT_TRUE(file.Write("kept", 4));
  file.Close();
  ASSERT_TRUE(CreateSymbolicLink(Path("target"), Path("link")));
  ASSERT_TRUE(CreateSymbolicLink(Path("made-through-link"), Path("dangling")));
  EXPECT_FALSE(file.Open(Path("link"), CFile::Mode::kWriteExisting));
  EXPECT_FALSE(file.Open(Path("dangling"), CFile::Mode::kWriteExisting));
  EXPECT_FALSE(file.Open(Path("dangling"), CFile::Mode::kWriteNew));
  EXPECT_FALSE(file.Open(Path("missing"), CFile::Mode::kWriteExisting));  // creates nothing
  FileStatus status;
  EXPECT_FALSE(GetFileStatus(Path("made-through-link"), status, LinkPolicy::kNoFollow));
  EXPECT_FALSE(GetFileStatus(Path("missing"), status, LinkPolicy::kNoFollow));
  ASSERT_TRUE(file.Open(Path("target"), CFile::Mode::kWriteExisting));
  EXPECT_EQ(GetFileSize64(file), 4u);  // the contents stay
}

TEST_F(FilesTest, DirectoryEntriesWithTheirKinds) {
  ASSERT_TRUE(CreateOneDirectory(Path("dir")));
  EXPECT_FALSE(CreateOneDirectory(Path("dir")));
  EXPECT_FALSE(CreateOneDirectory(Path("no/parent")));
  CFile file;
  ASSERT_TRUE(file.Open(Path("file"), CFile::Mode::kWriteNew));
  ASSERT_TRUE(file.Write("1234", 4));
  file.Close();
  ASSERT_TRUE(CreateSymbolicLink("dir", Path("to-dir")));
  ASSERT_TRUE(CreateSymbolicLink("nowhere", Path("dangling")));

  const auto kinds = [this](LinkPolicy links) {
    std::vector<DirectoryEntry> entries;
    EXPECT_TRUE(ReadDirectory(root_, links, entries));
    std::sort(entries.begin(), entries.end(),
              [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
    std::vector<std::pair<std::string, FileKind>> result;
    for (const DirectoryEntry& entry : entries) result.emplace_back(entry.name, entry.status.kind);
    return result;
  };
  using Kinds = std::vector<std::pair<std::string, FileKind>>;
  EXPECT_EQ(kinds(LinkPolicy::kFollow), (Kinds{{"dangling", FileKind::kSymlink},
                                               {"dir", FileKind::kDirectory},
                                               {"file", FileKind::kRegular},
                                               {"to-dir", FileKind::kDirectory}}));
  EXPECT_EQ(kinds(LinkPolicy::kNoFollow), (Kinds{{"dangling", FileKind::kSymlink},
                                                 {"dir", FileKind::kDirectory},
                                                 {"file", FileKind::kRegular},
                                                 {"to-dir", FileKind::kSymlink}}));

  FileStatus status;
  ASSERT_TRUE(GetFileStatus(Path("file"), status));
  EXPECT_EQ(status.size, 4u);
  EXPECT_GT(status.creationTime, 1'600'000'000);
  EXPECT_FALSE(GetFileStatus(Path("missing"), status));
  EXPECT_EQ(status.kind, FileKind::kNone);
  EXPECT_FALSE(GetFileStatus(std::string(5000, 'x'), status));

  EXPECT_TRUE(DirectoryHasEntries(root_));
  EXPECT_FALSE(DirectoryHasEntries(Path("dir")));
  EXPECT_FALSE(DirectoryHasEntries(Path("file")));
  std::vector<DirectoryEntry> entries = {DirectoryEntry{}};
  EXPECT_FALSE(ReadDirectory(Path("missing"), LinkPolicy::kFollow, entries));
  EXPECT_TRUE(entries.empty());
}

TEST_F(FilesTest, RemoveAndRenameNeverReplace) {
  ASSERT_TRUE(CreateOneDirectory(Path("dir")));
  CFile file;
  ASSERT_TRUE(file.Open(Path("a"), CFile::Mode::kWriteNew));
  ASSERT_TRUE(file.Open(Path("b"), CFile::Mode::kWriteNew));
  file.Close();

  EXPECT_FALSE(MovePath(Path("a"), Path("b")));  // the target exists
  EXPECT_EQ(LastSystemError(), EEXIST);
  EXPECT_TRUE(MovePath(Path("a"), Path("c")));
  EXPECT_TRUE(MovePath(Path("dir"), Path("dir2")));
  FileStatus status;
  EXPECT_FALSE(GetFileStatus(Path("a"), status));

  EXPECT_FALSE(RemoveFile(Path("dir2")));
  EXPECT_FALSE(RemoveEmptyDirectory(Path("c")));
  EXPECT_TRUE(RemoveFile(Path("c")));
  EXPECT_TRUE(RemoveEmptyDirectory(Path("dir2")));
  EXPECT_FALSE(RemoveFile(Path("c")));
}

}  // namespace
}  // namespace zelm
