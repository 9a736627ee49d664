#include "vfs/shell_link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/small_file.h"
#include "vfs/test_tree.h"

namespace zelm {
namespace {

// The smallest shortcut lnkinfo accepts: C:\test\a.txt, LinkInfo and the description
// "Test file a" (a hand-made reference file, not produced by the writer).
const std::vector<uint8_t> kMinimalSample = {
    0x4c, 0x00, 0x00, 0x00, 0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xc0, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x46, 0x86, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x3c, 0x00, 0x00, 0x00, 0x1c, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x1c, 0x00,
    0x00, 0x00, 0x2d, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x3b, 0x00, 0x00, 0x00, 0x11,
    0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x78, 0x56, 0x34, 0x12, 0x10, 0x00, 0x00, 0x00,
    0x00, 0x43, 0x3a, 0x5c, 0x74, 0x65, 0x73, 0x74, 0x5c, 0x61, 0x2e, 0x74, 0x78, 0x74, 0x00,
    0x00, 0x0b, 0x00, 0x54, 0x00, 0x65, 0x00, 0x73, 0x00, 0x74, 0x00, 0x20, 0x00, 0x66, 0x00,
    0x69, 0x00, 0x6c, 0x00, 0x65, 0x00, 0x20, 0x00, 0x61, 0x00, 0x00, 0x00, 0x00, 0x00,
};
constexpr size_t kSampleLinkInfo = 0x4C;
constexpr size_t kSampleBasePath = 0x79;
constexpr size_t kSampleName = 0x88;
constexpr size_t kSampleTerminal = 0xA0;

std::string Bytes(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

void Put16(std::string& s, uint32_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>(v >> 8 & 0xFF);
}
void Put32(std::string& s, uint32_t v) {
  Put16(s, v & 0xFFFF);
  Put16(s, v >> 16);
}
void Set32(std::string& s, size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[offset + i] = static_cast<char>(v >> (8 * i) & 0xFF);
}
std::string Wide(std::u16string_view text) {
  std::string s;
  for (char16_t c : text) Put16(s, c);
  Put16(s, 0);
  return s;
}

// A file-entry item written the way Windows XP writes it: 8.3 primary name, version 3
// extension block with the long name (or no block at all when `longName` is empty).
std::string FileEntry(uint8_t itemClass, std::string shortName, std::u16string_view longName) {
  std::string item;
  Put16(item, 0);
  item += static_cast<char>(itemClass);
  item += '\0';
  Put32(item, 0);       // size
  Put32(item, 0x3C21);  // FAT date and time
  Put16(item, itemClass == 0x31 ? 0x10 : 0x20);
  item += shortName;
  item += '\0';
  if (item.size() % 2) item += '\0';
  if (!longName.empty()) {
    const size_t ext = item.size();
    Put16(item, static_cast<uint32_t>(0x14 + 2 * (longName.size() + 1) + 2));
    Put16(item, 3);
    Put32(item, 0xBEEF0004);
    Put32(item, 0);
    Put32(item, 0);
    Put16(item, 0x14);
    Put16(item, 0);
    item += Wide(longName);
    Put16(item, static_cast<uint32_t>(ext));
  }
  item[0] = static_cast<char>(item.size() & 0xFF);
  item[1] = static_cast<char>(item.size() >> 8);
  return item;
}

// A shortcut holding only an ID list: My Computer, D:\, "Chess Games" (8.3 name CHESSG~1),
// then "a.txt" with no extension block.
std::string IdListOnlyShortcut() {
  std::string list;
  list += std::string("\x14\x00\x1f\x50", 4);
  list += std::string("\xe0\x4f\xd0\x20\xea\x3a\x69\x10\xa2\xd8\x08\x00\x2b\x30\x30\x9d", 16);
  std::string volume(
      "\x19\x00\x2f"
      "D:\\",
      6);
  volume.resize(25, '\0');
  list += volume;
  list += FileEntry(0x31, "CHESSG~1", u"Chess Games");
  list += FileEntry(0x32, "a.txt", u"");
  Put16(list, 0);
  std::string file = Bytes(kMinimalSample).substr(0, kSampleLinkInfo);
  Set32(file, 0x14, 0x81);  // HasLinkTargetIDList | IsUnicode
  Put16(file, static_cast<uint32_t>(list.size()));
  file += list;
  Put32(file, 0);
  return file;
}

bool Parse(const std::string& bytes, ShellLinkContents& contents, uint32_t codePage = 0) {
  CCodePage ansi = ShortcutCodePage(codePage);
  return ParseShellLink(bytes, ansi, contents);
}

std::string Build(const ShellLinkTarget& target, std::string_view description) {
  CCodePage ansi = ShortcutCodePage(0);
  std::string bytes;
  EXPECT_TRUE(BuildShellLink(target, description, ansi, bytes)) << target.path;
  return bytes;
}

TEST(ShellLinkParse, ReadsTheReferenceFilesAndRejectsEveryTruncation) {
  ShellLinkContents contents;
  ASSERT_TRUE(Parse(Bytes(kMinimalSample), contents));
  EXPECT_EQ(contents.target, "C:\\test\\a.txt");
  EXPECT_EQ(contents.description, "Test file a");
  EXPECT_EQ(contents.fileAttributes, 0x20u);

  const std::string idList = IdListOnlyShortcut();
  ASSERT_TRUE(Parse(idList, contents));
  EXPECT_EQ(contents.target, "D:\\Chess Games\\a.txt");

  // Cut anywhere before the terminal block, each structure overruns the file; a missing
  // terminal block itself is tolerated.
  ASSERT_EQ(kMinimalSample.size(), kSampleTerminal + 4);
  for (const std::string& file : {Bytes(kMinimalSample), idList}) {
    for (size_t length = 0; length < file.size() - 4; ++length) {
      EXPECT_FALSE(Parse(file.substr(0, length), contents)) << length;
    }
    EXPECT_TRUE(Parse(file.substr(0, file.size() - 4), contents));
  }
}

TEST(ShellLinkParse, RejectsBrokenStructures) {
  const struct {
    const char* what;
    size_t offset;
    uint32_t value;
  } cases[] = {
      {"header size", 0x00, 0x4D},
      {"class identifier", 0x04, 0x00021402},
      {"link info size past the end", kSampleLinkInfo, 0x1000},
      {"link info size below its header", kSampleLinkInfo, 0x10},
      {"link info header size", kSampleLinkInfo + 4, 0x20},
      {"link info header past its size", kSampleLinkInfo + 4, 0x40},
      {"volume offset outside", kSampleLinkInfo + 12, 0x3C},
      {"volume offset inside the header", kSampleLinkInfo + 12, 0x04},
      {"volume size past the link info", 0x68, 0x40},
      {"base path offset outside", kSampleLinkInfo + 16, 0xFFFFFFFF},
      {"suffix offset outside", kSampleLinkInfo + 24, 0x3C},
      {"name count past the end", kSampleName, 0x0E},
  };
  for (const auto& c : cases) {
    std::string file = Bytes(kMinimalSample);
    if (c.offset == kSampleName) {
      file[c.offset] = static_cast<char>(c.value);
    } else {
      Set32(file, c.offset, c.value);
    }
    ShellLinkContents contents;
    EXPECT_FALSE(Parse(file, contents)) << c.what;
  }

  // No NUL before the end of the link info: the base path runs into the suffix's field.
  std::string file = Bytes(kMinimalSample);
  for (size_t i = kSampleBasePath; i < kSampleName; ++i) {
    if (file[i] == '\0') file[i] = 'x';
  }
  ShellLinkContents contents;
  EXPECT_FALSE(Parse(file, contents));

  // ID list: an item overrunning the list, an item too short to hold its class, no
  // terminal item.
  const std::string idList = IdListOnlyShortcut();
  const size_t firstItem = kSampleLinkInfo + 2;
  for (const uint16_t size : {0xFF00, 0x0002, 0x0001}) {
    std::string broken = idList;
    broken[firstItem] = static_cast<char>(size & 0xFF);
    broken[firstItem + 1] = static_cast<char>(size >> 8);
    EXPECT_FALSE(Parse(broken, contents)) << size;
  }
  std::string unterminated = idList;
  const uint16_t listSize =
      static_cast<uint16_t>(static_cast<uint8_t>(idList[kSampleLinkInfo]) |
                            static_cast<uint8_t>(idList[kSampleLinkInfo + 1]) << 8);
  unterminated[kSampleLinkInfo] = static_cast<char>((listSize - 2) & 0xFF);
  unterminated[kSampleLinkInfo + 1] = static_cast<char>((listSize - 2) >> 8);
  EXPECT_FALSE(Parse(unterminated, contents));
}

TEST(ShellLinkParse, TargetsThatAreNoPathOrCannotBeDecodedLeaveTheTargetEmpty) {
  ShellLinkContents contents;
  // A root other than My Computer (the Control Panel's class identifier).
  std::string panel = IdListOnlyShortcut();
  panel[kSampleLinkInfo + 2 + 4] = '\x21';
  ASSERT_TRUE(Parse(panel, contents));
  EXPECT_EQ(contents.target, "");

  // The 8-bit strings follow the configured code page; a byte the code page lacks (0x81 in
  // 1252) decodes to nothing rather than to a guess.
  std::string ansi = Bytes(kMinimalSample);
  ansi[kSampleBasePath + 8] = '\xE9';  // "C:\test\\xE9.txt"
  ASSERT_TRUE(Parse(ansi, contents));
  EXPECT_EQ(contents.target, "C:\\test\\\xC3\xA9.txt");
  ASSERT_TRUE(Parse(ansi, contents, 1251));
  EXPECT_EQ(contents.target, "C:\\test\\\xD0\xB9.txt");
  ansi[kSampleBasePath + 8] = '\x81';
  ASSERT_TRUE(Parse(ansi, contents));
  EXPECT_EQ(contents.target, "");

  // LinkInfo marked to be ignored, no ID list: no target.
  std::string ignored = Bytes(kMinimalSample);
  Set32(ignored, 0x14, 0x186);
  ASSERT_TRUE(Parse(ignored, contents));
  EXPECT_EQ(contents.target, "");
}

TEST(ShellLinkParse, ReadsNetworkAndEnvironmentTargets) {
  // Link information with a network part: \\server\share plus the suffix games\x.txt.
  const std::string netName("\\\\server\\share\0", 15);
  std::string network;
  Put32(network, static_cast<uint32_t>(0x14 + netName.size()));
  Put32(network, 2);     // ValidNetType
  Put32(network, 0x14);  // NetNameOffset
  Put32(network, 0);
  Put32(network, 0x00020000);
  network += netName;
  std::string info;
  Put32(info, 0);  // size, set below
  Put32(info, 0x1C);
  Put32(info, 2);  // CommonNetworkRelativeLinkAndPathSuffix
  Put32(info, 0);
  Put32(info, 0);
  Put32(info, 0x1C);
  Put32(info, static_cast<uint32_t>(0x1C + network.size()));
  info += network;
  info += std::string("games\\x.txt\0", 12);
  Set32(info, 0, static_cast<uint32_t>(info.size()));

  // An environment-variable block: the target keeps its variables.
  std::string environment(0x314, '\0');
  Set32(environment, 0, 0x314);
  Set32(environment, 4, 0xA0000001);
  const std::string variable = "%WINDIR%\\notepad.exe";
  environment.replace(8, variable.size(), variable);

  std::string file = Bytes(kMinimalSample).substr(0, kSampleLinkInfo);
  Set32(file, 0x14, 0x202);  // HasLinkInfo | HasExpString
  file += info + environment;
  Put32(file, 0);
  ShellLinkContents contents;
  ASSERT_TRUE(Parse(file, contents));
  EXPECT_EQ(contents.target, "\\\\server\\share\\games\\x.txt");
  Set32(file, 0x14, 0x302);  // the link information ignored: the environment block counts
  ASSERT_TRUE(Parse(file, contents));
  EXPECT_EQ(contents.target, variable);
  // A network name offset outside its structure.
  Set32(file, kSampleLinkInfo + 0x1C + 8, 0x40);
  Set32(file, 0x14, 0x202);
  EXPECT_FALSE(Parse(file, contents));
}

TEST(ShellLinkBuild, WrittenShortcutsReadBackThroughLinkInfoAndThroughTheIdList) {
  const struct {
    std::string path;
    bool isDirectory;
    const char* stored;
    bool hasIdList;
  } cases[] = {
      {"D:\\games\\Chess", true, "D:\\games\\Chess", true},
      {"d:/games//./Chess/", true, "D:\\games\\Chess", true},
      {"E:\\docs\\report.txt", false, "E:\\docs\\report.txt", true},
      {"D:\\", true, "D:\\", true},
      {"D:\\games\\\xC5\xA0\x61\x63hy \xE8\xB1\xA1\xE6\xA3\x8B", true,
       "D:\\games\\\xC5\xA0\x61\x63hy \xE8\xB1\xA1\xE6\xA3\x8B", true},
      {"D:\\\xF0\x9F\x98\x80.txt", false, "D:\\\xF0\x9F\x98\x80.txt", true},
      {"/srv/games/Chess/", true, "/srv/games/Chess", false},
      {"/srv/\xD1\x88\xD0\xB0\xD1\x85.txt", false, "/srv/\xD1\x88\xD0\xB0\xD1\x85.txt", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    ShellLinkTarget target;
    target.path = c.path;
    target.isDirectory = c.isDirectory;
    target.size = 1234;
    target.time = 1700000000;
    const std::string bytes = Build(target, "Chess");
    ShellLinkContents contents;
    ASSERT_TRUE(Parse(bytes, contents));
    EXPECT_EQ(contents.target, c.stored);
    EXPECT_EQ(contents.description, "Chess");
    EXPECT_EQ(contents.fileAttributes, c.isDirectory ? 0x10u : 0x20u);
    EXPECT_EQ((contents.linkFlags & 0x1) != 0, c.hasIdList);
    // The ID list alone names the same path (the link information marked to be ignored).
    if (c.hasIdList) {
      std::string idOnly = bytes;
      Set32(idOnly, 0x14, contents.linkFlags | 0x100);
      ASSERT_TRUE(Parse(idOnly, contents));
      EXPECT_EQ(contents.target, c.stored);
    }
  }
}

TEST(ShellLinkBuild, RefusesTargetsWithoutAPathForm) {
  for (const std::string path :
       {"", "games\\Chess", "D:games", "\\\\server\\share\\x", "D:\\games\\..\\x", "/srv/\xFF"}) {
    ShellLinkTarget target;
    target.path = path;
    CCodePage ansi = ShortcutCodePage(0);
    std::string bytes;
    EXPECT_FALSE(BuildShellLink(target, "x", ansi, bytes)) << path;
  }
}

class ShortcutFiles : public ::testing::Test {
 protected:
  ShortcutFiles() {
    tree_.MakeDirectory("d");
    tree_.MakeDirectory("d/games");
    tree_.MakeDirectory("d/games/Chess");
    tree_.MakeFile("d/games/report.txt", "12345");
    tree_.MakeDirectory("links");
    context_.drives = [this](char drive) { return drive == 'D' ? tree_.Path("d") : ""; };
  }

  std::vector<std::string> Names(const std::string& relative) const {
    std::vector<DirectoryEntry> entries;
    EXPECT_TRUE(ReadDirectory(tree_.Path(relative), LinkPolicy::kNoFollow, entries));
    std::vector<std::string> names;
    for (const auto& e : entries) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    return names;
  }

  TestTree tree_;
  ShortcutContext context_;
};

TEST_F(ShortcutFiles, ReadShortcutReportsTheTargetsState) {
  const std::string linuxTarget = tree_.Path("d/games/report.txt");
  const struct {
    std::string target;
    int state;
  } cases[] = {
      {"D:\\games\\Chess", kShortcutDirectory},
      {"D:\\games\\report.txt", kShortcutFile},
      {linuxTarget, kShortcutFile},
      {"D:\\games\\gone", kShortcutMissing},
      {"C:\\unmapped\\drive", kShortcutMissing},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string lnk = tree_.Path("links/" + std::to_string(n++) + ".lnk");
    ASSERT_TRUE(CreateShortcut(c.target, lnk, "x", context_)) << c.target;
    std::string target;
    EXPECT_EQ(ReadShortcut(lnk, target, context_), c.state) << c.target;
    EXPECT_EQ(target, c.target);
  }

  // The reference files: an ID list alone is enough.
  tree_.MakeDirectory("d/Chess Games");
  tree_.MakeFile("d/Chess Games/a.txt");
  tree_.MakeFile("links/idlist.lnk", IdListOnlyShortcut());
  std::string target;
  EXPECT_EQ(ReadShortcut(tree_.Path("links/idlist.lnk"), target, context_), kShortcutFile);
  EXPECT_EQ(target, "D:\\Chess Games\\a.txt");
  tree_.MakeFile("links/sample.lnk", Bytes(kMinimalSample));
  EXPECT_EQ(ReadShortcut(tree_.Path("links/sample.lnk"), target, context_), kShortcutMissing);
  EXPECT_EQ(target, "C:\\test\\a.txt");

  EXPECT_EQ(ReadShortcut(tree_.Path("links/none.lnk"), target, context_), kShortcutUnreadable);
  EXPECT_EQ(ReadShortcut("", target, context_), kShortcutUnreadable);
  EXPECT_EQ(ReadShortcut(tree_.Path("links"), target, context_), kShortcutUnreadable);
  tree_.MakeFile("links/text.lnk", "not a shortcut");
  EXPECT_EQ(ReadShortcut(tree_.Path("links/text.lnk"), target, context_), kShortcutUnreadable);
  // A valid shortcut padded past the size cap is not read at all.
  std::string big = Bytes(kMinimalSample);
  big.resize(kMaxShortcutFileSize + 1, '\0');
  tree_.MakeFile("links/big.lnk", big);
  EXPECT_EQ(ReadShortcut(tree_.Path("links/big.lnk"), target, context_), kShortcutUnreadable);
  big.resize(kMaxShortcutFileSize);
  tree_.MakeFile("links/cap.lnk", big);
  EXPECT_EQ(ReadShortcut(tree_.Path("links/cap.lnk"), target, context_), kShortcutMissing);
  EXPECT_EQ(target, "C:\\test\\a.txt");
}

TEST_F(ShortcutFiles, CreateShortcutNeverReplacesAndLeavesNoTemporaryFile) {
  tree_.MakeFile("links/taken.lnk", "mine");
  tree_.MakeDirectory("links/dir.lnk");
  EXPECT_FALSE(CreateShortcut("D:\\games\\Chess", tree_.Path("links/taken.lnk"), "x", context_));
  EXPECT_FALSE(CreateShortcut("D:\\games\\Chess", tree_.Path("links/dir.lnk"), "x", context_));
  EXPECT_FALSE(CreateShortcut("D:\\games\\Chess", tree_.Path("nowhere/x.lnk"), "x", context_));
  EXPECT_FALSE(CreateShortcut("games\\Chess", tree_.Path("links/rel.lnk"), "x", context_));
  ASSERT_TRUE(CreateShortcut("D:\\games\\Chess", tree_.Path("links/new.lnk"), "x", context_));
  EXPECT_EQ(Names("links"), (std::vector<std::string>{"dir.lnk", "new.lnk", "taken.lnk"}));
  std::string kept;
  ASSERT_EQ(ReadSmallFile(tree_.Path("links/taken.lnk"), 100, kept), SmallFileResult::kOk);
  EXPECT_EQ(kept, "mine");
}

// Runs lnkinfo (Debian package liblnk-utils) and returns its output; nothing when it is
// not installed.
std::optional<std::string> LnkInfo(const std::string& path, int& status) {
  if (std::system("command -v lnkinfo >/dev/null 2>&1") != 0) return std::nullopt;
  FILE* pipe = popen(("lnkinfo '" + path + "' 2>&1").c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string output;
  char buffer[4096];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  status = pclose(pipe);
  return output;
}

TEST_F(ShortcutFiles, LnkinfoAcceptsWrittenShortcuts) {
  const std::string linuxDir = tree_.Path("d/games/Chess");
  const struct {
    std::string target;
    std::string description;
    bool isDirectory;
  } cases[] = {
      {"D:\\games\\Chess", "Chess", true},
      {"D:\\games\\report.txt", "report", false},
      {linuxDir, "Chess", true},
      {"D:\\games\\\xC5\xA0\x61\x63hy \xE8\xB1\xA1\xE6\xA3\x8B",
       "\xC5\xA0\x61\x63hy \xE8\xB1\xA1\xE6\xA3\x8B", true},
  };
  tree_.MakeDirectory("d/games/\xC5\xA0\x61\x63hy \xE8\xB1\xA1\xE6\xA3\x8B");
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    const std::string lnk = tree_.Path("links/" + std::to_string(n++) + ".lnk");
    ASSERT_TRUE(CreateShortcut(c.target, lnk, c.description, context_));
    int status = -1;
    const std::optional<std::string> output = LnkInfo(lnk, status);
    if (!output) GTEST_SKIP() << "lnkinfo is not installed (scripts/bootstrap installs it)";
    EXPECT_EQ(status, 0) << *output;
    EXPECT_NE(output->find("Local path\t\t\t: " + c.target + "\n"), std::string::npos) << *output;
    EXPECT_NE(output->find("Description\t\t\t: " + c.description + "\n"), std::string::npos)
        << *output;
    const std::string attributes = c.isDirectory ? "0x00000010" : "0x00000020";
    EXPECT_NE(output->find("\tFile attribute flags\t\t: " + attributes + "\n"), std::string::npos)
        << *output;
  }
}

}  // namespace
}  // namespace zelm
