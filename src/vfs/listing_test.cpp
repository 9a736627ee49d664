#include "vfs/listing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/code_page.h"
#include "platform/files.h"
#include "vfs/file_system.h"
#include "vfs/test_tree.h"

namespace zelm {
namespace {

// Collects every send; can be told to fail from a given send on.
class RecordingSink final : public CListingSink {
 public:
  int64_t Send(const char* data, size_t length) override {
    if (failFrom_ >= 0 && static_cast<int>(batches.size()) >= failFrom_) return -1;
    batches.emplace_back(data, length);
    return static_cast<int64_t>(length);
  }
  std::string All() const {
    std::string all;
    for (const std::string& batch : batches) all += batch;
    return all;
  }
  void FailFrom(int send) { failFrom_ = send; }

  std::vector<std::string> batches;

 private:
  int failFrom_ = -1;
};

SystemTime Time(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t minute) {
  SystemTime time;
  time.year = year;
  time.month = month;
  time.day = day;
  time.hour = hour;
  time.minute = minute;
  return time;
}

TEST(ListingFormat, ListLinesHaveTheFixedColumns) {
  const SystemTime now = Time(2026, 6, 1, 12, 0);
  const struct {
    const char* name;
    bool isDirectory;
    uint64_t size;
    SystemTime created;
    const char* line;
  } cases[] = {
      {"report.txt", false, 1234, Time(2026, 1, 15, 10, 30),
       "-rwxrwxrwx   1 owner    group            1234 Jan 15 10:30 report.txt\r\n"},
      {"pics", true, 0, Time(2026, 12, 5, 9, 5),
       "drwxrwxrwx   1 owner    group               0 Dec  5 09:05 pics\r\n"},
      {"old", false, 7, Time(2025, 12, 31, 23, 59),
       "-rwxrwxrwx   1 owner    group               7 Dec 31  2025 old\r\n"},
      {"year", false, 999999999999ULL, Time(1999, 2, 28, 0, 0),
       "-rwxrwxrwx   1 owner    group    999999999999 Feb 28  1999 year\r\n"},
      {"big", false, 1234567890123ULL, Time(2026, 3, 1, 0, 0),
       "-rwxrwxrwx   1 owner    group    1234567890123 Mar  1 00:00 big\r\n"},
      {"max", false, 18446744073709551615ULL, Time(2026, 7, 4, 1, 2),
       "-rwxrwxrwx   1 owner    group    18446744073709551615 Jul  4 01:02 max\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ListingEntry entry;
    entry.name = c.name;
    entry.isDirectory = c.isDirectory;
    entry.size = c.size;
    entry.created = c.created;
    std::string line;
    AppendListLine(entry, now, line);
    EXPECT_EQ(line, c.line);
    if (c.size < 1'000'000'000'000ULL) {
      EXPECT_EQ(line.size(), 61 + std::string(c.name).size());
    }
  }
  std::string line;
  AppendNameLine("x y", line);
  EXPECT_EQ(line, "x y\r\n");
}

// A listing whose clock is fixed.
class FixedListing final : public CFtpListing {
 public:
  explicit FixedListing(CCodePage* names = nullptr) : CFtpListing(names) {}

 protected:
  void ReadNow(SystemTime& time) override { time = Time(2026, 6, 1, 12, 0); }
};

TEST(Listing, BatchesElevenThirtyByteNamesPerKilobyte) {
  TestTree tree;
  for (int i = 0; i < 25; ++i) {
    char name[40];
    std::snprintf(name, sizeof name, "%02d-%s", i, std::string(27, 'n').c_str());  // 30 bytes
    tree.MakeFile(name, "x");
  }
  FixedListing listing;
  RecordingSink sink;
  ASSERT_TRUE(listing.WriteDirectoryListing(tree.Root() + "/*.*", sink, false));
  ASSERT_EQ(sink.batches.size(), 3u);
  EXPECT_EQ(sink.batches[0].size(), 11u * 91u);
  EXPECT_EQ(sink.batches[1].size(), 11u * 91u);
  EXPECT_EQ(sink.batches[2].size(), 3u * 91u);
  // Sorted by name; every line complete inside its batch.
  EXPECT_TRUE(sink.batches[1].starts_with("-rwxrwxrwx"));
  EXPECT_NE(sink.batches[0].find(" 00-nnn"), std::string::npos);
  EXPECT_NE(sink.batches[2].find(" 24-nnn"), std::string::npos);
}

TEST(Listing, EntriesSortedDirectoriesSizedZeroDotsSkipped) {
  TestTree tree;
  tree.MakeFile("b.txt", "12345");
  tree.MakeFile("A.txt");
  tree.MakeFile("a.txt");
  tree.MakeDirectory("Zeta");
  tree.MakeDirectory("empty");
  tree.MakeFile(".hidden");
  FixedListing listing;

  RecordingSink names;
  ASSERT_TRUE(listing.WriteDirectoryListing(tree.Root(), names, true));  // no trailing "/"
  EXPECT_EQ(names.All(), ".hidden\r\nA.txt\r\na.txt\r\nb.txt\r\nempty\r\nZeta\r\n");

  RecordingSink lines;
  ASSERT_TRUE(listing.WriteDirectoryListing(tree.Root() + "/", lines, false));
  const std::string all = lines.All();
  EXPECT_NE(all.find("-rwxrwxrwx   1 owner    group               5 "), std::string::npos);
  EXPECT_NE(all.find("drwxrwxrwx   1 owner    group               0 "), std::string::npos);
  EXPECT_EQ(all.find("group            4096 "), std::string::npos);

  // An empty directory sends nothing; a missing one neither.
  RecordingSink none;
  EXPECT_FALSE(listing.WriteDirectoryListing(tree.Path("empty/*.*"), none, false));
  EXPECT_FALSE(listing.WriteDirectoryListing(tree.Path("missing/"), none, false));
  EXPECT_TRUE(none.batches.empty());
}

TEST(Listing, FailedSendEndsTheListingWithFalse) {
  TestTree tree;
  for (int i = 0; i < 40; ++i) tree.MakeFile("file-" + std::to_string(100 + i));
  FixedListing listing;
  RecordingSink first;
  first.FailFrom(0);
  EXPECT_FALSE(listing.WriteDirectoryListing(tree.Root(), first, false));
  RecordingSink later;
  later.FailFrom(1);
  EXPECT_FALSE(listing.WriteDirectoryListing(tree.Root(), later, false));
  EXPECT_EQ(later.batches.size(), 1u);
}

TEST(Listing, EntryTimesShowTheTimeThisYearAndTheYearBefore) {
  TestTree tree;
  tree.MakeFile("f");
  SystemTime today;
  GetLocalTime(today);
  CFtpListing listing;  // the real clock: a file made now shows hh:mm
  RecordingSink sink;
  ASSERT_TRUE(listing.WriteDirectoryListing(tree.Root(), sink, false));
  const std::string line = sink.All();
  ASSERT_EQ(line.size(), 61u + 1u);
  EXPECT_EQ(line[55], ':');
  EXPECT_EQ(listing.now.year, today.year);
}

// Names on disk are UTF-8; a client with a code page sends and sees its own bytes.
TEST(Listing, CodePageNamesAreStoredAsUtf8AndListedBack) {
  const struct {
    uint32_t codePage;
    const char* clientName;
    const char* diskName;
  } cases[] = {
      {1252, "caf\xE9.txt", "caf\xC3\xA9.txt"},
      {936, "\xD6\xD0.txt", "\xE4\xB8\xAD.txt"},
      {0, "caf\xE9.txt", "caf\xE9.txt"},
      {0, "\xD6\xD0.txt", "\xD6\xD0.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.codePage);
    TestTree tree;
    CFtpFileSystem fs;
    fs.SetHomePath(tree.Root());
    ASSERT_TRUE(fs.SetCodePage(c.codePage));
    std::string real;
    ASSERT_EQ(fs.ResolvePath(c.clientName, false, real), ResolveMissing);
    CFile upload;
    ASSERT_TRUE(upload.Open(real, CFile::Mode::kWriteNew));
    upload.Close();

    std::vector<DirectoryEntry> onDisk;
    ASSERT_TRUE(ReadDirectory(tree.Root(), LinkPolicy::kNoFollow, onDisk));
    ASSERT_EQ(onDisk.size(), 1u);
    EXPECT_EQ(onDisk[0].name, c.diskName);

    FixedListing listing(&fs.GetCodePage());
    RecordingSink sink;
    ASSERT_TRUE(listing.WriteDirectoryListing(tree.Root(), sink, true));
    EXPECT_EQ(sink.All(), std::string(c.clientName) + "\r\n");
  }
}

TEST(Listing, NamesWithoutAClientFormOrWithControlCharactersAreLeftOut) {
  TestTree tree;
  tree.MakeFile("plain");
  tree.MakeFile("\xE4\xB8\xAD");  // not in code page 1252
  tree.MakeFile("evil\r\nforged line");
  CCodePage western(1252);
  FixedListing listing(&western);
  RecordingSink sink;
  ASSERT_TRUE(listing.WriteDirectoryListing(tree.Root(), sink, true));
  EXPECT_EQ(sink.All(), "plain\r\n");
}

TEST(Listing, WildcardsMatchIgnoringLetterCase) {
  const struct {
    const char* name;
    const char* pattern;
    bool matches;
  } cases[] = {
      {"report.txt", "*.txt", true},
      {"REPORT.TXT", "*.txt", true},
      {"report.txt", "*.log", false},
      {"a.txt", "?.txt", true},
      {"ab.txt", "?.txt", false},
      {"x", "*", true},
      {"", "*", true},
      {"abc", "a*c", true},
      {"abcbc", "a*bc", true},
      {"abd", "a*c", false},
      {"a.b.c", "*.*", true},
      {"txt", "*.txt", false},
      {"aaaaaaaaab", "*a*a*a*a*b", true},
      {"aaaaaaaaaa", "*a*a*a*a*b", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MatchesWildcard(c.name, c.pattern), c.matches) << c.name << " " << c.pattern;
  }
}

}  // namespace
}  // namespace zelm
