#include "ui/console_log.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

namespace zelm {
namespace {

// An entry of exactly `size` characters whose text starts with `tag`.
std::string Entry(char tag, size_t size) {
  std::string entry(size, '.');
  entry[0] = tag;
  entry[size - 2] = '\r';
  entry[size - 1] = '\n';
  return entry;
}

std::string All(const CConsoleLog& log) { return log.Read(0, true, true).text; }

TEST(ConsoleLog, FlushMovesQueuedEntriesInOrderAndNothingWhenNoneQueued) {
  CConsoleLog log(1000);
  EXPECT_FALSE(log.Flush());
  log.AddLog("(1.2.3.4)(bob):\r\nUSER bob\r\n", "");
  log.AddLog("(1.2.3.4)(bob):\r\n331 Password required\r\n", "");
  EXPECT_EQ(All(log), "");  // queued, not yet shown
  EXPECT_TRUE(log.Flush());
  EXPECT_EQ(All(log),
            "(1.2.3.4)(bob):\r\nUSER bob\r\n(1.2.3.4)(bob):\r\n331 Password required\r\n");
  EXPECT_FALSE(log.Flush());
}

// Limit 100: a flush that would take the buffer past 50 characters first drops the older half,
// cut at the start of the entry holding the middle character.
TEST(ConsoleLog, TrimmingDropsTheOlderHalfAtAnEntryStart) {
  struct Case {
    const char* name;
    std::vector<size_t> held;  // entry sizes flushed one by one before
    size_t incoming;
    std::string kept;  // tags of the entries held afterwards
  };
  const Case cases[] = {
      {"fits in half the limit", {20, 20}, 10, "abc"},
      {"middle in the second entry", {20, 20}, 20, "bc"},
      {"middle in the third of four", {10, 10, 10, 10}, 20, "cde"},
      {"oldest entry holds the middle", {30, 10}, 20, "bc"},
      {"one entry holds everything", {45}, 10, "b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CConsoleLog log(100);
    char tag = 'a';
    for (size_t size : c.held) {
      log.AddLog(Entry(tag++, size), "");
      log.Flush();
    }
    log.AddLog(Entry(tag, c.incoming), "");
    log.Flush();
    std::string tags;
    const std::string text = All(log);
    for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
      tags += text[at];
      if (text.find('\n', at) == std::string::npos) break;
    }
    EXPECT_EQ(tags, c.kept);
  }
}

TEST(ConsoleLog, ABurstLargerThanTheLimitKeepsItsNewestEntries) {
  CConsoleLog log(100);
  for (char tag = 'a'; tag <= 'h'; ++tag) log.AddLog(Entry(tag, 30), "");
  log.Flush();
  EXPECT_LE(log.Size(), 100u);
  EXPECT_EQ(All(log), Entry('f', 30) + Entry('g', 30) + Entry('h', 30));
}

TEST(ConsoleLog, ReadersFollowByPositionAndStartOverAfterTrimOrClear) {
  CConsoleLog log(100);
  log.AddLog(Entry('a', 20), "");
  log.AddLog(Entry('b', 20), "");
  log.Flush();
  CConsoleLog::Slice first = log.Read(0, true, true);
  EXPECT_TRUE(first.reset);
  EXPECT_EQ(first.next, 40u);

  CConsoleLog::Slice same = log.Read(first.next, false, true);  // up to date
  EXPECT_FALSE(same.reset);
  EXPECT_EQ(same.text, "");

  EXPECT_TRUE(log.Read(10, false, true).reset);   // not between entries
  EXPECT_TRUE(log.Read(999, false, true).reset);  // beyond the end

  log.AddLog(Entry('c', 20), "");
  log.Flush();  // trims 'a'
  CConsoleLog::Slice after = log.Read(first.next, false, true);
  EXPECT_FALSE(after.reset);
  EXPECT_EQ(after.text, Entry('c', 20));
  CConsoleLog::Slice stale = log.Read(0, false, true);  // 'a' is gone
  EXPECT_TRUE(stale.reset);
  EXPECT_EQ(stale.text, Entry('b', 20) + Entry('c', 20));

  log.Clear();
  CConsoleLog::Slice cleared = log.Read(after.next, false, true);  // was up to date
  EXPECT_TRUE(cleared.reset);
  EXPECT_EQ(cleared.text, "");
  EXPECT_EQ(log.Size(), 0u);
  log.AddLog(Entry('d', 20), "");
  log.Flush();
  EXPECT_EQ(log.Read(cleared.next, false, true).text, Entry('d', 20));
}

TEST(ConsoleLog, PasswordsOnlyForReadersThatMaySeeThem) {
  CConsoleLog log;
  log.AddLog("(127.0.0.1)(bob):\r\nPASS hunter2\r\n", "(127.0.0.1)(bob):\r\nPASS ******\r\n");
  log.AddLog("(127.0.0.1)(bob):\r\n230 User logged in\r\n", "");
  log.Flush();
  const CConsoleLog::Slice shown = log.Read(0, true, true);
  const CConsoleLog::Slice masked = log.Read(0, true, false);
  EXPECT_NE(shown.text.find("PASS hunter2"), std::string::npos);
  EXPECT_EQ(masked.text.find("hunter2"), std::string::npos);
  EXPECT_NE(masked.text.find("PASS ******\r\n(127.0.0.1)(bob):\r\n230"), std::string::npos);
  EXPECT_EQ(shown.next, masked.next);  // positions do not depend on the reader
}

TEST(ConsoleLog, AWaitingReaderIsAnsweredByTheNextFlushClearOrShutdown) {
  CConsoleLog log;
  log.AddLog(Entry('a', 20), "");
  log.Flush();
  log.WaitForChange(0, 60000);  // text after 0 already: no wait at all

  // Each waiter would wait a minute; the test finishes only if the change wakes it.
  auto waiter = std::async(std::launch::async, [&] { log.WaitForChange(20, 60000); });
  log.AddLog(Entry('b', 20), "");
  while (waiter.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) log.Flush();
  EXPECT_EQ(log.Read(20, false, true).text, Entry('b', 20));

  waiter = std::async(std::launch::async, [&] { log.WaitForChange(40, 60000); });
  while (waiter.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) log.Wake();

  waiter = std::async(std::launch::async, [&] { log.WaitForChange(40, 60000); });
  log.Shutdown();
  waiter.get();
  log.WaitForChange(40, 60000);  // after shutdown nobody waits
}

}  // namespace
}  // namespace zelm
