#include "vfs/file_helpers.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "vfs/test_tree.h"

namespace zelm {
namespace {

TEST(FileHelpers, ExistenceTellsFilesFromDirectories) {
  TestTree tree;
  tree.MakeDirectory("data");
  tree.MakeFile("data/a.txt", "12345");
  const std::string dir = tree.Path("data");
  const std::string file = tree.Path("data/a.txt");

  EXPECT_TRUE(PathExists(file, 0));
  EXPECT_FALSE(PathExists(dir, 0));
  EXPECT_TRUE(DirectoryExists(dir));
  EXPECT_TRUE(DirectoryExists(dir + "/"));  // one trailing separator is dropped
  EXPECT_FALSE(DirectoryExists(file));
  EXPECT_TRUE(PathExists(file, kFileAttributeNormal));
  EXPECT_FALSE(PathExists(tree.Path("data/missing"), kFileAttributeDirectory));
  EXPECT_FALSE(PathExists("", kFileAttributeDirectory));
  EXPECT_TRUE(DirectoryExists("/"));
  // No wildcards on Linux: "*" is a name character.
  EXPECT_FALSE(PathExists(tree.Path("data/*.txt"), 0));
  tree.MakeFile("data/*.txt");
  EXPECT_TRUE(PathExists(tree.Path("data/*.txt"), 0));

  EXPECT_EQ(GetFileSizeByName(file), 5u);
  EXPECT_EQ(GetFileSizeByName(dir), 0u);
  EXPECT_EQ(GetFileSizeByName(tree.Path("missing")), 0u);
}

TEST(FileHelpers, DirectoryEmptinessAndTreeCreation) {
  TestTree tree;
  tree.MakeDirectory("empty");
  tree.MakeDirectory("full");
  tree.MakeFile("full/.hidden");
  EXPECT_TRUE(IsDirectoryEmpty(tree.Path("empty")));
  EXPECT_FALSE(IsDirectoryEmpty(tree.Path("full")));
  EXPECT_FALSE(IsDirectoryEmpty(tree.Path("full/")));
  EXPECT_TRUE(IsDirectoryEmpty(tree.Path("missing")));
  EXPECT_TRUE(IsDirectoryEmpty(""));

  EXPECT_TRUE(CreateDirectoryTree(tree.Path("a/b/c")));
  EXPECT_TRUE(DirectoryExists(tree.Path("a/b/c")));
  EXPECT_TRUE(CreateDirectoryTree(tree.Path("a/b/c/")));  // everything exists already

  // A level that cannot be created ends the walk; the levels made before it stay.
  tree.MakeFile("blocker");
  EXPECT_FALSE(CreateDirectoryTree(tree.Path("blocker/y")));
  EXPECT_FALSE(CreateDirectoryTree(tree.Path("new1/new2/" + std::string(300, 'n') + "/x")));
  EXPECT_TRUE(DirectoryExists(tree.Path("new1/new2")));
  EXPECT_FALSE(CreateDirectoryTree("relative/path"));
}

TEST(FileHelpers, LinksBelowTheHomeAreMetOnTheWayAndInTheLastPlace) {
  TestTree tree;
  tree.MakeDirectory("home");
  tree.MakeDirectory("home/plain");
  tree.MakeDirectory("home/plain/deeper");
  tree.MakeFile("home/plain/a.txt");
  tree.MakeDirectory("outside");
  tree.MakeFile("outside/secret.txt");
  namespace fs = std::filesystem;
  fs::create_symlink(tree.Path("outside"), tree.Path("home/pub"));
  fs::create_symlink(tree.Path("outside/secret.txt"), tree.Path("home/plain/linked.txt"));
  fs::create_symlink(tree.Path("outside/none.txt"), tree.Path("home/dangling.txt"));
  fs::create_symlink(tree.Path("home"), tree.Path("homelink"));
  const std::string home = tree.Path("home");
  const struct {
    std::string path;
    bool meets;
  } cases[] = {
      {home, false},
      {home + "/", false},
      {home + "/plain/a.txt", false},
      {home + "/plain/deeper/", false},
      {home + "/plain/new/newer/x", false},  // nothing exists below the missing level
      {home + "/pub", true},
      {home + "/pub/", true},
      {home + "/pub/secret.txt", true},
      {home + "/pub/new.txt", true},
      {home + "/plain/linked.txt", true},
      {home + "/dangling.txt", true},
      {tree.Path("outside/secret.txt"), true},  // not below the home at all
      {home + "2/x", true},                     // a sibling that shares the home's text
      {"", true},
  };
  for (const auto& c : cases) EXPECT_EQ(PathMeetsLinkBelow(home, c.path), c.meets) << c.path;
  // The home's own levels are the operator's: a home reached through a link is no fault.
  EXPECT_FALSE(PathMeetsLinkBelow(tree.Path("homelink"), tree.Path("homelink/plain/a.txt")));
  EXPECT_TRUE(PathMeetsLinkBelow(tree.Path("homelink"), tree.Path("homelink/pub/secret.txt")));
}

TEST(FileHelpers, CaseInsensitiveComparisons) {
  const struct {
    const char* a;
    const char* b;
    bool same;
    bool prefix;
  } cases[] = {
      {"C:\\Games", "c:\\games\\", true, true},
      {"C:\\Games\\", "c:\\games", true, false},
      {"C:\\Games", "C:\\Games\\\\", false, true},
      {"C:\\Games", "C:\\Gamez", false, false},
      {"C:\\pub", "C:\\PUB\\x", false, true},
      {"C:\\pub", "C:\\pub", true, false},
      {"/srv/ftp", "/srv/ftp/", true, true},
      {"", "", true, false},
      {"", "x", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " | " + c.b);
    EXPECT_EQ(SamePathNoCase(c.a, c.b), c.same);
    EXPECT_EQ(IsPrefixNoCase(c.a, c.b), c.prefix);
  }
}

TEST(FileHelpers, CharacterAndPrefixHelpers) {
  EXPECT_TRUE(CharEquals('a', 'A', false));
  EXPECT_FALSE(CharEquals('a', 'A', true));
  EXPECT_TRUE(CharEquals('/', '/', true));
  EXPECT_TRUE(FindCharInSet("\\/", '/'));
  EXPECT_FALSE(FindCharInSet("\\/", 'a'));

  const struct {
    const char* text;
    const char* prefix;
    const char* skipped;
    bool matches;
  } cases[] = {
      {"./x", "./", "x", true},   {".x", "./", ".x", false}, {"ABC", "ab", "C", true},
      {"ab", "abc", "ab", false}, {"ab", "", "ab", false},   {"", "a", "", false},
      {"ab", "ab", "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " | " + c.prefix);
    EXPECT_EQ(SkipPrefix(c.text, c.prefix), c.skipped);
    EXPECT_EQ(StartsWith(c.text, c.prefix).has_value(), c.matches);
  }
}

}  // namespace
}  // namespace zelm
