#include "vfs/file_system.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/files.h"
#include "platform/limits.h"
#include "vfs/file_helpers.h"
#include "vfs/test_tree.h"

namespace zelm {
namespace {

// home = <tree>/ftp with pub/, pub/games/, pub/x.zip, empty/; a sibling ftp2/ holds a secret.
class FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree_.MakeDirectory("ftp");
    tree_.MakeDirectory("ftp/pub");
    tree_.MakeDirectory("ftp/pub/games");
    tree_.MakeFile("ftp/pub/x.zip", "zip");
    tree_.MakeDirectory("ftp/empty");
    tree_.MakeDirectory("ftp2");
    tree_.MakeFile("ftp2/secret", "secret");
    home_ = tree_.Path("ftp");
    fs_.SetHomePath(home_);
  }

  std::string Real(const std::string& relative) const { return home_ + "/" + relative; }

  TestTree tree_;
  std::string home_;
  CFtpFileSystem fs_;
};

struct ResolveCase {
  const char* currentDir;  // directory to change into first ("" = none)
  const char* path;
  bool isDirectory;
  bool emptyMeansRoot;
  ResolveResult result;
  const char* real;  // expected real path below the home (nullptr: not checked)
};

TEST_F(FileSystemTest, ResolvesClientPathsBelowTheHome) {
  const ResolveCase cases[] = {
      {"", "pub", true, false, ResolveExists, "pub/"},
      {"", "/pub/games", true, false, ResolveExists, "pub/games/"},
      {"", "pub/games/", true, false, ResolveExists, "pub/games/"},
      {"", "pub/new", true, false, ResolveMissing, "pub/new/"},
      {"", "a/b", true, false, ResolveParentMissing, "a/b/"},
      {"", "a/b/c", true, false, ResolveParentMissing, "a/b/c/"},
      {"", "pub/x.zip", false, false, ResolveExists, "pub/x.zip"},
      {"", "pub", false, false, ResolveMissing, "pub"},
      {"", "pub/new.txt", false, false, ResolveMissing, "pub/new.txt"},
      {"", "pub/x.zip", true, false, ResolveMissing, "pub/x.zip/"},
      {"", "a//b", true, false, ResolveInvalid, nullptr},
      {"", "", true, true, ResolveExists, ""},
      {"", "", true, false, ResolveExists, ""},
      {"", "/", true, false, ResolveExists, ""},
      {"", "/", false, false, ResolveMissing, ""},
      {"", "\\", true, false, ResolveExists, ""},
      {"", "pub\\games", true, false, ResolveExists, "pub/games/"},
      {"", "..\\..\\ftp2\\secret", false, false, ResolveMissing, "ftp2/secret"},
      {"", "../ftp2", true, false, ResolveMissing, "ftp2/"},
      {"", "/../../ftp2/secret", false, false, ResolveMissing, "ftp2/secret"},
      {"", "PUB", true, false, ResolveMissing, "PUB/"},  // real names are case-sensitive
      {"", "/pub/./games/../x.zip", false, false, ResolveExists, "pub/x.zip"},
      {"", "*", false, false, ResolveMissing, "*"},
      {"", "pub/*", false, false, ResolveMissing, "pub/*"},
      {"pub", "x.zip", false, false, ResolveExists, "pub/x.zip"},
      {"pub", "games", true, false, ResolveExists, "pub/games/"},
      {"pub", "", true, false, ResolveExists, "pub/"},
      {"pub", "", true, true, ResolveExists, ""},
      {"pub", "", false, false, ResolveMissing, "pub/"},
      {"pub", "..", true, false, ResolveExists, ""},
      {"pub", "../empty", true, false, ResolveExists, "empty/"},
      {"pub", "/PUB/", true, false, ResolveMissing, "PUB/"},
      {"pub/games", "../../../..", true, false, ResolveExists, ""},
      {"pub", "games//x", false, false, ResolveInvalid, nullptr},
      {"", "a\nb", false, false, ResolveInvalid, nullptr},
      {"", "x\r\n-rwxrwxrwx fake", false, false, ResolveInvalid, nullptr},
      {"", "pub/\x01", true, false, ResolveInvalid, nullptr},
      {"", "pub/\x7f", true, false, ResolveMissing, "pub/\x7f/"},
      // The temporary files of overwriting uploads are nobody's to name, at any level.
      {"", ".zelm-upload-1", false, false, ResolveInvalid, nullptr},
      {"pub", ".zelm-upload-1", false, false, ResolveInvalid, nullptr},
      {"", "pub\\.zelm-upload-1/x", false, false, ResolveInvalid, nullptr},
      {"", "pub/x.zelm-upload-1", false, false, ResolveMissing, "pub/x.zelm-upload-1"},
  };
  for (const ResolveCase& c : cases) {
    SCOPED_TRACE(std::string(c.currentDir) + " : " + c.path);
    CFtpFileSystem fs;
    fs.SetHomePath(home_);
    if (c.currentDir[0] != '\0') {
      ASSERT_TRUE(fs.ChangeDirectory(c.currentDir));
    }
    std::string real;
    std::string copy;
    EXPECT_EQ(fs.ResolvePath(c.path, c.isDirectory, real, &copy, c.emptyMeansRoot), c.result);
    if (c.result == ResolveInvalid) {
      EXPECT_EQ(real, fs.GetCurrentDir());
    } else if (c.real != nullptr) {
      EXPECT_EQ(real, Real(c.real));
      EXPECT_EQ(copy, real);
    }
  }
}

