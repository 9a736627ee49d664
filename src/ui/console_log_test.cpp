#include "ui/console_log.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

namespace zelm {
namespace {

// An entry of exactly `size` characters (its line "(0.0.0.0)(u): text" and a line end) whose
// text starts with `tag`.
LogRecord Entry(char tag, size_t size) {
  LogRecord record;
  record.user = "u";
  record.text = std::string(size - 15, '.');
  record.text[0] = tag;
  return record;
}

std::string Text(const CConsoleLog::Slice& slice) {
  std::string text;
  for (const LogRecord& record : slice.entries) text += FormatLogLine(record) + "\n";
  return text;
}

std::string Line(char tag, size_t size) { return FormatLogLine(Entry(tag, size)) + "\n"; }

std::string All(const CConsoleLog& log) { return Text(log.Read(0, true, true)); }

TEST(ConsoleLog, FlushMovesQueuedEntriesInOrderAndNothingWhenNoneQueued) {
  CConsoleLog log(1000);
  EXPECT_FALSE(log.Flush());
  log.AddLog({1, 0x04030201, "bob", "USER bob", ""});
  log.AddLog({2, 0x04030201, "bob", "331 Password required", ""});
  EXPECT_EQ(All(log), "");  // queued, not yet shown
  EXPECT_TRUE(log.Flush());
  EXPECT_EQ(All(log), "(1.2.3.4)(bob): USER bob\n(1.2.3.4)(bob): 331 Password required\n");
  EXPECT_EQ(log.Read(0, true, true).entries[1].timeMs, 2);
  EXPECT_FALSE(log.Flush());
}

// Limit 200: a flush that would take the buffer past 100 characters first drops the older half,
// cut at the start of the entry holding the middle character.
TEST(ConsoleLog, TrimmingDropsTheOlderHalfAtAnEntryStart) {
  struct Case {
    const char* name;
    std::vector<size_t> held;  // entry sizes flushed one by one before
    size_t incoming;
    std::string kept;  // tags of the entries held afterwards
  };
  const Case cases[] = {
      {"fits in half the limit", {40, 40}, 20, "abc"},
      {"middle in the second entry", {40, 40}, 40, "bc"},
      {"middle in the third of four", {20, 20, 20, 20}, 40, "cde"},
      {"oldest entry holds the middle", {60, 20}, 40, "bc"},
      {"one entry holds everything", {90}, 20, "b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CConsoleLog log(200);
    char tag = 'a';
    for (size_t size : c.held) {
      log.AddLog(Entry(tag++, size));
      log.Flush();
    }
    log.AddLog(Entry(tag, c.incoming));
    log.Flush();
    std::string tags;
    const std::string text = All(log);
    for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
      tags += text[text.find("): ", at) + 3];
      if (text.find('\n', at) == std::string::npos) break;
    }
    EXPECT_EQ(tags, c.kept);
  }
}

TEST(ConsoleLog, ABurstLargerThanTheLimitKeepsItsNewestEntries) {
  CConsoleLog log(200);
  for (char tag = 'a'; tag <= 'h'; ++tag) log.AddLog(Entry(tag, 60));
  log.Flush();
  EXPECT_LE(log.Size(), 200u);
  EXPECT_EQ(All(log), Line('f', 60) + Line('g', 60) + Line('h', 60));
}

TEST(ConsoleLog, ReadersFollowByPositionAndStartOverAfterTrimOrClear) {
  CConsoleLog log(200);
  log.AddLog(Entry('a', 40));
  log.AddLog(Entry('b', 40));
  log.Flush();
  CConsoleLog::Slice first = log.Read(0, true, true);
  EXPECT_TRUE(first.reset);
  EXPECT_EQ(first.next, 80u);

  CConsoleLog::Slice same = log.Read(first.next, false, true);  // up to date
  EXPECT_FALSE(same.reset);
  EXPECT_TRUE(same.entries.empty());

  EXPECT_TRUE(log.Read(20, false, true).reset);   // not between entries
  EXPECT_TRUE(log.Read(999, false, true).reset);  // beyond the end

  log.AddLog(Entry('c', 40));
  log.Flush();  // trims 'a'
  CConsoleLog::Slice after = log.Read(first.next, false, true);
  EXPECT_FALSE(after.reset);
  EXPECT_EQ(Text(after), Line('c', 40));
  CConsoleLog::Slice stale = log.Read(0, false, true);  // 'a' is gone
  EXPECT_TRUE(stale.reset);
  EXPECT_EQ(Text(stale), Line('b', 40) + Line('c', 40));

  log.Clear();
  CConsoleLog::Slice cleared = log.Read(after.next, false, true);  // was up to date
  EXPECT_TRUE(cleared.reset);
  EXPECT_TRUE(cleared.entries.empty());
  EXPECT_EQ(log.Size(), 0u);
  log.AddLog(Entry('d', 40));
  log.Flush();
  EXPECT_EQ(Text(log.Read(cleared.next, false, true)), Line('d', 40));
}

TEST(ConsoleLog, PasswordsOnlyForReadersThatMaySeeThem) {
  CConsoleLog log;
  LogRecord password{1, 0x0100007F, "bob", "PASS hunter2", "PASS ******"};
  log.AddLog(password);
  log.AddLog({2, 0x0100007F, "bob", "230 User logged in", ""});
  log.Flush();
  const CConsoleLog::Slice shown = log.Read(0, true, true);
  const CConsoleLog::Slice masked = log.Read(0, true, false);
  EXPECT_NE(Text(shown).find("PASS hunter2"), std::string::npos);
  EXPECT_EQ(Text(masked).find("hunter2"), std::string::npos);
  EXPECT_NE(Text(masked).find("PASS ******\n(127.0.0.1)(bob): 230"), std::string::npos);
  EXPECT_EQ(shown.next, masked.next);  // positions do not depend on the reader
}

TEST(ConsoleLog, AWaitingReaderIsAnsweredByTheNextFlushClearOrShutdown) {
  CConsoleLog log;
  log.AddLog(Entry('a', 40));
  log.Flush();
  log.WaitForChange(0, 60000);  // text after 0 already: no wait at all

  // Each waiter would wait a minute; the test finishes only if the change wakes it.
  auto waiter = std::async(std::launch::async, [&] { log.WaitForChange(40, 60000); });
  log.AddLog(Entry('b', 40));
  while (waiter.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) log.Flush();
  EXPECT_EQ(Text(log.Read(40, false, true)), Line('b', 40));

  waiter = std::async(std::launch::async, [&] { log.WaitForChange(80, 60000); });
  while (waiter.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) log.Wake();

  waiter = std::async(std::launch::async, [&] { log.WaitForChange(80, 60000); });
  log.Shutdown();
  waiter.get();
  log.WaitForChange(80, 60000);  // after shutdown nobody waits
}

}  // namespace
}  // namespace zelm
