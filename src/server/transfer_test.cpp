// Transfers through a running listener, with raw data connections on 127.0.0.1.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <thread>

#include "mserver/messages.h"
#include "net/service_metrics.h"
#include "platform/clock.h"
#include "server/server_test_fixture.h"

namespace zelm {
namespace {

using testing::FtpTestClient;
using testing::kLoopback;
using testing::ListenerTest;
using testing::PeerPacket;
using testing::ReadUpTo;
using testing::SendAll;
using testing::WaitUntil;

namespace fs = std::filesystem;

// The port of a "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)." reply.
uint16_t PassivePort(const std::string& reply) {
  const size_t open = reply.find('(');
  unsigned h[4];
  unsigned p1 = 0;
  unsigned p2 = 0;
  EXPECT_EQ(std::sscanf(reply.c_str() + open, "(%u,%u,%u,%u,%u,%u)", &h[0], &h[1], &h[2], &h[3],
                        &p1, &p2),
            6)
      << reply;
  return static_cast<uint16_t>(p1 * 256 + p2);
}

// `receiveBuffer` (bytes, 0: the system's) keeps a client that stops reading from taking
// much: a small buffer turns off the kernel's growing of the window.
SocketHandle ConnectTo(uint16_t port, int receiveBuffer = 0) {
  int error = 0;
  const SocketHandle s = OpenSocket(kSocketStream, kProtocolTcp, error);
  if (receiveBuffer != 0) SetSocketOption(s, SocketOption::kReceiveBuffer, receiveBuffer, error);
  ConnectSocket(s, kLoopback, port, error);
  EXPECT_EQ(WaitWritable(s, 5000, error), 1);
  return s;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, const std::string& data) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << data;
}

class TransferTest : public ListenerTest {
 protected:
  void SetUp() override {
    ListenerTest::SetUp();
    home_ = fs::path(folder_.Path()) / "main/bob";
  }

  std::unique_ptr<FtpTestClient> LoggedIn() {
    Start();
    auto client = Connect();
    Login(*client, "bob", "secret");
    return client;
  }

  // PASV, then the data connection.
  SocketHandle Passive(FtpTestClient& client, int receiveBuffer = 0) {
    return ConnectTo(PassivePort(client.Command("PASV")), receiveBuffer);
  }

  // A client that starts a download of a large file, reads a little of it and then stops
  // reading: the server finds the connection full from then on.
  SocketHandle StalledDownload(FtpTestClient& client) {
    WriteFile(home_ / "huge.bin", std::string(64 * 1024 * 1024, 'z'));
    const SocketHandle data = Passive(client, 16 * 1024);
    EXPECT_EQ(client.Command("RETR huge.bin")[0], '1');
    EXPECT_GE(ReadUpTo(data, 100000).size(), 100000u);
    return data;
  }

  // A whole download or listing: the preliminary reply, the bytes, the final reply.
  std::string Fetch(FtpTestClient& client, const std::string& command,
                    std::string* final = nullptr) {
    const SocketHandle data = Passive(client);
    const std::string first = client.Command(command);
    EXPECT_EQ(first[0], '1') << first;  // 125: the connection was made before the command
    const std::string bytes = ReadUpTo(data, SIZE_MAX);
    CloseSocket(data);
    const std::string last = client.ReadReply();
    if (final != nullptr) {
      *final = last;
    } else {
      EXPECT_EQ(last, "226 Transfer complete.\r\n");
    }
    return bytes;
  }

  std::string Store(FtpTestClient& client, const std::string& command, const std::string& bytes) {
    const SocketHandle data = Passive(client);
    const std::string first = client.Command(command);
    EXPECT_EQ(first[0], '1') << first;
    SendAll(data, bytes);
    CloseSocket(data);
    return client.ReadReply();
  }

