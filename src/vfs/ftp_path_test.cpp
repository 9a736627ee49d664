#include "vfs/ftp_path.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/host.h"

namespace zelm {
namespace {

struct PartsCase {
  const char* text;
  const char* server;
  const char* bareServer;
  const char* drive;
  const char* directory;
  const char* fileName;
};

TEST(FtpPath, SplitsTextIntoServerDriveDirectoryAndName) {
  const PartsCase cases[] = {
      {"\\\\srv\\share\\x", "\\\\srv\\", "srv", "share\\", "", "x"},
      {"\\\\srv\\share\\a\\b.txt", "\\\\srv\\", "srv", "share\\", "a\\", "b.txt"},
      {"\\\\srv", "\\\\srv", "srv", "", "", ""},
      {"file://host/C:/x", "file://host/", "host", "C:/", "", "x"},
      {"file://host", "file://host", "host", "", "", ""},
      {"file://", "", "", "", "file://", ""},
      {"C:\\x.txt", "", "", "C:\\", "", "x.txt"},
      {"C:/games/x", "", "", "C:/", "games/", "x"},
      {"C:\\ftp\\a\\", "", "", "C:\\", "ftp\\a\\", ""},
      {"\\x", "", "", "", "", "\\x"},
      {"a/b\\c/d", "", "", "", "a/b\\", "c/d"},
      {"/pub/games/", "", "", "", "/pub/games/", ""},
      {"", "", "", "", "", ""},
  };
  for (const PartsCase& c : cases) {
    SCOPED_TRACE(c.text);
    const CFtpPath path(c.text);
    EXPECT_EQ(path.GetServer(), c.server);
    EXPECT_EQ(path.GetServer(true), c.bareServer);
    EXPECT_EQ(path.GetDrive(), c.drive);
    EXPECT_EQ(path.GetDirectory(), c.directory);
    EXPECT_EQ(path.GetFileName(), c.fileName);
    EXPECT_EQ(path.GetServer() + path.GetDrive() + path.GetDirectory() + path.GetFileName(),
              c.text);
  }
}

TEST(FtpPath, SeparatorsAndDirectoryCounts) {
  const struct {
    const char* text;
    char separator;
    size_t count;
  } cases[] = {
      {"", '\\', 0},          {"a/b", '/', 1},           {"a/b\\c", '/', 1},
      {"a\\b/c", '\\', 1},    {"C:\\ftp\\a\\", '\\', 2}, {"\\a\\b\\", '\\', 3},
      {"C:\\x.txt", '\\', 0}, {"/pub/a/", '/', 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const CFtpPath path(c.text);
    EXPECT_EQ(path.GetSeparator(), c.separator);
    EXPECT_EQ(path.GetDirectoryCount(), c.count);
  }

  const struct {
    const char* text;
    char sep;
    const char* result;
  } added[] = {
      {"", '\\', ""},     {"x/", '\\', "x/"}, {"x\\", '/', "x\\"},
      {"a/b", 0, "a/b/"}, {"ab", 0, "ab\\"},  {"ab", '/', "ab/"},
  };
  for (const auto& c : added) {
    std::string text = c.text;
    AddSeparator(text, c.sep);
    EXPECT_EQ(text, c.result) << c.text;
  }
}

TEST(FtpPath, DirectoryComponents) {
  const CFtpPath home("C:\\ftp\\a\\b\\");
  EXPECT_EQ(home.GetDirectoryComponent(0, false), "C:\\ftp");
  EXPECT_EQ(home.GetDirectoryComponent(1, false), "a");
  EXPECT_EQ(home.GetDirectoryComponent(2, false), "b");
  EXPECT_EQ(home.GetDirectoryComponent(3, false), "");
  EXPECT_EQ(home.GetDirectoryComponent(1, true), "C:\\ftp\\a");
  EXPECT_EQ(home.GetDirectoryComponent(2, true), "C:\\ftp\\a\\b");

  const CFtpPath rooted("\\a\\b\\");
  EXPECT_EQ(rooted.GetDirectoryComponent(0, false), "");
  EXPECT_EQ(rooted.GetDirectoryComponent(1, false), "a");

  const CFtpPath bare("C:\\");
  EXPECT_EQ(bare.GetDirectoryComponent(0, false), "C:\\");
  EXPECT_EQ(bare.GetDirectoryComponent(1, false), "");
}

TEST(FtpPath, SettersRebuildTheText) {
  CFtpPath path("\\\\PC\\C$\\games\\x.txt");
  path.SetServer("");
  EXPECT_EQ(path.GetText(), "C:\\games\\x.txt");
  path.SetServer("srv");
  EXPECT_EQ(path.GetText(), "\\\\srv\\C:\\games\\x.txt");

  CFtpPath dollar("\\\\PC\\D$\\");
  dollar.SetServer("");
  EXPECT_EQ(dollar.GetText(), "D:\\");
  CFtpPath noDrive("\\\\PC\\D$");  // "D$" is a file name here: no drive part
  noDrive.SetServer("");
  EXPECT_EQ(noDrive.GetText(), "\\\\PC\\D$");

  CFtpPath share("\\\\PC\\data\\x");  // a share that is no drive keeps its text
  share.SetServer("");
  EXPECT_EQ(share.GetText(), "\\\\PC\\data\\x");

  CFtpPath file("C:\\ftp\\a.txt");
  file.SetFileName("b.txt");
  EXPECT_EQ(file.GetText(), "C:\\ftp\\b.txt");
  file.SetDrive("D:");
  EXPECT_EQ(file.GetText(), "D:\\ftp\\b.txt");
  file.SetDirectory("\\x/y");
  EXPECT_EQ(file.GetText(), "D:\\x\\y\\b.txt");
  file.AppendDirectory("z");
  EXPECT_EQ(file.GetText(), "D:\\x\\y\\z\\b.txt");
  file.AppendDirectory("");
  EXPECT_EQ(file.GetText(), "D:\\x\\y\\z\\b.txt");
  file.SetSeparator('/');
  EXPECT_EQ(file.GetText(), "D:/x/y/z/b.txt");
  file.SetSeparator('\\');
  EXPECT_EQ(file.GetText(), "D:\\x\\y\\z\\b.txt");

  CFtpPath slashes("/pub/a.txt");
  slashes.AppendDirectory("/new");
  EXPECT_EQ(slashes.GetText(), "/pub/new/a.txt");
}

TEST(FtpPath, CombineAppendsTheFtpComponentsToTheHome) {
  CFtpPath home("C:\\ftp\\");
  home.Combine(CFtpPath("\\pub\\games\\"));
  EXPECT_EQ(home.GetText(), "C:\\ftp\\pub\\games\\");

  CFtpPath file("C:\\ftp\\");
  file.Combine(CFtpPath("\\pub\\"));
  file.SetFileName("x.zip");
  EXPECT_EQ(file.GetText(), "C:\\ftp\\pub\\x.zip");

  CFtpPath empty;
  empty.Combine(CFtpPath("\\pub\\games\\"));
  EXPECT_EQ(empty.GetText(), "pub\\games\\");
}

TEST(FtpPath, IsLocalNamesThisComputer) {
  EXPECT_TRUE(CFtpPath("C:\\x").IsLocal());
  EXPECT_FALSE(CFtpPath("\\\\some-other-pc-name\\C$\\x").IsLocal());
  const std::string me = GetComputerName();
  if (!me.empty()) {
    std::string upper = me;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(CFtpPath("\\\\" + upper + "\\D$\\share").IsLocal());
  }
}

struct NormalizeCase {
  const char* base;
  const char* path;
  const char* result;  // nullptr: fails
};

TEST(NormalizePath, ResolvesDotsAgainstTheBase) {
  const NormalizeCase cases[] = {
      {"/pub/a", "x", "/pub/a/x"},
      {"/pub/a", "../x", "/pub/x"},
      {"/pub/a", "../../../x", "/x"},
      {"/pub/a", ".", "/pub/a"},
      {"/pub/a", "..", "/pub/"},
      {"/pub/a", "a//b", nullptr},
      {"/pub/a/", "x", "/pub/a/x"},
      {"/pub/a/", "../x", "/pub/x"},
      {"/", "/c/./d/../e", "/c/e"},
      {"/", "/..", "/"},
      {"/", "/", "/"},
      {"/pub", "/", "/"},
      {"/", "./x", "/x"},
      {"/", ".//x", "/x"},
      {"/", "x", "/x"},
      {"/", "//x", "/x"},
      {"/a", "../../b", "/b"},
      {"/", "a\\..\\b", "/a\\..\\b"},
      {"/", "/a/b/..", "/a/"},
      {"/", "/a/.", "/a"},
      {"/", "/a/./", "/a"},
      {"/", "/a/../..", "/"},
      {"/", "/x/../../y", "/y"},
      {"/", "/../../y", "/y"},
      {"/", "/a/...", "/a/..."},
      {"/", "/a/..b/c", "/a/..b/c"},
      {"/", "/a/b/", "/a/b/"},
      {"/", "/a//", nullptr},
      {"/", "///", nullptr},
  };
  for (const NormalizeCase& c : cases) {
    SCOPED_TRACE(std::string(c.base) + " + " + c.path);
    PathNormalizeRequest request{c.path, "/", c.base, '/'};
    std::string out = "untouched";
    const bool ok = NormalizePath(request, out);
    if (c.result == nullptr) {
      EXPECT_FALSE(ok);
      EXPECT_EQ(out, "untouched");
    } else {
      EXPECT_TRUE(ok);
      EXPECT_EQ(out, c.result);
    }
  }
}

}  // namespace
}  // namespace zelm
