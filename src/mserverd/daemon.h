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
// Thread safety: `Open` and `Run` belong to one thread; `Stop` may be called from any thread
// (and from a signal-waiting thread) at any time.
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
#include "platform/poll_set.h"
#include "platform/socket.h"

namespace zelm {

class CAccountStore;

inline constexpr uint32_t kDefaultListenAddress = 0x7F000001;  // 127.0.0.1, host order
inline constexpr uint16_t kDefaultListenPort = 5321;
// Links and control connections served at once; more are accepted and closed at once.
inline constexpr size_t kMaxLinks = 64;
inline constexpr size_t kMaxControlClients = 16;
// Bytes queued for one link before it counts as stuck and is closed.
inline constexpr size_t kMaxLinkBacklog = 16 * 1024 * 1024;

struct DaemonOptions {
  uint32_t address = kDefaultListenAddress;  // host order
  uint16_t port = kDefaultListenPort;        // 0: any free port (see Port())
  std::string controlSocket;                 // path of the Unix-domain socket
  std::string database;                      // shown by "status"
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
  uint32_t nextShortcutId_ = 1;
  std::vector<Link> links_;
  std::vector<Control> controls_;
};

// Parses "HOST:PORT" (dotted IPv4 or "localhost"; PORT 0 to 65535) into a host-order address
// and port. False with a message for anything else.
bool ParseListenAddress(const std::string& text, uint32_t& address, uint16_t& port,
                        std::string& message);
// True for 127.0.0.0/8 (host order).
bool IsLoopbackAddress(uint32_t address);

}  // namespace zelm