  fs::path home_;
};

TEST_F(TransferTest, TransferParameters) {
  auto client = LoggedIn();
  const struct {
    const char* command;
    const char* reply;
  } cases[] = {
      {"TYPE E", "504 TYPE E not implemented.\r\n"},
      {"TYPE A N", "500 'TYPE A N': Command syntax error in parameters or arguments\r\n"},
      {"TYPE I N", "200 Type set to I.\r\n"},
      {"TYPE a", "200 Type set to A.\r\n"},
      {"MODE B", "504 MODE B not implemented.\r\n"},
      {"MODE S", "250 'MODE': Command okay.\r\n"},
      {"STRU R", "504 STRU R not implemented.\r\n"},
      {"STRU F", "250 'STRU': Command okay.\r\n"},
      {"REST 100", "350 'REST': Command okay.\r\n"},
      {"ABOR", "225 'ABOR': Command okay.\r\n"},
      {"PORT 127,0,0,1,0,21",
       "500 'PORT 127,0,0,1,0,21': Command syntax error in parameters or "
       "arguments\r\n"},
      {"PORT 10,0,0,1,4,1", "500 'PORT 10,0,0,1,4,1': Invalid PORT address.\r\n"},
      {"PORT 127,0,0,1,4,1", "200 PORT command successful.\r\n"},
      {"LIST -la", "550 -la Cannot find specified directory of file name.\r\n"},
      {"RETR nofile", "550 nofile Cannot find specified directory of file name.\r\n"},
      {"SIZE nofile", "550 nofile Cannot find specified directory of file name.\r\n"},
      {"DELE missing.txt", "550 'missing.txt': File name or directory name is invalid\r\n"},
      {"RNTO x", "503 RNTO x Bad command sequence\r\n"},
      {"STOR nodir/x", "550 'STOR nodir/x': No such file or directory\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(client->Command(c.command), c.reply) << c.command;
  // Passive ports come from the default range; which one is not foreseeable.
  for (int i = 0; i < 5; ++i) EXPECT_GE(PassivePort(client->Command("PASV")), 1500);
}

TEST_F(TransferTest, UploadRulesRestartAppendAndOverwrite) {
  auto client = LoggedIn();
  WriteFile(home_ / "ten.txt", "0123456789");
  EXPECT_EQ(Store(*client, "STOR ten.txt", "abcd"), "226 Transfer complete.\r\n");
  EXPECT_EQ(ReadFile(home_ / "ten.txt"), "abcd");
  EXPECT_EQ(Store(*client, "APPE ten.txt", "EFGH"), "226 Transfer complete.\r\n");
  EXPECT_EQ(ReadFile(home_ / "ten.txt"), "abcdEFGH");
  WriteFile(home_ / "r.txt", "0123456789");
  client->Command("REST 6");
  EXPECT_EQ(Store(*client, "STOR r.txt", "wxyz"), "226 Transfer complete.\r\n");
  EXPECT_EQ(ReadFile(home_ / "r.txt"), "012345wxyz");
  client->Command("REST 20");  // beyond the end: clamped to it
  EXPECT_EQ(Store(*client, "STOR r.txt", "!"), "226 Transfer complete.\r\n");
  EXPECT_EQ(ReadFile(home_ / "r.txt"), "012345wxyz!");
  // The marker served one transfer: the next STOR replaces the whole file.
  EXPECT_EQ(Store(*client, "STOR r.txt", "new"), "226 Transfer complete.\r\n");
  EXPECT_EQ(ReadFile(home_ / "r.txt"), "new");
  EXPECT_EQ(Store(*client, "APPE fresh.txt", "created"), "226 Transfer complete.\r\n");
  EXPECT_EQ(ReadFile(home_ / "fresh.txt"), "created");
  EXPECT_EQ(client->Command("SIZE fresh.txt"), "213 7\r\n");
}

// The café's Windows PCs could not use such names: they are never made, whichever command
// would make them; a file that has one already may still be replaced.
TEST_F(TransferTest, NamesWindowsRefusesAreNotCreated) {
  auto client = LoggedIn();
  for (const char* name : {"a:b", "q*", "x<y", "p|q", "CON", "nul.txt", "dot.", "blank "}) {
    EXPECT_EQ(client->Command(std::string("MKD ") + name),
              std::string("550 '") + name + "': File name or directory name is invalid\r\n")
        << name;
    EXPECT_EQ(client->Command(std::string("STOR ") + name).substr(0, 4), "550 ") << name;
    EXPECT_FALSE(fs::exists(home_ / name)) << name;
  }
  WriteFile(home_ / "made:here", "old");
  EXPECT_EQ(Store(*client, "STOR made:here", "new"), "226 Transfer complete.\r\n");
  EXPECT_EQ(ReadFile(home_ / "made:here"), "new");
  WriteFile(home_ / "plain.txt", "x");
  EXPECT_EQ(client->Command("RNFR plain.txt").substr(0, 3), "350");
  EXPECT_EQ(client->Command("RNTO LPT1.txt").substr(0, 4), "550 ");
  EXPECT_TRUE(fs::exists(home_ / "plain.txt"));
}

// With "Extensions" on: FEAT before the login, the extended data commands, file times, option
// words in LIST and honest SITE answers.
TEST_F(TransferTest, TheLaterRfcsCommandsWithTheSwitchOn) {
  SetDword("Extensions", 1);
  Start();
  auto client = Connect();
  EXPECT_EQ(
      client->Command("FEAT"),
      "211-Features:\r\n EPRT\r\n EPSV\r\n MDTM\r\n MFMT\r\n MLST type*;size*;modify*;perm*;\r\n"
      " REST STREAM\r\n SIZE\r\n TVFS\r\n UTF8\r\n211 End\r\n");
  Login(*client, "bob", "secret");
  WriteFile(home_ / "a.txt", "hello");

  // EPSV: the same passive port as PASV, named the RFC 2428 way.
  const std::string epsv = client->Command("EPSV");
  ASSERT_EQ(epsv.substr(0, 39), "229 Entering Extended Passive Mode (|||") << epsv;
  const uint16_t port = static_cast<uint16_t>(std::stoi(epsv.substr(39)));
  SocketHandle data = ConnectTo(port);
  EXPECT_EQ(client->Command("RETR a.txt")[0], '1');
  EXPECT_EQ(ReadUpTo(data, SIZE_MAX), "hello");
  CloseSocket(data);
  EXPECT_EQ(client->ReadReply(), "226 Transfer complete.\r\n");
  EXPECT_EQ(client->Command("EPSV 2"), "522 Network protocol not supported, use (1)\r\n");
  EXPECT_EQ(client->Command("EPRT |2|::1|2000|"),
            "522 Network protocol not supported, use (1)\r\n");
  EXPECT_EQ(client->Command("EPRT |1|10.0.0.1|2000|"),
            "500 'EPRT |1|10.0.0.1|2000|': Invalid PORT address.\r\n");
  for (const char* bad : {"EPRT |1|127.0.0.1|80|", "EPRT |1|127.0.0.1|2000", "EPRT x"}) {
    EXPECT_EQ(client->Command(bad).substr(0, 4), "500 ") << bad;
  }
  EXPECT_EQ(client->Command("EPRT |1|127.0.0.1|2000|"), "200 EPRT command successful.\r\n");

  // MFMT sets the time MDTM reports (UTC), and LIST shows it.
  EXPECT_EQ(client->Command("MFMT 20010203040506 a.txt"), "213 Modify=20010203040506; a.txt\r\n");
  EXPECT_EQ(client->Command("MDTM a.txt"), "213 20010203040506\r\n");
  EXPECT_EQ(client->Command("MDTM missing.txt").substr(0, 4), "550 ");
  EXPECT_EQ(client->Command("MFMT 20010230040506 a.txt"),
            "501 Syntax: MFMT YYYYMMDDHHMMSS path\r\n");  // February 30th
  EXPECT_EQ(client->Command("MFMT 2001 a.txt"), "501 Syntax: MFMT YYYYMMDDHHMMSS path\r\n");
  client->Command("PASV");
  client->Command("TYPE A");
  const std::string listing = Fetch(*client, "LIST -la");  // options are no path
  EXPECT_NE(listing.find(" 2001 a.txt\r\n"), std::string::npos) << listing;
  EXPECT_EQ(Fetch(*client, "NLST -l"), "a.txt\r\n");
  // "mget *.txt": the matching names of a folder; "LIST file": that file; confined alike.
  WriteFile(home_ / "B.TXT", "b");
  WriteFile(home_ / "c.log", "c");
  EXPECT_EQ(Fetch(*client, "NLST *.txt"), "a.txt\r\nB.TXT\r\n");
  EXPECT_EQ(Fetch(*client, "NLST /../../*.log"), "c.log\r\n");
  const std::string one = Fetch(*client, "LIST c.log");
  EXPECT_EQ(one.substr(one.size() - 7), "c.log\r\n") << one;
  EXPECT_EQ(std::count(one.begin(), one.end(), '\n'), 1) << one;
  EXPECT_EQ(Fetch(*client, "NLST *.none"), "");
  EXPECT_EQ(client->Command("NLST missing.txt"),
            "550 missing.txt Cannot find specified directory of file name.\r\n");

  // MLSD: one line of facts per entry, in RFC 3659's grammar; MLST: one on the control line.
  fs::create_directory(home_ / "sub dir");
  const std::string mlsd = Fetch(*client, "MLSD");
  const std::regex factsLine("(([a-z]+=[^;= ]*;)+) ([^\r\n]+)\r\n");
  size_t lines = 0;
  for (std::sregex_iterator it(mlsd.begin(), mlsd.end(), factsLine), end; it != end; ++it) {
    ++lines;
  }
  EXPECT_EQ(lines, 4u) << mlsd;  // a.txt, B.TXT, c.log, sub dir
  EXPECT_NE(mlsd.find("type=file;size=5;modify=20010203040506;perm=adfrw; a.txt\r\n"),
            std::string::npos)
      << mlsd;
  EXPECT_NE(mlsd.find(";perm=cdeflmp; sub dir\r\n"), std::string::npos) << mlsd;
  EXPECT_EQ(client->Command("MLST a.txt"),
            "250-Listing a.txt\r\n type=file;size=5;modify=20010203040506;perm=adfrw; a.txt\r\n"
            "250 End\r\n");
  EXPECT_EQ(client->Command("MLST nothing").substr(0, 4), "550 ");
  EXPECT_EQ(client->Command("OPTS UTF8 ON"), "200 UTF8 set to on\r\n");
  EXPECT_EQ(client->Command("OPTS MODE Z"), "501 Option not understood.\r\n");

  EXPECT_EQ(client->Command("SITE CHMOD 644 a.txt").substr(0, 4), "502 ");
  EXPECT_EQ(client->Command("SITE HELP").substr(0, 4), "214-");
  // After EPSV ALL only EPSV sets up data connections.
  EXPECT_EQ(client->Command("EPSV ALL"), "200 EPSV ALL ok.\r\n");
  EXPECT_EQ(client->Command("PASV"), "501 PASV not allowed after EPSV ALL.\r\n");
  EXPECT_EQ(client->Command("PORT 127,0,0,1,7,208"), "501 PORT not allowed after EPSV ALL.\r\n");
  EXPECT_EQ(client->Command("EPRT |1|127.0.0.1|2000|"), "501 EPRT not allowed after EPSV ALL.\r\n");
  EXPECT_EQ(client->Command("EPSV").substr(0, 4), "229 ");
}

// With "Code Page" 1252 a cp1252 client and a UTF-8 client (OPTS UTF8 ON) see the same file
// under their own spelling, and each reaches it by that spelling.
TEST_F(TransferTest, Cp1252AndUtf8ClientsSeeTheSameNames) {
  SetDword("Extensions", 1);
  SetDword("Code Page", 1252);
  auto cp1252Client = LoggedIn();
  auto utf8Client = Connect();
  Login(*utf8Client, "bob", "secret");
  WriteFile(home_ / "\xC3\x84rger.txt", "umlaut");  // "Ärger.txt" on disk, in UTF-8
  EXPECT_EQ(Fetch(*cp1252Client, "NLST"), "\xC4rger.txt\r\n");
  EXPECT_EQ(cp1252Client->Command("SIZE \xC4rger.txt"), "213 6\r\n");
  EXPECT_EQ(utf8Client->Command("OPTS UTF8 ON"), "200 UTF8 set to on\r\n");
  EXPECT_EQ(Fetch(*utf8Client, "NLST"), "\xC3\x84rger.txt\r\n");
  EXPECT_EQ(utf8Client->Command("SIZE \xC3\x84rger.txt"), "213 6\r\n");
  EXPECT_EQ(utf8Client->Command("OPTS UTF8 OFF"), "200 UTF8 set to off\r\n");
  EXPECT_EQ(Fetch(*utf8Client, "NLST"), "\xC4rger.txt\r\n");
}

// With the switch off the table is the original one: the same lines are unknown commands.
TEST_F(TransferTest, TheSwitchOffKeepsTheOriginalCommandTable) {
  auto client = LoggedIn();
  for (const char* line : {"EPSV", "MDTM a.txt"}) {
    EXPECT_EQ(client->Command(line), std::string("500 '") + line +
                                         "': Command syntax error in parameters or arguments\r\n")
        << line;
  }
  EXPECT_EQ(client->Command("SITE CHMOD 644 a.txt"), "200 'SITE': Command okay.\r\n");
}

TEST_F(TransferTest, DownloadsListingsRenamesAndLargeSizes) {
  auto client = LoggedIn();
  std::string data(300000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  WriteFile(home_ / "sub/file.bin", data);
  WriteFile(home_ / "empty.txt", "");
  EXPECT_EQ(Fetch(*client, "RETR sub/file.bin"), data);
  client->Command("REST 1000");
  EXPECT_EQ(Fetch(*client, "RETR sub/file.bin"), data.substr(1000));
  EXPECT_EQ(Fetch(*client, "RETR empty.txt"), "");
  EXPECT_EQ(Fetch(*client, "NLST"), "empty.txt\r\nsub\r\n");
  EXPECT_EQ(Fetch(*client, "NLST sub/"), "file.bin\r\n");
  const std::string list = Fetch(*client, "LIST sub");
  EXPECT_EQ(list.substr(0, 10), "-rwxrwxrwx");
  EXPECT_NE(list.find(" 300000 "), std::string::npos);
  {
    std::ofstream sparse(home_ / "big.iso", std::ios::binary);
    sparse.seekp(5'000'000'000LL);
    sparse.put('x');
  }
  EXPECT_EQ(client->Command("SIZE big.iso"), "213 5000000001\r\n");
  EXPECT_EQ(client->Command("RNFR sub/file.bin"),
            "350 sub/file.bin File exists, ready for destination name\r\n");
  EXPECT_EQ(client->Command("NOOP"), "200 'NOOP': Command okay.\r\n");
  EXPECT_EQ(client->Command("RNTO moved.bin"), "250 'RNTO': Command okay.\r\n");
  EXPECT_EQ(client->Command("RNTO again.bin"), "503 RNTO again.bin Bad command sequence\r\n");
  EXPECT_TRUE(fs::exists(home_ / "moved.bin"));
  client->Command("RNFR moved.bin");
  EXPECT_EQ(client->Command("RNTO dir\\b.bin"),
            "550 'dir\\b.bin': File name or directory name is invalid\r\n");
  client->Command("RNFR /");
  EXPECT_EQ(client->Command("RNTO gone"), "550 'gone': File name or directory name is invalid\r\n");
  EXPECT_TRUE(fs::is_directory(home_));
  client->Command("RNFR moved.bin");
  EXPECT_EQ(client->Command("RNTO ../../escape.bin"), "250 'RNTO': Command okay.\r\n");
  EXPECT_TRUE(fs::exists(home_ / "escape.bin"));  // ".." stops at the root of the home
  EXPECT_EQ(client->Command("DELE escape.bin"), "250 'DELE': Command okay.\r\n");
}

TEST_F(TransferTest, ABrokenDownloadIsNotReportedAsComplete) {
  auto client = LoggedIn();
  WriteFile(home_ / "huge.bin", std::string(64 * 1024 * 1024, 'z'));
  const SocketHandle data = Passive(*client);
  EXPECT_EQ(client->Command("RETR huge.bin")[0], '1');
  ReadUpTo(data, 100000);
  CloseSocket(data);  // the client goes away in the middle
  EXPECT_EQ(client->ReadReply(), "426 Connection closed; transfer aborted.\r\n");
  EXPECT_EQ(client->Command("NOOP"), "200 'NOOP': Command okay.\r\n");
}

TEST_F(TransferTest, AListingCutShortIsNotReportedAsComplete) {
  // 40,000 entries with long names make a listing of several MiB, more than the buffers of a
  // client that reads 4 KiB and then resets the connection can take.
  fs::create_directories(home_ / "many");
  const std::string stem(100, 'n');
  for (int i = 0; i < 40000; ++i) std::ofstream(home_ / "many" / (stem + std::to_string(i)));
  auto client = LoggedIn();
  for (const char* command : {"LIST many", "NLST many"}) {
    const SocketHandle data = Passive(*client, 16 * 1024);
    EXPECT_EQ(client->Command(command)[0], '1') << command;
    EXPECT_GE(ReadUpTo(data, 4096).size(), 4096u) << command;
    int error = 0;
    SetSocketLinger(data, true, 0, error);  // the close resets the connection
    CloseSocket(data);
    EXPECT_EQ(client->ReadReply(), "426 Connection closed; transfer aborted.\r\n") << command;
  }
  EXPECT_EQ(client->Command("NOOP"), "200 'NOOP': Command okay.\r\n");
  const std::string names = Fetch(*client, "NLST many");  // uncut, it still ends with 226
  EXPECT_EQ(std::count(names.begin(), names.end(), '\n'), 40000);
}

TEST_F(TransferTest, AClientThatStopsReadingNeverFreezesTheSession) {
  // The control connection is served while the download waits for the client (it would wait
  // minutes for the send's patience otherwise).
  auto client = LoggedIn();
  const SocketHandle data = StalledDownload(*client);
  // A transfer under way refuses NOOP, and says so at once.
  EXPECT_EQ(client->Command("NOOP"), "501 Unknown command NOOP\r\n");
  EXPECT_EQ(client->Command("NOOP"), "501 Unknown command NOOP\r\n");
  // An end-session order, posted as the management router posts it, takes effect.
  int closed = 0;
  listener_->Sessions().ForEachSessionOfUser("bob", [&](CFtpSession& s) {
    s.Post([](CFtpSession& session) { session.CloseSession(true, 0); });
    ++closed;
  });
  EXPECT_EQ(closed, 1);
  EXPECT_EQ(client->ReadReply(), "421 Terminating connection.\r\n");
  CloseSocket(data);
}

TEST_F(TransferTest, ADownloadWhoseClientTakesNothingForThirtySecondsEnds) {
  CManualClock clock;
  ScopedClockOverride override(clock);
  auto client = LoggedIn();
  const SocketHandle data = StalledDownload(*client);
  EXPECT_EQ(client->Command("NOOP"), "501 Unknown command NOOP\r\n");  // still under way
  clock.AdvanceMilliseconds(29'000);
  EXPECT_EQ(client->ReadReply(300), "");
  clock.AdvanceMilliseconds(1'000);
  EXPECT_EQ(client->ReadReply(), "426 Connection closed; transfer aborted.\r\n");
  EXPECT_EQ(client->Command("NOOP"), "200 'NOOP': Command okay.\r\n");
  CloseSocket(data);
}

TEST_F(TransferTest, AThrottledDownloadsPauseServesTheControlConnection) {
  // At 1 KiB/s every chunk owes a pause of a second or more; on a clock that stands still the
  // pause never ends, so only looks during the pause can serve the session.
  CManualClock clock;
  ScopedClockOverride override(clock);
  accounts_["bob"].bandwidth = 1;
  auto client = LoggedIn();
  WriteFile(home_ / "slow.bin", std::string(100 * 1024, 's'));
  const SocketHandle data = Passive(*client);
  EXPECT_EQ(client->Command("RETR slow.bin")[0], '1');
  EXPECT_EQ(client->Command("NOOP"), "501 Unknown command NOOP\r\n");
  listener_->Sessions().ForEachSessionOfUser(
      "bob", [](CFtpSession& s) { s.Post([](CFtpSession& c) { c.CloseSession(true, 0); }); });
  EXPECT_EQ(client->ReadReply(), "421 Terminating connection.\r\n");
  CloseSocket(data);
}

TEST_F(TransferTest, DataConnectionAndStalledUploadTimeOut) {
  CManualClock clock;
  ScopedClockOverride override(clock);
  auto client = LoggedIn();
  WriteFile(home_ / "a.txt", "abc");
  const uint16_t unused = PassivePort(client->Command("PASV"));  // no client ever connects
  EXPECT_EQ(client->Command("RETR a.txt").substr(0, 3), "150");
  clock.AdvanceMilliseconds(29'000);
  WakeSessions("bob");
  EXPECT_EQ(client->ReadReply(200), "");
  clock.AdvanceMilliseconds(1'000);
  WakeSessions("bob");
  EXPECT_EQ(client->ReadReply(), "425 Can't open data connection.\r\n");
  // The passive port was given up with its descriptor: nobody listens there any more. The
  // probe comes from another PC, whose connection a listener would refuse without taking it.
  const auto refused = [](uint16_t port) {
    int error = 0;
    const SocketHandle late = OpenSocket(kSocketStream, kProtocolTcp, error);
    BindSocket(late, 0x7F000002, 0, error);  // 127.0.0.2
    if (!ConnectSocket(late, kLoopback, port, error)) {
      WaitWritable(late, 5000, error);
      error = TakeSocketError(late);
    }
    CloseSocket(late);
    return error == kWsaEconnrefused;
  };
  EXPECT_TRUE(refused(unused));
  // A passive port that no command waits for closes after the same 30 s.
  const uint16_t idle = PassivePort(client->Command("PASV"));
  EXPECT_FALSE(refused(idle));
  clock.AdvanceMilliseconds(30'000);
  WakeSessions("bob");
  EXPECT_TRUE(WaitUntil([&] { return refused(idle); }));
  EXPECT_EQ(client->Command("RETR a.txt"), "425 Can't open data connection.\r\n");

  const SocketHandle data = Passive(*client);
  EXPECT_EQ(client->Command("STOR slow.txt")[0], '1');
  clock.AdvanceMilliseconds(59'000);
  SendAll(data, "some");
  ASSERT_TRUE(WaitUntil([&] { return fs::file_size(home_ / "slow.txt") == 4; }));
  WakeSessions("bob");
  clock.AdvanceMilliseconds(59'000);
  WakeSessions("bob");
  EXPECT_EQ(client->ReadReply(200), "");  // data came at 59 s: the clock started again
  clock.AdvanceMilliseconds(1'000);
  WakeSessions("bob");
  EXPECT_EQ(client->ReadReply(), "452 File action failed.\r\n");
  CloseSocket(data);
  EXPECT_EQ(client->Command("NOOP"), "200 'NOOP': Command okay.\r\n");
}

TEST_F(TransferTest, AThrottledUploadIsNotStalledByTheServersOwnPause) {
  // At 1 KiB/s the first read of the upload owes a pause of minutes; the client sent all the
  // time, so the stall timer runs only from the end of that pause.
  CManualClock clock;
  ScopedClockOverride override(clock);
  accounts_["bob"].bandwidth = 1;
  auto client = LoggedIn();
  const SocketHandle data = Passive(*client);
  SendAll(data, std::string(80 * 1024, 'x'));  // waits in the connection for the command
  const std::string started = client->Command("STOR slow.bin");
  ASSERT_EQ(started[0], '1') << started;
  ASSERT_TRUE(WaitUntil([&] {
    return fs::exists(home_ / "slow.bin") && fs::file_size(home_ / "slow.bin") >= 64 * 1024;
  }));
  // 1 KiB/s: the pause is a second per KiB read.
  const int64_t pauseMs = static_cast<int64_t>(fs::file_size(home_ / "slow.bin") * 1000 / 1024);
  ASSERT_GT(pauseMs, 61'000);
  clock.AdvanceMilliseconds(61'000);
  WakeSessions("bob");
  EXPECT_EQ(client->ReadReply(200), "");
  // Nothing more is read here (the worker waits on real time); 60 s after the end of the pause
  // the timer ends the upload as it ends a client that stopped sending.
  clock.AdvanceMilliseconds(pauseMs - 61'000 + 59'000);
  WakeSessions("bob");
  EXPECT_EQ(client->ReadReply(200), "");
  clock.AdvanceMilliseconds(2'000);
  WakeSessions("bob");
  EXPECT_EQ(client->ReadReply(), "452 File action failed.\r\n");
  CloseSocket(data);
  EXPECT_EQ(client->Command("NOOP"), "200 'NOOP': Command okay.\r\n");
}

TEST_F(TransferTest, QuotaCountsTheNetGrowthOfEachUpload) {
  accounts_["bob"].quota = 1000 * 1024;
  auto client = LoggedIn();
  const std::string big(900 * 1024, 'a');
  EXPECT_EQ(Store(*client, "STOR keep.bin", big), "226 Transfer complete.\r\n");
  // Rewriting bytes in place grows nothing: 900 KiB written over 900 KiB with 100 KiB free.
  EXPECT_EQ(client->Command("REST 1"), "350 'REST': Command okay.\r\n");
  EXPECT_EQ(Store(*client, "STOR keep.bin", big.substr(1)), "226 Transfer complete.\r\n");
  // A plain STOR over it needs room for its temporary file: refused, the old file stays.
  EXPECT_EQ(Store(*client, "STOR keep.bin", std::string(900 * 1024, 'z')),
            "552 Command aborted; exceeded max storage allowed.\r\n");
  EXPECT_EQ(ReadFile(home_ / "keep.bin"), big);
  // One final reply, and nothing after it.
  EXPECT_EQ(Store(*client, "STOR more.bin", std::string(200 * 1024, 'b')),
            "552 Command aborted; exceeded max storage allowed.\r\n");
  EXPECT_EQ(client->ReadReply(200), "");
  EXPECT_FALSE(fs::exists(home_ / "more.bin"));
  EXPECT_EQ(Store(*client, "STOR small.bin", std::string(50 * 1024, 'c')),
            "226 Transfer complete.\r\n");
}

// Each transfer's end is one line of the transfer log and counts in the service's figures; an
// upload stopped at the quota also says whose it was and why, at notice.
TEST_F(TransferTest, TransfersAreLoggedAndCounted) {
  accounts_["bob"].quota = 100 * 1024;
  WriteFile(home_ / "file one.bin", std::string(50 * 1024, 'd'));
  testing::RecordingLogSink log;
  const CServiceMetrics::Snapshot before = ServiceMetrics().Read();
  auto client = LoggedIn();
  client->Command("TYPE I");
  EXPECT_EQ(Fetch(*client, "RETR file one.bin").size(), 50u * 1024);
  EXPECT_EQ(Store(*client, "STOR up.bin", std::string(20 * 1024, 'u')),
            "226 Transfer complete.\r\n");
  EXPECT_EQ(Store(*client, "STOR big.bin", std::string(200 * 1024, 'b')),
            "552 Command aborted; exceeded max storage allowed.\r\n");

  std::vector<std::vector<std::string>> lines;
  std::istringstream file(ReadFile(folder_ / "xferlog"));
  for (std::string line; std::getline(file, line);) {
    std::istringstream words(line);
    lines.emplace_back(std::istream_iterator<std::string>(words),
                       std::istream_iterator<std::string>());
  }
  ASSERT_EQ(lines.size(), 3u);
  const struct {
    const char* file;
    const char* direction;
    const char* status;
  } expected[] = {
      {"/bob/file\\x20one.bin", "o", "c"}, {"/bob/up.bin", "i", "c"}, {"/bob/big.bin", "i", "i"}};
  for (size_t i = 0; i < 3; ++i) {
    ASSERT_EQ(lines[i].size(), 18u) << i;
    EXPECT_TRUE(lines[i][8].ends_with(expected[i].file)) << lines[i][8];
    EXPECT_EQ(lines[i][9], "b");
    EXPECT_EQ(lines[i][11], expected[i].direction);
    EXPECT_EQ(lines[i][13], "bob");
    EXPECT_EQ(lines[i][17], expected[i].status);
  }
  EXPECT_EQ(lines[0][7], "51200");
  EXPECT_EQ(lines[1][7], "20480");
  // The cut-off upload: what was taken before the write that did not fit (which may be none).
  const uint64_t cutAt = std::stoull(lines[2][7]);
  EXPECT_LT(cutAt, 100u * 1024);

  const CServiceMetrics::Snapshot after = ServiceMetrics().Read();
  EXPECT_EQ(after.transfersCompleted - before.transfersCompleted, 2u);
  EXPECT_EQ(after.transfersFailed - before.transfersFailed, 1u);
  EXPECT_EQ(after.quotaRefusals - before.quotaRefusals, 1u);
  EXPECT_EQ(after.bytesSent - before.bytesSent, 51200u);
  EXPECT_EQ(after.bytesReceived - before.bytesReceived, 20480u + cutAt);
  EXPECT_EQ(after.passivePortsInUse, before.passivePortsInUse);
  EXPECT_TRUE(log.Has(LogPriority::kNotice, "(bob): Upload of '"));
  EXPECT_TRUE(log.Has(LogPriority::kNotice,
                      "big.bin' by bob stopped at " + lines[2][7] + " bytes: over the quota"));
}

// While a passive port waits for its client it counts as in use; taken or given up, it no
// longer does.
TEST_F(TransferTest, PassivePortsInUseCountTheWaitingListeners) {
  auto client = LoggedIn();
  const int64_t idle = ServiceMetrics().Read().passivePortsInUse;
  EXPECT_EQ(client->Command("PASV").substr(0, 4), "227 ");
  EXPECT_EQ(ServiceMetrics().Read().passivePortsInUse, idle + 1);
  EXPECT_EQ(client->Command("PASV").substr(0, 4), "227 ");  // the first port gives way
  EXPECT_EQ(ServiceMetrics().Read().passivePortsInUse, idle + 1);
  Fetch(*client, "LIST");  // its own PASV, and the connection taken
  EXPECT_EQ(ServiceMetrics().Read().passivePortsInUse, idle);
  EXPECT_EQ(client->Command("PASV").substr(0, 4), "227 ");
  client.reset();  // the session's end closes its waiting port
  EXPECT_TRUE(WaitUntil([idle] { return ServiceMetrics().Read().passivePortsInUse == idle; }));
}

TEST_F(TransferTest, AStalledUploadCountsForTheQuotaOfTheNextOne) {
  CManualClock clock;
  ScopedClockOverride override(clock);
  accounts_["bob"].quota = 1000 * 1024;
  auto client = LoggedIn();
  const SocketHandle data = Passive(*client);
  EXPECT_EQ(client->Command("STOR stalled.bin")[0], '1');
  SendAll(data, std::string(600 * 1024, 's'));
  ASSERT_TRUE(WaitUntil([&] {
    return fs::exists(home_ / "stalled.bin") && fs::file_size(home_ / "stalled.bin") == 600 * 1024;
  }));
  clock.AdvanceMilliseconds(60'000);
  WakeSessions("bob");
  EXPECT_EQ(client->ReadReply(), "452 File action failed.\r\n");
  CloseSocket(data);
  EXPECT_EQ(client->ReadReply(200), "");  // no second final reply for the stalled upload
  // What the stalled upload left stays and is counted: 600 KiB more do not fit.
  EXPECT_EQ(Store(*client, "STOR next.bin", std::string(600 * 1024, 'n')),
            "552 Command aborted; exceeded max storage allowed.\r\n");
  EXPECT_FALSE(fs::exists(home_ / "next.bin"));
  EXPECT_EQ(fs::file_size(home_ / "stalled.bin"), 600u * 1024);
  EXPECT_EQ(Store(*client, "STOR next.bin", std::string(300 * 1024, 'n')),
            "226 Transfer complete.\r\n");
}

TEST_F(TransferTest, ARefusedPerPathUploadLeavesNoTransferBehind) {
  CManualClock clock;
  ScopedClockOverride override(clock);
  accounts_["bob"].rights = 0x8;  // every path is the management server's to allow
  fs::create_directories(home_ / "folder");
  auto client = LoggedIn();
  const struct {
    const char* command;
    uint32_t rights;
    const char* reply;
  } cases[] = {
      {"STOR refused.bin", 0, "550 STOR refused.bin: Access denied.\r\n"},
      // Granted, but the name is a folder: the open fails.
      {"STOR folder", 0x100000, "550 'STOR folder': File exists\r\n"},
  };
  for (const auto& c : cases) {
    client->SendLine(c.command);
    const auto request = peer_.WaitFor([&](const PeerPacket& p) {
      const auto access =
          p.header.category == kCategoryItems && p.header.command == kCommandAccessRequest
              ? DecodeAccessRequest(p.body.data(), p.header.bodyLength)
              : std::nullopt;
      return access && access->path.find(c.command + 5) != std::string::npos;
    });
    ASSERT_TRUE(request) << c.command;
    const auto access = DecodeAccessRequest(request->body.data(), request->header.bodyLength);
    peer_.Send(EncodeAccessAnswer({{access->sessionId, std::nullopt}, access->path, c.rights}));
    EXPECT_EQ(client->ReadReply(), c.reply) << c.command;
    // A minute later nothing times out as a stalled upload.
    clock.AdvanceMilliseconds(61'000);
    WakeSessions("bob");
    EXPECT_EQ(client->ReadReply(200), "") << c.command;
    EXPECT_EQ(client->Command("NOOP"), "200 'NOOP': Command okay.\r\n") << c.command;
  }
}

TEST_F(TransferTest, TwoUploadsRunSideBySide) {
  auto first = LoggedIn();
  auto second = Connect();
  Login(*second, "bob", "secret");
  const SocketHandle a = Passive(*first);
  const SocketHandle b = Passive(*second);
  EXPECT_EQ(first->Command("STOR one.bin")[0], '1');
  EXPECT_EQ(second->Command("STOR two.bin")[0], '1');
  for (int i = 0; i < 50; ++i) {
    SendAll(a, std::string(10000, 'a'));
    SendAll(b, std::string(10000, 'b'));
  }
  CloseSocket(a);
  CloseSocket(b);
  EXPECT_EQ(first->ReadReply(), "226 Transfer complete.\r\n");
  EXPECT_EQ(second->ReadReply(), "226 Transfer complete.\r\n");
  EXPECT_EQ(ReadFile(home_ / "one.bin"), std::string(500000, 'a'));
  EXPECT_EQ(ReadFile(home_ / "two.bin"), std::string(500000, 'b'));
}

TEST_F(TransferTest, ClosingTheControlConnectionDiscardsAFreshUpload) {
  auto client = LoggedIn();
  WriteFile(home_ / "old.txt", "precious");
  const SocketHandle data = Passive(*client);
  EXPECT_EQ(client->Command("STOR new.bin")[0], '1');
  SendAll(data, "partial");
  ASSERT_TRUE(WaitUntil(
      [&] { return fs::exists(home_ / "new.bin") && fs::file_size(home_ / "new.bin") == 7; }));
  const SocketHandle data2 = data;
  client.reset();  // the control connection goes away; the data connection stays, quiet
  // Cut off in the middle: once no bytes have come for the drain's idle bound, it is aborted.
  ASSERT_TRUE(WaitUntil([&] { return !fs::exists(home_ / "new.bin"); }, 60'000));
  CloseSocket(data2);
  EXPECT_EQ(ReadFile(home_ / "old.txt"), "precious");
}

TEST_F(TransferTest, LinksInAHomeAreReadButNeverWrittenThroughOrRemoved) {
  // The operator publishes a folder outside the home as a link; a dangling link and a link to
  // a file outside stand for what else a link in a home may be.
  const fs::path outside = fs::path(folder_.Path()) / "outside";
  WriteFile(outside / "secret.txt", "outside");
  fs::create_directories(outside / "inner");
  fs::create_directories(home_);
  fs::create_symlink(outside, home_ / "pub");
  fs::create_symlink(outside / "created.txt", home_ / "dangling.txt");
  fs::create_symlink(outside / "secret.txt", home_ / "linked.txt");
  WriteFile(home_ / "own.txt", "mine");
  auto client = LoggedIn();

  // Reading follows the links.
  EXPECT_EQ(Fetch(*client, "RETR pub/secret.txt"), "outside");
  EXPECT_EQ(Fetch(*client, "RETR linked.txt"), "outside");
  EXPECT_EQ(Fetch(*client, "NLST pub"), "inner\r\nsecret.txt\r\n");
  EXPECT_EQ(client->Command("CWD pub"), "250 CWD command successful.\r\n");
  EXPECT_EQ(Fetch(*client, "NLST"), "inner\r\nsecret.txt\r\n");
  // Uploads into the published folder, STOU included, are refused before any data moves.
  EXPECT_EQ(client->Command("STOU"), "550 STOU: Access denied.\r\n");
  EXPECT_EQ(client->Command("STOR new.txt"), "550 STOR new.txt: Access denied.\r\n");
  EXPECT_EQ(client->Command("CWD /"), "250 CWD command successful.\r\n");

  const struct {
    const char* command;
    const char* reply;
  } refused[] = {
      {"STOR dangling.txt", "550 STOR dangling.txt: Access denied.\r\n"},
      {"APPE dangling.txt", "550 APPE dangling.txt: Access denied.\r\n"},
      {"STOR linked.txt", "550 STOR linked.txt: Access denied.\r\n"},
      {"APPE linked.txt", "550 APPE linked.txt: Access denied.\r\n"},
      {"STOR pub/new.txt", "550 STOR pub/new.txt: Access denied.\r\n"},
      {"STOR pub/secret.txt", "550 STOR pub/secret.txt: Access denied.\r\n"},
      {"DELE pub/secret.txt", "550 'pub/secret.txt': File name or directory name is invalid\r\n"},
      {"DELE linked.txt", "550 'linked.txt': File name or directory name is invalid\r\n"},
      {"DELE dangling.txt", "550 'dangling.txt': File name or directory name is invalid\r\n"},
      {"RMD pub", "550 'pub': File name or directory name is invalid\r\n"},
      {"RMD pub/inner", "550 'pub/inner': File name or directory name is invalid\r\n"},
      {"MKD pub/made", "550 'pub/made': File name or directory name is invalid\r\n"},
      {"RNFR pub/secret.txt",
       "550 pub/secret.txt Cannot find specified directory of file name.\r\n"},
      {"RNFR pub", "550 pub Cannot find specified directory of file name.\r\n"},
      {"RNFR linked.txt", "550 linked.txt Cannot find specified directory of file name.\r\n"},
  };
  for (const auto& c : refused) EXPECT_EQ(client->Command(c.command), c.reply) << c.command;
  for (const char* target : {"pub/own.txt", "dangling.txt", "linked.txt"}) {
    EXPECT_EQ(client->Command("RNFR own.txt"),
              "350 own.txt File exists, ready for destination name\r\n");
    EXPECT_EQ(client->Command(std::string("RNTO ") + target),
              std::string("550 '") + target + "': File name or directory name is invalid\r\n");
  }

  // Nothing outside changed, every link is still there, and the home's own files still work.
  EXPECT_EQ(ReadFile(outside / "secret.txt"), "outside");
  EXPECT_TRUE(fs::is_directory(outside / "inner"));
  EXPECT_EQ(std::distance(fs::directory_iterator(outside), fs::directory_iterator()), 2);
  for (const char* link : {"pub", "dangling.txt", "linked.txt"}) {
    EXPECT_TRUE(fs::is_symlink(home_ / link)) << link;
  }
  EXPECT_EQ(Store(*client, "STOR own.txt", "changed"), "226 Transfer complete.\r\n");
  EXPECT_EQ(ReadFile(home_ / "own.txt"), "changed");
  EXPECT_EQ(client->Command("MKD made"), "257 \"made\" Directory created successfully\r\n");
}

TEST_F(TransferTest, PublishedShortcutIsAnOrdinaryFileToClients) {
  auto client = LoggedIn();
  const fs::path games = fs::path(folder_.Path()) / "games/Chess";
  fs::create_directories(games);
  const std::string roots = games.parent_path().string();  // the operator publishes games/
  ASSERT_TRUE(WriteSetting("Publish Roots", roots.c_str(), static_cast<uint32_t>(roots.size() + 1),
                           SETTING_STRING | SETTING_CREATE));
  const size_t before = peer_.Count();
  peer_.Send(EncodeShortcutRequest({home_.string(), games.string() + "/", 42}));
  const auto answer = peer_.WaitForCommand(kCategoryItems, kCommandShortcutFolder, before);
  ASSERT_TRUE(answer);
  const auto decoded = DecodeShortcutAnswer(answer->body.data(), answer->header.bodyLength);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->result, 1u);
  EXPECT_EQ(decoded->id, 42u);
  EXPECT_EQ(fs::path(decoded->path).filename(), "Chess.lnk");
  ASSERT_TRUE(fs::exists(home_ / "Chess.lnk"));
  EXPECT_EQ(Fetch(*client, "NLST"), "Chess.lnk\r\n");
  const std::string bytes = Fetch(*client, "RETR Chess.lnk");
  EXPECT_EQ(bytes, ReadFile(home_ / "Chess.lnk"));
  EXPECT_EQ(bytes.substr(0, 4), std::string("\x4c\0\0\0", 4));  // a shell link header
}

}  // namespace
}  // namespace zelm
