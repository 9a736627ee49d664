// CControlDlg: the operator's console, a web page served by zelmftp itself (by default on
// http://127.0.0.1:8021/). It shows the live log of FTP commands and replies, the listener's
// state with "Activate Service" / "Deactivate Service", "Clear", "End FTP Session" and the
// "Authenticate" menu item, after which that browser's log shows passwords in clear for
// 300000 ms.
//
// What it owns: the HTTP server, the log buffer (`CConsoleLog`), the browser sessions
// (`CConsoleSessions`), the 500 ms timer thread, and the token file that lets `zelmftpctl`
// use the same interface. It receives the sessions' entries as the process's log sink while
// it is open. Every operator action is logged with who did it and from where.
//
// Who is served (console_access.h): `zelmftpctl` with the token of the 0600 token file; a
// browser with the cookie of a console session, which it gets from a one-time login link
// (`zelmftpctl console`) or an administrator password. The page holds no secret.
//
// HTTP interface:
//   GET  /                      the console (a browser without a session: the sign-in page)
//   GET  /login[?key=K]         the sign-in page; with a valid one-time key: a new session
//                               (cookie) and a redirect to /
//   POST /login                 {"password": "..."}: a new session for an administrator
//   GET  /console.css, /console.js, /login.js
//   GET  /api/state             listener state, status texts, this browser's authentication
//   GET  /api/log?since=N       log text after position N (no N: the whole log); with
//                               &wait=1 it waits up to 10 s for entries when there are none;
//                               with &passwords=1 from root's `zelmftpctl`, in clear
//   GET  /api/sessions          the sessions panel's rows (session_view.h)
//   GET  /api/bans              banned addresses
//   GET  /api/events            server-sent events: "state", "sessions" every second, "log"
//                               entries as they are flushed
//   GET  /metrics               the service's metrics, Prometheus' text format
//   POST /api/sessions/kick     {"id": N} or {"user": "name"}: ends those sessions (421)
//   POST /api/bans/add          {"address": "a.b.c.d", "seconds": N}: bans it (0 or none:
//                               "Ban Time") and ends its sessions
//   POST /api/listener          {"action": "toggle" | "activate" | "deactivate"}
//   POST /api/clear             empties the log
//   POST /api/stop              "End FTP Session": stops the service
//   POST /api/bans/lift         {"address": "..."}
//   POST /api/authenticate      {"password": "..."} or {"cancel": true} (browser sessions)
//   POST /api/login-link        a one-time login key (token callers only)
//   POST /api/logout            ends this browser's session
//
// Threads: `Create` and `Close` run on the service's thread; `AddLog` on any thread; requests
// on the HTTP server's threads; `OnTimer` on the timer thread (or a test's). The sessions
// have their own lock; `flagMutex_` serialises changes of the process's clear-text flag and
// is taken before the log's lock; `timerMutex_` guards the timer's stop flag and is never
// held with another lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ftp/ftp_session.h"
#include "ftp/session_log.h"
#include "platform/http_server.h"
#include "platform/thread_annotations.h"
#include "ui/console_access.h"
#include "ui/console_log.h"
#include "ui/console_sessions.h"
#include "ui/session_view.h"

namespace zelm {

inline constexpr const char* kConsoleAddressSetting = "Console Address";
inline constexpr const char* kConsolePortSetting = "Console Port";
inline constexpr const char* kDefaultConsoleAddress = "127.0.0.1";
inline constexpr uint16_t kDefaultConsolePort = 8021;
inline constexpr int kConsoleFlushMs = 500;
// How long a log request with "wait=1" waits for new entries before it answers empty.
inline constexpr int kLongPollMs = 10000;
// An event stream's longest wait for log entries, and how often it sends state and sessions.
inline constexpr int kEventWaitMs = 1000;
inline constexpr int64_t kEventLookMs = 1000;
// The longest ban the operator can give (one year).
inline constexpr int64_t kMaxOperatorBanSeconds = 366LL * 24 * 3600;

// The console's token file: $ZELMFTP_CONSOLE_TOKEN, else "console.token" in the folder of
// the settings store `settingsPath`.
std::string ConsoleTokenPath(const std::string& settingsPath);

// What the console needs of the service (the application in the program, a fake in tests).
// Every operation may be called from any thread.
class CConsoleHost {
 public:
  virtual ~CConsoleHost() = default;
  virtual bool StartStopServer(bool stop) = 0;
  virtual bool IsServerActive() = 0;
  // A line about the listener: port, sessions, management link.
  virtual std::string StatusText() = 0;
  virtual bool IsServiceRunning() = 0;
  // Starts the stop sequence on the service's own thread and returns at once (it closes
  // this console, which cannot happen on one of the console's threads).
  virtual void RequestStop() = 0;
  // The addresses banned for failed logins, with the seconds left; lifting one.
  virtual std::vector<std::pair<std::string, int64_t>> ListBans() { return {}; }
  virtual bool LiftBan(const std::string& address) {
    (void)address;
    return false;
  }
  // The open sessions; ending them at the operator's word (how many were ended); banning an
  // address (0 seconds: "Ban Time") and ending its sessions. `byWhom` names the operator.
  virtual std::vector<SessionActivity> ListSessions() { return {}; }
  virtual size_t KickSession(uint32_t identifier, const std::string& byWhom) {
    (void)identifier, (void)byWhom;
    return 0;
  }
  virtual size_t KickUser(const std::string& user, const std::string& byWhom) {
    (void)user, (void)byWhom;
    return 0;
  }
  virtual bool BanAddress(const std::string& address, int64_t seconds, const std::string& byWhom,
                          size_t& ended) {
    (void)address, (void)seconds, (void)byWhom;
    ended = 0;
    return false;
  }
  // The service's metrics in Prometheus' text format.
  virtual std::string MetricsText() { return {}; }
};

struct ConsoleOptions {
  std::string address = kDefaultConsoleAddress;
  uint16_t port = kDefaultConsolePort;  // 0 chooses a free port (tests)
  std::string tokenPath;                // empty: no token file
  size_t logLimit = kConsoleLogLimit;
  bool runTimer = true;  // false: the test calls OnTimer itself
  std::string version;   // shown in the page's footer
};

class CControlDlg final : public CLogSink {
 public:
  CControlDlg(CConsoleHost& host, ConsoleOptions options);
  ~CControlDlg() override;  // closes
  CControlDlg(const CControlDlg&) = delete;
  CControlDlg& operator=(const CControlDlg&) = delete;

