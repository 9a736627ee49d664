// CMServerDaemon: the reference management server's running part.
//
// One loop on one thread serves the TCP port that FTP servers connect to (several links at
// once, each a `CFtpServerLink`) and the Unix-domain control socket through which the
// operator's commands reach the daemon:
//   status                  the daemon, its links and what their servers last reported
//   sessions                asks every server for a status report, then lists the sessions
//   kick USER|SESSION-ID    ends a session, or every session of a user
//   publish FOLDER TARGET   asks every server to put a shortcut to TARGET into FOLDER
//   push-config             sends the stored configuration to every server now
// With `announce` it also answers FTP servers' discovery queries (mserver/discovery_datagram.h)
// that reach its UDP port on the listen address: one announcement carrying its TCP port,
// sent back to the query's sender.
// A link that sends bytes that are not packets is closed; nothing an FTP server or a control
// client sends can stop the loop.
//
// Who may link: only the FTP servers' addresses the options name (`ftpServers`; none named:
// any address of 127.0.0.0/8). A connection from any other address is closed as soon as it is
// accepted, before a byte of it is read, and counted in `status`. Among admitted addresses the
// places are kept for links that say hello: links waiting for their hello hold at most
// kMaxHellolessLinks places, at most kMaxHellolessPerAddress from one address, and a new link
// beyond either limit closes the oldest link still waiting for its hello (of its own address
// when that address is at its limit). Only links accepted in an earlier pass of the loop are
// closed so, and links are read before new connections are taken (at most kMaxAcceptsPerPass
// a pass), so a server whose hello comes with its connection is greeted before any later
// burst could close it. A greeted link is never closed to make room: one address holds at
// most kMaxLinksPerAddress links, and the daemon kMaxLinks; beyond them a new connection is
// closed at once.
//
// Password checks run on the workers of a CLoginChecker (login_checker.h), never on the loop;
// their verdicts come back through the loop's wake-up handle and are answered on the link
// that asked, if it is still there (links are numbered without reuse).
//
// The control socket is created only in a folder that belongs to the daemon's user and that
// neither group nor others may write (`ControlFolderBelongsTo`); elsewhere `Open` fails.
//
// Thread safety: `Open` and `Run` belong to one thread (the loop's); `Stop` may be called from
// any thread (and from a signal-waiting thread) at any time. The login checker's workers touch
// nothing of the daemon but the checker and the wake-up handle.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mserver/discovery_datagram.h"
#include "mserverd/ftp_server_link.h"
#include "mserverd/login_checker.h"
#include "platform/poll_set.h"
#include "platform/socket.h"

namespace zelm {

class CAccountStore;

inline constexpr uint32_t kDefaultListenAddress = 0x7F000001;  // 127.0.0.1, host order
inline constexpr uint16_t kDefaultListenPort = 5321;
// Links and control connections served at once; more are accepted and closed at once.
inline constexpr size_t kMaxLinks = 64;
inline constexpr size_t kMaxControlClients = 16;
// How the places are shared (see above).
inline constexpr size_t kMaxLinksPerAddress = 16;
inline constexpr size_t kMaxHellolessLinks = 16;
inline constexpr size_t kMaxHellolessPerAddress = 4;
inline constexpr size_t kMaxAcceptsPerPass = 16;
// Connections from addresses not admitted closed per pass at most (they cost one accept each).
inline constexpr size_t kMaxRefusalsPerPass = 256;
// Bytes queued for one link before it counts as stuck and is closed.
inline constexpr size_t kMaxLinkBacklog = 16 * 1024 * 1024;

struct DaemonOptions {
  uint32_t address = kDefaultListenAddress;  // host order
  uint16_t port = kDefaultListenPort;        // 0: any free port (see Port())
  std::string controlSocket;                 // path of the Unix-domain socket
  std::string database;                      // shown by "status"
  // The addresses (host order) whose links are admitted; empty: any of 127.0.0.0/8.
  std::vector<uint32_t> ftpServers;
  // How long "sessions" waits for the servers' reports, and "publish" for their answers.
  std::chrono::milliseconds reportWait{1000};
  std::chrono::milliseconds publishWait{2000};
  // A report counts as complete once its server has been quiet this long after its record.
  std::chrono::milliseconds reportQuiet{150};
  // A control client that sends no whole request in this time is closed, and so is a link
  // that has not said hello in its time (it would only hold one of the kMaxLinks places).
  std::chrono::milliseconds controlIdle{10000};
  std::chrono::milliseconds helloWait{10000};
  // Answer discovery queries on UDP `announcePort` (0: any free port, see AnnouncePort()).
  bool announce = false;
  uint16_t announcePort = kDiscoveryQueryPorts[0];
};

class CMServerDaemon final {
 public:
  CMServerDaemon(CAccountStore& store, DaemonOptions options, LogSink log);
  ~CMServerDaemon();
  CMServerDaemon(const CMServerDaemon&) = delete;
  CMServerDaemon& operator=(const CMServerDaemon&) = delete;