TEST_F(FileSystemTest, MissingLevelsIncludeTheHomeItself) {
  CFtpFileSystem fs;
  fs.SetHomePath(tree_.Path("nohome"));
  std::string real;
  EXPECT_EQ(fs.ResolvePath("", true, real, nullptr, true), ResolveMissing);
  EXPECT_EQ(real, tree_.Path("nohome/"));
  EXPECT_EQ(fs.ResolvePath("a", true, real), ResolveParentMissing);
}

TEST(FileSystem, HomePathIsCleanedOrRefused) {
  const struct {
    const char* given;
    const char* home;
  } cases[] = {
      {"/srv/ftp/", "/srv/ftp"},
      {"/srv/./ftp/../ftp", "/srv/ftp"},
      {"//srv//ftp", "/srv/ftp"},
      {"/", "/"},
      {"/..", "/"},
      {"relative/ftp", ""},
      {"", ""},
      {"C:\\ftp", ""},
  };
  for (const auto& c : cases) {
    CFtpFileSystem fs;
    fs.SetHomePath(c.given);
    EXPECT_EQ(fs.GetHomePath(), c.home) << c.given;
  }

  // Without a home nothing resolves (the process's own directory is never exposed).
  CFtpFileSystem none;
  std::string real;
  EXPECT_EQ(none.ResolvePath("pub", true, real), ResolveInvalid);
  EXPECT_EQ(none.ResolvePath("", true, real, nullptr, true), ResolveInvalid);
  EXPECT_FALSE(none.ChangeDirectory("/"));
  EXPECT_FALSE(none.MakeUniqueFileName(real));

  CFtpFileSystem root;
  root.SetHomePath("/");
  EXPECT_EQ(root.ResolvePath("tmp", true, real), ResolveExists);
  EXPECT_EQ(real, "/tmp/");
  EXPECT_EQ(root.ResolvePath("..", true, real), ResolveExists);
  EXPECT_EQ(real, "/");
}

