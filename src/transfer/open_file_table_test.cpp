#include "transfer/open_file_table.h"

#include <gtest/gtest.h>

#include "platform/temp_folder.h"

namespace zelm {
namespace {

class OpenFileTableTest : public ::testing::Test {
 protected:
  FileId IdOfPath(const std::string& path) {
    FileStatus status;
    EXPECT_TRUE(GetFileStatus(path, status, LinkPolicy::kNoFollow)) << path;
    return IdOf(status);
  }
  std::string MakeFile(const std::string& name) {
    CFile file;
    EXPECT_TRUE(file.Open(folder_ / name, CFile::Mode::kWriteNew));
    return folder_ / name;
  }

  COpenFileTable table_;
  CTempFolder folder_{"open-files"};
};

TEST_F(OpenFileTableTest, OneWriterAtATimeReadersAlwaysAndHoldsGiveTheFileBack) {
  const std::string path = MakeFile("f");
  const FileId id = IdOfPath(path);
  EXPECT_FALSE(table_.IsPathOpen(path));
  COpenFileTable::CHold writer;
  ASSERT_TRUE(table_.AcquireWriter(id, writer));
  COpenFileTable::CHold second;
  EXPECT_FALSE(table_.AcquireWriter(id, second));
  EXPECT_FALSE(second.IsHeld());
  COpenFileTable::CHold reader;
  table_.AcquireReader(id, reader);
  EXPECT_TRUE(reader.IsHeld());
  EXPECT_TRUE(table_.IsPathOpen(path));

  writer.Release();
  EXPECT_TRUE(table_.IsPathOpen(path));  // the reader still has it
  ASSERT_TRUE(table_.AcquireWriter(id, second));
  COpenFileTable::CHold moved = std::move(second);
  EXPECT_FALSE(second.IsHeld());
  EXPECT_TRUE(moved.IsWriter());
  reader.Release();
  moved.Release();
  EXPECT_FALSE(table_.IsPathOpen(path));
  EXPECT_FALSE(table_.IsPathOpen(folder_ / "missing"));
}

TEST_F(OpenFileTableTest, TheFileIsOneWhateverNameReachesIt) {
  const std::string path = MakeFile("original");
  ASSERT_TRUE(CreateSymbolicLink(path, folder_ / "link"));
  COpenFileTable::CHold writer;
  ASSERT_TRUE(table_.AcquireWriter(IdOfPath(path), writer));
  FileStatus followed;
  ASSERT_TRUE(GetFileStatus(folder_ / "link", followed, LinkPolicy::kFollow));
  COpenFileTable::CHold other;
  EXPECT_FALSE(table_.AcquireWriter(IdOf(followed), other));
  // The link itself is another file: deleting the link does not touch the open file.
  EXPECT_FALSE(table_.IsPathOpen(folder_ / "link"));
  // A file opened and identified by its descriptor is the same entry.
  CFile file;
  ASSERT_TRUE(file.Open(path, CFile::Mode::kRead));
  FileId byDescriptor;
  ASSERT_TRUE(GetFileId(file, byDescriptor));
  EXPECT_TRUE(table_.IsOpen(byDescriptor));
  COpenFileTable::CHold unknown;
  EXPECT_FALSE(table_.AcquireWriter(FileId{}, unknown));
}

}  // namespace
}  // namespace zelm
