// A temporary directory tree for tests: created under /tmp, removed afterwards.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/files.h"

namespace zelm {

class TestTree {
 public:
  TestTree() { EXPECT_TRUE(MakeTempDirectory("zelm-vfs-", root_)); }
  ~TestTree() { RemoveTree(root_); }
  TestTree(const TestTree&) = delete;
  TestTree& operator=(const TestTree&) = delete;

  const std::string& Root() const { return root_; }
  std::string Path(const std::string& relative) const { return root_ + "/" + relative; }

  void MakeDirectory(const std::string& relative) const {
    ASSERT_TRUE(CreateOneDirectory(Path(relative))) << relative;
  }
  void MakeFile(const std::string& relative, const std::string& contents = "") const {
    CFile file;
    ASSERT_TRUE(file.Open(Path(relative), CFile::Mode::kWriteNew)) << relative;
    ASSERT_TRUE(file.Write(contents.data(), contents.size()));
  }
  bool Exists(const std::string& relative) const {
    FileStatus status;
    return GetFileStatus(Path(relative), status, LinkPolicy::kNoFollow);
  }

 private:
  std::string root_;
};

}  // namespace zelm