TEST(FileSystem, NamesWindowsRefusesAreKnown) {
  const struct {
    const char* name;
    bool refused;
  } cases[] = {
      {"report.txt", false},
      {"Ärger \"quoted\" dir", true},
      {"a:b", true},
      {"q*", true},
      {"x<y", true},
      {"p|q", true},
      {"a?", true},
      {"tab\tx", true},
      {"dot.", true},
      {"blank ", true},
      {"", true},
      {"CON", true},
      {"con.txt", true},
      {"Nul", true},
      {"COM1", true},
      {"lpt9.log", true},
      {"COM0", false},
      {"COM10", false},
      {"CONSOLE", false},
      {"aux file", false},
      {"Ärger dir", false},
      {".profile", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsNameWindowsRefuses(c.name), c.refused) << c.name;
  EXPECT_EQ(LastPathComponent("a/b/"), "b");
  EXPECT_EQ(LastPathComponent("/x\\y"), "y");
  EXPECT_EQ(LastPathComponent("/"), "");
}

TEST(FileSystem, ContainmentIsComponentWise) {
  CFtpFileSystem fs;
  fs.SetHomePath("/srv/ftp");
  const struct {
    const char* path;
    bool inside;
  } cases[] = {
      {"/srv/ftp", true},
      {"/srv/ftp/", true},
      {"/srv/ftp/a/b", true},
      {"/srv/ftp/a/...", true},
      {"/srv/ftp2", false},
      {"/srv/ftp2/x", false},
      {"/srv", false},
      {"/srv/ftp/../x", false},
      {"/srv/ftp/a/./b", false},
      {"srv/ftp/a", false},
      {"", false},
      {"/srv/ftp/..", false},
      {"/srv/fto/a", false},
  };
  for (const auto& c : cases) EXPECT_EQ(fs.IsInsideHome(c.path), c.inside) << c.path;
}

TEST_F(FileSystemTest, CurrentDirectoryFollowsCwdAndCdup) {
  EXPECT_EQ(fs_.GetCurrentDir(), "/");
  EXPECT_EQ(fs_.GetCurrentRealDir(), "");

  EXPECT_TRUE(fs_.ChangeDirectory("pub"));
  EXPECT_EQ(fs_.GetCurrentDir(), "/pub/");
  EXPECT_EQ(fs_.GetCurrentRealDir(), Real("pub/"));
  EXPECT_TRUE(fs_.ChangeDirectory("games"));
  EXPECT_EQ(fs_.GetCurrentDir(), "/pub/games/");

  fs_.ChangeToParent();
  EXPECT_EQ(fs_.GetCurrentDir(), "/pub");
  EXPECT_EQ(fs_.GetCurrentRealDir(), Real("pub/"));
  std::string real;
  EXPECT_EQ(fs_.ResolvePath("x.zip", false, real), ResolveExists);  // relative to /pub
  fs_.ChangeToParent();
  EXPECT_EQ(fs_.GetCurrentDir(), "/");
  EXPECT_EQ(fs_.GetCurrentRealDir(), Real(""));
  fs_.ChangeToParent();
  EXPECT_EQ(fs_.GetCurrentDir(), "/");

  EXPECT_TRUE(fs_.ChangeDirectory(".."));  // at the root stays at the root
  EXPECT_EQ(fs_.GetCurrentDir(), "/");
  EXPECT_TRUE(fs_.ChangeDirectory("pub/games"));
  EXPECT_TRUE(fs_.ChangeDirectory(".."));
  EXPECT_EQ(fs_.GetCurrentDir(), "/pub/");
  EXPECT_TRUE(fs_.ChangeDirectory("..\\..\\..\\pub\\games"));
  EXPECT_EQ(fs_.GetCurrentDir(), "/pub/games/");

  // Failures change nothing.
  EXPECT_FALSE(fs_.ChangeDirectory("missing"));
  EXPECT_FALSE(fs_.ChangeDirectory("../x.zip"));
  EXPECT_FALSE(fs_.ChangeDirectory("a//b"));
  EXPECT_EQ(fs_.GetCurrentDir(), "/pub/games/");
  EXPECT_EQ(fs_.GetCurrentRealDir(), Real("pub/games/"));

  EXPECT_TRUE(fs_.ChangeDirectory(""));
  EXPECT_EQ(fs_.GetCurrentDir(), "/");
  EXPECT_EQ(fs_.GetCurrentRealDir(), Real(""));

  fs_.Reset();
  EXPECT_EQ(fs_.GetCurrentDir(), "/");
  EXPECT_EQ(fs_.GetHomePath(), "");
}

TEST_F(FileSystemTest, RemovalResolutionAndRemovals) {
  tree_.MakeFile("ftp/pub/games/a.txt");
  std::string real;
  EXPECT_EQ(fs_.ResolveForRemoval("pub/games", true, real), ResolveNotEmpty);
  EXPECT_EQ(fs_.ResolveForRemoval("empty", true, real), ResolveExists);
  EXPECT_EQ(fs_.ResolveForRemoval("pub/x.zip", false, real), ResolveExists);
  EXPECT_EQ(fs_.ResolveForRemoval("nothing", false, real), ResolveMissing);
  EXPECT_EQ(fs_.ResolveForRemoval("a//b", true, real), ResolveInvalid);

  ASSERT_EQ(fs_.ResolveForRemoval("pub/games/a.txt", false, real), ResolveExists);
  EXPECT_TRUE(fs_.DeleteFile(real));
  EXPECT_FALSE(tree_.Exists("ftp/pub/games/a.txt"));
  EXPECT_FALSE(fs_.DeleteFile(real));
  EXPECT_EQ(fs_.GetLastError(), static_cast<uint32_t>(ENOENT));

  ASSERT_EQ(fs_.ResolveForRemoval("empty", true, real), ResolveExists);
  EXPECT_TRUE(fs_.RemoveDirectory(real));
  EXPECT_FALSE(tree_.Exists("ftp/empty"));
  EXPECT_EQ(fs_.GetLastError(), 0u);

  // A failed rmdir itself leaves lastError as the status step set it (0).
  EXPECT_FALSE(fs_.RemoveDirectory(Real("pub/")));
  EXPECT_EQ(fs_.GetLastError(), 0u);
  EXPECT_TRUE(tree_.Exists("ftp/pub"));
}

TEST_F(FileSystemTest, RemovalsRefuseTheHomeAndEverythingOutsideIt) {
  tree_.MakeDirectory("ftp/sub");
  CFtpFileSystem fs;
  fs.SetHomePath(tree_.Path("ftp/sub"));
  std::string real;
  // RMD / resolves to the (empty) home itself, which is never removed.
  ASSERT_EQ(fs.ResolveForRemoval("/", true, real), ResolveExists);
  EXPECT_FALSE(fs.RemoveDirectory(real));
  EXPECT_EQ(fs.GetLastError(), static_cast<uint32_t>(kWsaEacces));
  EXPECT_TRUE(tree_.Exists("ftp/sub"));

  EXPECT_FALSE(fs.DeleteFile(tree_.Path("ftp2/secret")));
  EXPECT_FALSE(fs.DeleteFile(tree_.Path("ftp/sub/../../ftp2/secret")));
  EXPECT_FALSE(fs.RemoveDirectory(tree_.Path("ftp/empty")));
  EXPECT_TRUE(tree_.Exists("ftp2/secret"));
  EXPECT_TRUE(tree_.Exists("ftp/empty"));
}

TEST_F(FileSystemTest, UniqueFileNamesForStou) {
  std::string real;
  ASSERT_TRUE(fs_.MakeUniqueFileName(real));
  EXPECT_EQ(real, Real("file.tmp"));

  ASSERT_TRUE(fs_.ChangeDirectory("pub/games"));
  tree_.MakeFile("ftp/pub/games/file.tmp");
  tree_.MakeFile("ftp/pub/games/file[000].tmp");
  ASSERT_TRUE(fs_.MakeUniqueFileName(real));
  EXPECT_EQ(real, Real("pub/games/file[001].tmp"));

  // A directory of that name is taken as well: an upload could not replace it.
  tree_.MakeDirectory("ftp/pub/games/file[001].tmp");
  ASSERT_TRUE(fs_.MakeUniqueFileName(real));
  EXPECT_EQ(real, Real("pub/games/file[002].tmp"));

  char name[32];
  for (unsigned i = 2; i < 1000; ++i) {
    std::snprintf(name, sizeof name, "ftp/pub/games/file[%03u].tmp", i);
    tree_.MakeFile(name);
  }
  EXPECT_FALSE(fs_.MakeUniqueFileName(real));
  EXPECT_EQ(real, Real("pub/games/"));
}

TEST_F(FileSystemTest, UsedSpaceCountsRegularFilesOnly) {
  tree_.MakeFile("ftp/pub/games/a.bin", std::string(1000, 'a'));
  tree_.MakeDirectory("ftp/pub/games/deeper");
  tree_.MakeFile("ftp/pub/games/deeper/b.bin", std::string(20, 'b'));
  // Links are not followed: neither the secret outside nor a loop back to the home.
  ASSERT_TRUE(CreateSymbolicLink(tree_.Path("ftp2"), tree_.Path("ftp/pub/outside")));
  ASSERT_TRUE(CreateSymbolicLink(home_, tree_.Path("ftp/pub/loop")));
  fs_.ComputeUsedSpace();
  EXPECT_EQ(fs_.GetUsedBytes(), 3u + 1000u + 20u);  // directories count 0

  // A 5 GB (sparse) file counts as 5 GB.
  {
    CFile big;
    ASSERT_TRUE(big.Open(Real("big"), CFile::Mode::kWriteNew));
    ASSERT_EQ(SeekFile(big, 5'000'000'000LL - 1, 0), 5'000'000'000ULL - 1);
    ASSERT_TRUE(big.Write("x", 1));
  }
  fs_.ComputeUsedSpace();
  EXPECT_EQ(fs_.GetUsedBytes(), 5'000'000'000ULL + 1023u);

  fs_.Reset();
  EXPECT_EQ(fs_.GetUsedBytes(), 0u);
}

TEST_F(FileSystemTest, UsedSpaceWalkIsBoundedInDepth) {
  std::string relative = "ftp";
  for (size_t level = 0; level < kMaxDirectoryDepth + 4; ++level) {
    relative += "/d";
    tree_.MakeDirectory(relative);
    if (level == 10) tree_.MakeFile(relative + "/shallow", "12");
  }
  tree_.MakeFile(relative + "/too-deep", "123456");
  fs_.ComputeUsedSpace();
  EXPECT_EQ(fs_.GetUsedBytes(), 3u + 2u);
}

TEST(FileSystem, InvalidRenameCharacters) {
  for (const char* name : {"a\\b", "*", "a?", "\"", "c:", "<", ">", "|"}) {
    EXPECT_TRUE(HasInvalidNameChars(name)) << name;
  }
  for (const char* name : {"", "a.txt", "dir/b.txt", "x y", "[1]"}) {
    EXPECT_FALSE(HasInvalidNameChars(name)) << name;
  }
}

TEST_F(FileSystemTest, ClientCodePageNamesBecomeUtf8Paths) {
  tree_.MakeDirectory("ftp/caf\xC3\xA9");   // "café"
  tree_.MakeDirectory("ftp/\xE4\xB8\xAD");  // "中"
  std::string real;

  ASSERT_TRUE(fs_.SetCodePage(1252));
  EXPECT_EQ(fs_.ResolvePath("caf\xE9", true, real), ResolveExists);
  EXPECT_EQ(real, Real("caf\xC3\xA9/"));
  EXPECT_EQ(fs_.ResolvePath("x\x81", false, real), ResolveInvalid);  // 0x81 is unassigned
  ASSERT_TRUE(fs_.ChangeDirectory("caf\xE9"));
  EXPECT_EQ(fs_.GetCurrentDir(), "/caf\xC3\xA9/");
  std::string shown;
  ASSERT_TRUE(fs_.GetClientCurrentDir(shown));
  EXPECT_EQ(shown, "/caf\xE9/");

  ASSERT_TRUE(fs_.SetCodePage(936));
  EXPECT_TRUE(fs_.ChangeDirectory("/\xD6\xD0"));
  EXPECT_EQ(fs_.GetCurrentRealDir(), Real("\xE4\xB8\xAD/"));
  // 0x5C is the second byte of this double-byte character, not a separator.
  EXPECT_EQ(fs_.ResolvePath("/\x81\x5C", false, real), ResolveMissing);
  EXPECT_EQ(real, Real("\xE4\xB9\x97"));
  EXPECT_EQ(fs_.ResolvePath("/\x81", false, real), ResolveInvalid);  // a lone lead byte

  // Without a code page the bytes pass through unchanged.
  ASSERT_TRUE(fs_.SetCodePage(0));
  EXPECT_EQ(fs_.ResolvePath("/caf\xE9", false, real), ResolveMissing);
  EXPECT_EQ(real, Real("caf\xE9"));
}

// SECURITY: whatever a client types, every real path handed out is the home or below it.
TEST_F(FileSystemTest, RandomPathsNeverLeaveTheHome) {
  tree_.MakeDirectory("ftp/a");
  tree_.MakeDirectory("ftp/a/b");
  tree_.MakeDirectory("ftp/..x");
  tree_.MakeDirectory("ftp/pub/...");

  std::mt19937 random(20261210);
  const std::vector<std::string> pieces = {".",
                                           "..",
                                           "/",
                                           "\\",
                                           "//",
                                           "",
                                           "a",
                                           "b",
                                           "pub",
                                           "games",
                                           "ftp2",
                                           "...",
                                           "..x",
                                           "..\\",
                                           "../",
                                           "./",
                                           ".\\",
                                           "\\..",
                                           "/..",
                                           "x.zip",
                                           "*",
                                           "?",
                                           " ",
                                           std::string(300, 'L'),
                                           std::string(5000, 'M')};
  const auto randomBytes = [&random] {
    std::string bytes(random() % 6 + 1, ' ');
    for (char& c : bytes) c = static_cast<char>(random() % 255 + 1);  // never NUL
    return bytes;
  };
  const auto makePath = [&] {
    std::string path;
    const size_t parts = random() % 9;
    for (size_t i = 0; i < parts; ++i) {
      if (random() % 6 == 0) {
        path += randomBytes();
      } else {
        path += pieces[random() % pieces.size()];
      }
      if (random() % 3 != 0) path += (random() % 2 == 0) ? "/" : "\\";
    }
    return path;
  };
  const auto checkInside = [this](const std::string& real, const std::string& path) {
    const bool inside =
        real == home_ + "/" ||
        (real.starts_with(home_ + "/") && real.find("/../") == std::string::npos &&
         !real.ends_with("/..") && real.find("/./") == std::string::npos && !real.ends_with("/."));
    EXPECT_TRUE(inside) << "path [" << path << "] gave [" << real << "]";
    return inside;
  };

  const uint32_t codePages[] = {0, 936, 1252};
  size_t changed = 0;
  for (int round = 0; round < 60000; ++round) {
    if (round % 20000 == 0) {
      ASSERT_TRUE(fs_.SetCodePage(codePages[round / 20000]));
    }
    const std::string path = makePath();
    const bool isDirectory = random() % 2 == 0;
    std::string real;
    ResolveResult result = fs_.ResolvePath(path, isDirectory, real, nullptr, random() % 2 == 0);
    if (result != ResolveInvalid && !checkInside(real, path)) return;
    result = fs_.ResolveForRemoval(path, isDirectory, real);
    if (result != ResolveInvalid && !checkInside(real, path)) return;
    if (random() % 4 == 0) {
      if (fs_.ChangeDirectory(path)) ++changed;
      if (!fs_.GetCurrentRealDir().empty() && !checkInside(fs_.GetCurrentRealDir(), path)) return;
      ASSERT_TRUE(fs_.GetCurrentDir().starts_with("/"));
    }
    if (random() % 16 == 0) fs_.ChangeToParent();
    if (random() % 64 == 0) {
      ASSERT_TRUE(fs_.MakeUniqueFileName(real));
      if (!checkInside(real, path)) return;
    }
  }
  EXPECT_GT(changed, 100u);  // the walk did move around the tree
  EXPECT_TRUE(tree_.Exists("ftp2/secret"));
}

}  // namespace
}  // namespace zelm
