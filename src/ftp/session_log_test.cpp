#include "ftp/session_log.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

namespace zelm {
namespace {

class RecordingSink final : public CLogSink {
 public:
  void AddLog(const LogRecord& record) override {
    std::lock_guard lock(mutex);
    entries.push_back(FormatLogLine(record));
    masked.push_back(record.masked);
    times.push_back(record.timeMs);
  }
  std::mutex mutex;
  std::vector<std::string> entries;
  std::vector<std::string> masked;
  std::vector<int64_t> times;
};

constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network order, as stored

TEST(SessionLog, EntryFormat) {
  EXPECT_EQ(FormatLogEntry("NOOP\r\n", "", kLoopback), "(127.0.0.1)(<Not logged>):\r\nNOOP\r\n");
  EXPECT_EQ(FormatLogEntry("PASS ******\r\n", "bob", 0x0500A8C0),
            "(192.168.0.5)(bob):\r\nPASS ******\r\n");
}

// No byte from a client can end a log line early or reach a terminal as a control sequence.
TEST(SessionLog, ClientBytesAreEscapedInUserNamesAndText) {
  EXPECT_EQ(FormatLogEntry("USER a\nb\x1b[2J\r\n", "e\nve\x7f", kLoopback),
            "(127.0.0.1)(e\\x0ave\\x7f):\r\nUSER a\\x0ab\\x1b[2J\r\n");
  const struct {
    std::string_view text;
    bool keepLineBreaks;
    std::string_view expected;
  } cases[] = {
      {"a\rb", true, "a\\x0db"},
      {"a\r\nb\r\n", true, "a\r\nb\r\n"},
      {"a\r\n", false, "a\\x0d\\x0a"},
      {std::string_view("n\0ul", 4), true, "n\\x00ul"},
      {"C:\\x41 and C:\\dir", true, "C:\\x5cx41 and C:\\dir"},  // a forged escape is escaped
      {"\xc3\x84rger", true, "\xc3\x84rger"},                   // UTF-8 passes
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EscapeLogText(c.text, c.keepLineBreaks), c.expected) << c.text;
  }
}

TEST(SessionLog, ConsoleGetsTheTextAndTheJournalTheMaskedLine) {
  RecordingSink sink;
  SetLogSink(&sink);
  SetJournalLogging(true);
  testing::internal::CaptureStderr();
  PostLog("PASS hunter2\r\n", "bob", kLoopback, "PASS ******\r\n");
  PostLog("214-a\r\n b\r\n214 c\r\n", "bob", kLoopback);
  PostLog("RETR \x1b[31mx\r\n", "", kLoopback);
  const std::string journal = testing::internal::GetCapturedStderr();
  SetLogSink(nullptr);
  PostLog("dropped", "bob", kLoopback);

  // The console gets each entry on one line, as the journal does, with the time it was posted.
  ASSERT_EQ(sink.entries.size(), 3u);
  EXPECT_EQ(sink.entries[0], "(127.0.0.1)(bob): PASS hunter2");
  EXPECT_EQ(sink.masked[0], "PASS ******");
  EXPECT_EQ(sink.masked[1], "");  // nothing secret in a reply
  EXPECT_EQ(sink.entries[1], "(127.0.0.1)(bob): 214-a |  b | 214 c");
  EXPECT_EQ(sink.entries[2], "(127.0.0.1)(<Not logged>): RETR \\x1b[31mx");
  EXPECT_GT(sink.times[0], 1'700'000'000'000);  // the wall clock's milliseconds
  EXPECT_EQ(journal,
            "(127.0.0.1)(bob): PASS ******\n"
            "(127.0.0.1)(bob): 214-a |  b | 214 c\n"
            "(127.0.0.1)(<Not logged>): RETR \\x1b[31mx\n");
  EXPECT_EQ(journal.find("hunter2"), std::string::npos);
}

TEST(SessionLog, ConcurrentPostersLoseNothing) {
  RecordingSink sink;
  SetLogSink(&sink);
  SetJournalLogging(false);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 500; ++i) PostLog("NOOP\r\n", "u", kLoopback);
    });
  }
  for (auto& thread : threads) thread.join();
  SetLogSink(nullptr);
  SetJournalLogging(true);
  EXPECT_EQ(sink.entries.size(), 2000u);
}

}  // namespace
}  // namespace zelm
