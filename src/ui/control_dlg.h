// CControlDlg: the operator's console, a web page served by zelmftp itself (by default on
// http://127.0.0.1:8021/). It shows the live log of FTP commands and replies, the listener's
// state with "Activate Service" / "Deactivate Service", "Clear", "End FTP Session" and the
// "Authenticate" menu item, after which the log shows passwords in clear for 300000 ms.
//
// What it owns: the HTTP server, the log buffer (`CConsoleLog`), the 500 ms timer thread, the
// authentication time, and the token file that lets `zelmftpctl` use the same interface. It
// receives the sessions' entries as the process's log sink while it is open.
//
// HTTP interface (every /api/ request needs the token, see console_access.h):
//   GET  /                      the page (with the token), /console.css, /console.js
//   GET  /api/state             listener state, status texts, authentication
//   GET  /api/log?since=N       log text after position N (no N: the whole log); with
//                               &wait=1 it waits up to 10 s for entries when there are none
//   POST /api/listener          {"action": "toggle" | "activate" | "deactivate"}
//   POST /api/clear             empties the log
//   POST /api/stop              "End FTP Session": stops the service
//   POST /api/authenticate      {"password": "..."} or {"cancel": true}
//
// Threads: `Create` and `Close` run on the service's thread; `AddLog` on any thread; requests
// on the HTTP server's threads; `OnTimer` on the timer thread (or a test's). `authMutex_`
// guards the authentication and is taken before the log's lock (the log's readers are woken
// under it); `timerMutex_` guards the timer's stop flag and is never held with another lock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ftp/session_log.h"
#include "platform/http_server.h"
#include "platform/thread_annotations.h"
#include "ui/console_access.h"
#include "ui/console_log.h"

namespace zelm {

inline constexpr const char* kConsoleAddressSetting = "Console Address";
inline constexpr const char* kConsolePortSetting = "Console Port";
inline constexpr const char* kDefaultConsoleAddress = "127.0.0.1";
inline constexpr uint16_t kDefaultConsolePort = 8021;
inline constexpr int kConsoleFlushMs = 500;
// How long a log request with "wait=1" waits for new entries before it answers empty.
inline constexpr int kLongPollMs = 10000;

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

  void AddLog(const std::string& entry, const std::string& maskedEntry) override;
  // The timer's work: status refresh, log flush, end of an authentication after 300000 ms.
  void OnTimer();
  // Answers one request (the HTTP server's handler; tests call it directly).
  void Handle(const HttpRequest& request, HttpResponse& response);

  uint16_t Port() const { return server_.Port(); }
  const std::string& Token() const { return access_->Token(); }
  const std::string& Error() const { return error_; }
  CConsoleLog& Log() { return log_; }

 private:
  void Serve(const HttpRequest& request, HttpResponse& response);
  std::string StateJson();
  void Authenticate(const std::string& body, HttpResponse& response);
  void SetAuthenticated(bool authenticated) ZELM_EXCLUDES(authMutex_);
  void SetAuthenticatedLocked(bool authenticated) ZELM_REQUIRES(authMutex_);
  void TimerLoop() ZELM_EXCLUDES(timerMutex_);
  // Waits one timer period; false when the timer is to stop.
  bool WaitForTimerTick() ZELM_EXCLUDES(timerMutex_);

  CConsoleHost& host_;
  const ConsoleOptions options_;
  std::unique_ptr<CConsoleAccess> access_;
  CConsoleLog log_;
  CHttpServer server_;
  std::string error_;
  bool created_ = false;

  CMutex authMutex_;  // also held while the process's authenticated flag is set
  bool authenticated_ ZELM_GUARDED_BY(authMutex_) = false;
  // Clock milliseconds of the last successful authentication.
  int64_t authTime_ ZELM_GUARDED_BY(authMutex_) = 0;

  CMutex timerMutex_;
  std::condition_variable timerWake_;  // with timerMutex_: stopTimer_ was set
  bool stopTimer_ ZELM_GUARDED_BY(timerMutex_) = false;
  std::thread timer_;
};

}  // namespace zelm