  // Binds the TCP port and the control socket. False with a message for the operator.
  bool Open(std::string& message);
  // The TCP port actually bound (host order), once open.
  uint16_t Port() const { return port_; }
  // The UDP port discovery queries are answered on (host order), 0 without `announce`.
  uint16_t AnnouncePort() const { return announcePort_; }
  // Serves until `Stop`; then closes every link and removes the control socket file.
  void Run();
  void Stop();

 private:
  using Clock = std::chrono::steady_clock;

  struct Link {
    SocketHandle socket = kInvalidSocket;
    uint32_t address = 0;  // host order
    uint64_t acceptedInPass = 0;
    std::unique_ptr<CFtpServerLink> link;
    Clock::time_point since;
    Clock::time_point lastPacket;
    bool closing = false;
  };

  // A control request that waits for the FTP servers.
  struct Query {
    enum class Kind { kSessions, kPublish } kind = Kind::kSessions;
    Clock::time_point started;
    std::map<uint32_t, uint64_t> baseline;  // link number -> report count when asked
    uint32_t shortcutId = 0;
  };

  struct Control {
    SocketHandle socket = kInvalidSocket;
    std::string in;
    std::string out;
    Clock::time_point deadline;
    std::optional<Query> query;
    bool replied = false;
    bool closing = false;
  };

  void AcceptLinks();
  bool IsAdmitted(uint32_t address) const;
  bool MakeRoomFor(uint32_t address);
  void NoteRefusedLink(const std::string& peer);
  Link* FindLink(uint32_t number);
  void DeliverVerdicts();
  void AcceptControls();
  void AnswerQueries();
  void ReadLink(Link& link);
  void FlushLink(Link& link);
  void ReadControl(Control& control);
  void FlushControl(Control& control);
  void HandleRequest(Control& control, const std::vector<std::string>& words);
  void Reply(Control& control, bool ok, const std::string& text);
  bool QueryDone(const Query& query, Clock::time_point now) const;
  std::string SessionsText() const;
  std::string PublishText(const Query& query) const;
  std::string StatusText() const;
  // Orders the end of a session (by number) or of a user's sessions; `ok` false when no FTP
  // server is connected or none of them is known to hold such a session.
  std::string Kick(const std::string& target, bool& ok);
  int NextTimeout(Clock::time_point now) const;
  void CloseAll();
  void Log(const std::string& line) const;

  CAccountStore& store_;
  DaemonOptions options_;
  LogSink log_;
  SocketHandle listener_ = kInvalidSocket;
  SocketHandle controlListener_ = kInvalidSocket;
  SocketHandle announcer_ = kInvalidSocket;
  uint16_t port_ = 0;
  uint16_t announcePort_ = 0;
  CWakeHandle wake_;
  std::atomic<bool> stopping_{false};
  Clock::time_point started_;
  uint32_t nextLinkNumber_ = 1;
  uint64_t pass_ = 0;  // passes of the loop so far
  uint32_t nextShortcutId_ = 1;
  std::vector<Link> links_;
  std::vector<Control> controls_;
  uint64_t linksRefused_ = 0;  // from addresses not admitted
  uint64_t linksEvicted_ = 0;  // closed before their hello to make room
  uint64_t refusalsUnlogged_ = 0;
  std::optional<Clock::time_point> lastRefusalLog_;
  // Declared after `wake_`, which its workers signal: it goes first.
  std::unique_ptr<CLoginChecker> checker_;
};

// Parses "HOST:PORT" (dotted IPv4 or "localhost"; PORT 0 to 65535) into a host-order address
// and port. False with a message for anything else.
bool ParseListenAddress(const std::string& text, uint32_t& address, uint16_t& port,
                        std::string& message);
// Parses the address of an FTP server to admit (dotted IPv4 or "localhost") into host order.
// False with a message for anything else, and for addresses no server has (0.0.0.0,
// multicast, broadcast).
bool ParseFtpServerAddress(const std::string& text, uint32_t& address, std::string& message);
// True for 127.0.0.0/8 (host order).
bool IsLoopbackAddress(uint32_t address);

}  // namespace zelm