  // Starts serving, writes the token file and becomes the log sink. False (with `Error()`)
  // when the address cannot be bound; nothing is left open then.
  bool Create();
  // Stops serving and the timer, removes the token file, stops being the log sink and ends
  // any authentication. Idempotent.
  void Close();

  void AddLog(const LogRecord& record) override;
  // The timer's work: log flush, end of authentications after 300000 ms.
  void OnTimer();
  // Answers one request (the HTTP server's handler; tests call it directly).
  void Handle(const HttpRequest& request, HttpResponse& response);

  uint16_t Port() const { return server_.Port(); }
  const std::string& Token() const { return access_->Token(); }
  const std::string& Error() const { return error_; }
  CConsoleLog& Log() { return log_; }

 private:
  // Who sent a request: the token's holder, a browser session, or neither.
  struct Caller {
    bool token = false;
    std::optional<uint64_t> session;
    std::string where;  // "address:port"
    const HttpRequest* request = nullptr;
  };
  Caller Identify(const HttpRequest& request);
  // "browser session 3 from 127.0.0.1:50112", "zelmftpctl (uid 0) from 127.0.0.1:50114".
  std::string Describe(const Caller& caller) const;
  // One journal and console line about an operator action.
  void LogAction(const Caller& caller, const std::string& what) const;
  void Serve(const Caller& caller, HttpResponse& response);
  void ServeLoginPage(const std::string& message, int status, HttpResponse& response) const;
  void RedeemLoginKey(const Caller& caller, HttpResponse& response);
  void PasswordLogin(const Caller& caller, HttpResponse& response);
  std::string StateJson(const Caller& caller);
  nlohmann::json SessionsJson();
  void StartEvents(const Caller& caller, HttpResponse& response);
  void Kick(const Caller& caller, HttpResponse& response);
  void Ban(const Caller& caller, HttpResponse& response);
  void Authenticate(const Caller& caller, HttpResponse& response);
  // Whether a password may be tried from the caller's address now; answers the refusal.
  bool AllowPasswordTry(const Caller& caller, HttpResponse& response);
  void CountPasswordFailure(const Caller& caller, const char* where);
  // Root's `zelmftpctl log --passwords`: the caller's end of the connection is root's.
  bool IsRootCaller(const Caller& caller) const;
  // Sets the process's flag (sessions keep entries in clear) from who may see them now.
  void UpdateClearTextFlag() ZELM_EXCLUDES(flagMutex_);
  void TimerLoop() ZELM_EXCLUDES(timerMutex_);
  // Waits one timer period; false when the timer is to stop.
  bool WaitForTimerTick() ZELM_EXCLUDES(timerMutex_);

  CConsoleHost& host_;
  const ConsoleOptions options_;
  std::unique_ptr<CConsoleAccess> access_;
  CConsoleLog log_;
  CConsoleSessions sessions_;
  CSessionView sessionView_;
  CHttpServer server_;
  std::string error_;
  bool created_ = false;
  std::atomic<bool> closing_{false};   // Close has begun
  std::atomic<bool> stopping_{false};  // End FTP Session was asked

  CMutex flagMutex_;
  bool clearText_ ZELM_GUARDED_BY(flagMutex_) = false;
  // Until when root's password reader keeps the clear-text entries coming (clock ms).
  std::atomic<int64_t> rootReaderUntilMs_{0};

  CMutex timerMutex_;
  std::condition_variable timerWake_;  // with timerMutex_: stopTimer_ was set
  bool stopTimer_ ZELM_GUARDED_BY(timerMutex_) = false;
  std::thread timer_;
};

}  // namespace zelm
