// Tests of the transfer log: the xferlog line read back field by field, and the file's life
// (created private, appended, followed to a new setting or a rotated name, failures warned of
// once).
#include "server/transfer_log.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ftp/session_log.h"
#include "platform/temp_folder.h"

namespace zelm {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kPeer = 0x0500A8C0;  // 192.168.0.5, network order

// The xferlog grammar, one group per field (the time spans five words).
const std::regex kLine(
    "((?:Sun|Mon|Tue|Wed|Thu|Fri|Sat) (?:Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
    "[ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}) "  // current-time
    "([1-9][0-9]*) "                                           // transfer-time
    "([0-9]{1,3}(?:\\.[0-9]{1,3}){3}) "                        // remote-host
    "([0-9]+) "                                                // file-size
    "([^ \\x00-\\x1f\\x7f]+) "                                 // filename
    "([ab]) "                                                  // transfer-type
    "(_) "                                                     // special-action-flag
    "([oi]) "                                                  // direction
    "(r) "                                                     // access-mode
    "([^ \\x00-\\x1f\\x7f]+) "                                 // username
    "(ftp) (0) (\\*) "  // service-name, authentication-method, user id
    "([ci])\n");        // completion-status

struct Fields {
  std::string time, seconds, host, bytes, file, type, direction, user, status;
};

bool SplitLine(const std::string& line, Fields& f) {
  std::smatch m;
  if (!std::regex_match(line, m, kLine)) return false;
  f = {m[1], m[2], m[3], m[4], m[5], m[6], m[8], m[10], m[14]};
  return true;
}

// Reads a name back: every "\xNN" is the byte NN.
std::string DecodeName(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] == 'x') {
      out += static_cast<char>(std::stoi(field.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

std::string CtimeOf(int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm local{};
  localtime_r(&t, &local);
  char text[64];
  std::strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y", &local);
  return text;
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line + "\n");
  return lines;
}

TransferRecord Download(std::string path, uint64_t bytes, bool complete = true) {
  TransferRecord r;
  r.userName = "bob";
  r.peer = kPeer;
  r.realPath = std::move(path);
  r.bytes = bytes;
  r.milliseconds = 1234;
  r.complete = complete;
  r.replyCode = complete ? 226 : 426;
  if (!complete) r.why = "the data connection broke";
  return r;
}

// Collects the warnings the log gives.
class WarningSink final : public CLogSink {
 public:
  WarningSink() {
    SetJournalLogging(false);
    SetLogSink(this);
  }
  ~WarningSink() override {
    SetLogSink(nullptr);
    SetJournalLogging(true);
  }
  void AddLog(const LogRecord& record) override {
    std::lock_guard lock(mutex_);
    if (record.priority == LogPriority::kWarning) warnings_.push_back(record.text);
  }
  std::vector<std::string> Warnings() {
    std::lock_guard lock(mutex_);
    return warnings_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> warnings_;
};

TEST(TransferLogTest, LinesKeepTheXferlogGrammarWhateverTheNames) {
  // 2026-12-05 (a day of one digit: ctime pads it with a space) around noon UTC.
  const int64_t when = 1796472000;
  const struct {
    std::string path;
    std::string user;
    bool upload;
    bool binary;
    bool complete;
  } cases[] = {
      {"/srv/x/big.bin", "bob", false, true, true},
      {"/srv/x/two words.txt", "john smith", true, false, false},
      {"/srv/x/tab\tline\nbreak\r", "bob", true, true, true},
      {"/srv/x/back\\slash and \\x20 spelt out", "bob", false, true, false},
      {"/srv/x/\xc3\xbcn\xc3\xaf"
       "code \xe2\x82\xac.txt",
       "b\xc3\xb6rje", false, true, true},
      {"/srv/x/\x7f\x01\x1b[2J", "e\x1bve", true, true, true},
      {"/srv/x/nobody.bin", "", false, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    TransferRecord r = Download(c.path, 5242880, c.complete);
    r.userName = c.user;
    r.upload = c.upload;
    r.binary = c.binary;
    const std::string line = FormatTransferLogLine(r, when);
    Fields f;
    ASSERT_TRUE(SplitLine(line, f)) << line;
    EXPECT_EQ(f.time, CtimeOf(when));
    EXPECT_EQ(f.seconds, "1");
    EXPECT_EQ(f.host, "192.168.0.5");
    EXPECT_EQ(f.bytes, "5242880");
    EXPECT_EQ(DecodeName(f.file), c.path);
    EXPECT_EQ(f.type, c.binary ? "b" : "a");
    EXPECT_EQ(f.direction, c.upload ? "i" : "o");
    EXPECT_EQ(f.user, c.user.empty() ? "*" : EncodeTransferLogName(c.user));
    if (!c.user.empty()) {
      EXPECT_EQ(DecodeName(f.user), c.user);
    }
    EXPECT_EQ(f.status, c.complete ? "c" : "i");
  }
}

TEST(TransferLogTest, TransferTimeIsRoundedSecondsAndNeverZero) {
  const struct {
    int64_t milliseconds;
    int64_t seconds;
  } cases[] = {{-5, 1}, {0, 1}, {499, 1}, {1499, 1}, {1500, 2}, {59999, 60}, {3600000, 3600}};
  for (const auto& c : cases) {
    EXPECT_EQ(TransferLogSeconds(c.milliseconds), c.seconds) << c.milliseconds;
  }
}

TEST(TransferLogTest, TheFileIsPrivateAppendedAndFollowsTheSettingAndRotation) {
  CTempFolder folder("xferlog");
  const std::string first = folder / "logs/xferlog";  // its folder does not exist yet
  const std::string second = folder / "other.log";
  CTransferLog log;
  log.Write(Download("/srv/a", 1), first);
  log.Write(Download("/srv/b", 2), first);
  ASSERT_EQ(ReadLines(first).size(), 2u);
  EXPECT_EQ(fs::status(folder / "logs").permissions() & fs::perms::all,
            fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  EXPECT_EQ(fs::status(first).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

  // The setting names another file: the next line goes there, the old file stays as it was.
  log.Write(Download("/srv/c", 3), second);
  EXPECT_EQ(ReadLines(first).size(), 2u);
  ASSERT_EQ(ReadLines(second).size(), 1u);

  // Rotation moves the file away: a new one takes the name, the old one keeps its lines.
  fs::rename(second, second + ".1");
  log.Write(Download("/srv/d", 4), second);
  log.Write(Download("/srv/e", 5), second);
  EXPECT_EQ(ReadLines(second + ".1").size(), 1u);
  const std::vector<std::string> fresh = ReadLines(second);
  ASSERT_EQ(fresh.size(), 2u);
  Fields f;
  ASSERT_TRUE(SplitLine(fresh[1], f)) << fresh[1];
  EXPECT_EQ(f.file, "/srv/e");
  EXPECT_EQ(f.bytes, "5");

  // Off: nothing is written anywhere.
  log.Write(Download("/srv/f", 6), "");
  EXPECT_EQ(ReadLines(second).size(), 2u);
  EXPECT_EQ(ReadLines(first).size(), 2u);
}

TEST(TransferLogTest, AFileThatCannotBeOpenedIsOneWarningAndTransfersGoOn) {
  CTempFolder folder("xferlog");
  { std::ofstream(folder / "blocker") << "a file where the folder should be"; }
  const std::string blocked = folder / "blocker/xferlog";
  WarningSink sink;
  CTransferLog log;
  log.Write(Download("/srv/a", 1), blocked);
  log.Write(Download("/srv/b", 2), blocked);
  ASSERT_EQ(sink.Warnings().size(), 1u);
  EXPECT_NE(sink.Warnings()[0].find(blocked), std::string::npos) << sink.Warnings()[0];

  // Once it works again the lines come, and a new failure is worth a new warning.
  fs::remove(folder / "blocker");
  log.Write(Download("/srv/c", 3), blocked);
  EXPECT_EQ(ReadLines(blocked).size(), 1u);
  const std::string missing = folder / "gone/deeper";
  { std::ofstream(folder / "gone") << "again a file"; }
  log.Write(Download("/srv/d", 4), missing + "/xferlog");
  log.Write(Download("/srv/e", 5), missing + "/xferlog");
  EXPECT_EQ(sink.Warnings().size(), 2u);
}

TEST(TransferLogTest, LinesOfConcurrentTransfersNeverMix) {
  CTempFolder folder("xferlog");
  const std::string path = folder / "xferlog";
  CTransferLog log;
  constexpr int kThreads = 4;
  constexpr int kEach = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, &path, t] {
      // Long names, so that a line that went out in pieces would show.
      const std::string name = "/srv/" + std::string(3000, static_cast<char>('a' + t));
      for (int i = 0; i < kEach; ++i) log.Write(Download(name, static_cast<uint64_t>(i)), path);
    });
  }
  for (std::thread& t : threads) t.join();
  const std::vector<std::string> lines = ReadLines(path);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kEach));
  for (const std::string& line : lines) {
    Fields f;
    ASSERT_TRUE(SplitLine(line, f)) << line.substr(0, 200);
    EXPECT_EQ(f.file.find_first_not_of(f.file[5], 5), std::string::npos);
  }
}

}  // namespace
}  // namespace zelm
