// CFtpApp: the program. It reads the command line once and either installs, removes or shows
// the usage text, or runs the FTP service until it is stopped: as systemd's service when
// systemd started it, otherwise in the foreground of the shell that started it.
//
// The run loop waits for the termination signals (SIGTERM, SIGINT: the stop sequence; SIGHUP:
// ignored, settings are read when they are used) and refreshes the status line that systemd
// shows. The control console plugs in through `SetConsole`.
//
// Threads: `InitInstance` and the run loop run on the main thread; `StartStopServer`,
// `IsServerActive` and `Module().StopIfRunning()` may be called from any thread (the console's);
// the listener is guarded by `listenerMutex_`.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/service_manager.h"
#include "server/ftp_listener.h"
#include "service/service_module.h"

namespace zelm {

// The control console as the service sees it: it lives while the service runs and is closed
// by the stop sequence.
class CServiceConsole {
 public:
  virtual ~CServiceConsole() = default;
  virtual void Close() = 0;
};

// How often the run loop refreshes the status line (listening, sessions, management link).
inline constexpr int kStatusRefreshMs = 5000;
// How often a service port that could not be bound at the start is tried again.
inline constexpr int kListenRetryMs = 5000;
// The user a service started as root outside systemd serves as (default kServiceUser).
inline constexpr const char* kServiceUserSetting = "Service User";

class CFtpApp final {
 public:
  CFtpApp();
  ~CFtpApp();
  CFtpApp(const CFtpApp&) = delete;
  CFtpApp& operator=(const CFtpApp&) = delete;

  // Runs the program; returns its exit status.
  int InitInstance(int argc, const char* const* argv);

  // The operator's switch. stop = false: creates the listener when there is none and starts
  // it when it does not listen (true when it listens). stop = true: closes the listening
  // socket (true when it no longer listens, or there is no listener). Either ends the retries
  // of a port that was busy at the start.
  bool StartStopServer(bool stop);
  bool IsServerActive();
  // "Listening on port 21, 3 sessions, management link connected", or why not.
  std::string StatusText();
  // The addresses banned for failed logins (dotted) with the seconds left, and lifting one
  // (false when it is not banned or not an address).
  std::vector<std::pair<std::string, int64_t>> ListBans();
  bool LiftBan(const std::string& address);
  // The operator's view of the sessions: every open one (closing ones left out), in the
  // order they came.
  std::vector<SessionActivity> ListSessions();
  // Ends sessions at the operator's word, with 421: the one with that identifier, or every
  // session of that user name (letter case ignored). How many were ended; `byWhom` names the
  // operator in the journal.
  size_t KickSession(uint32_t identifier, const std::string& byWhom);
  size_t KickUser(const std::string& user, const std::string& byWhom);
  // Bans a dotted address for `seconds` (0: "Ban Time") and ends its sessions (`ended` says
  // how many). False when it is not an address or the listener has never run.
  bool BanAddress(const std::string& address, int64_t seconds, const std::string& byWhom,
                  size_t& ended);
  // Why the console is off although it was asked for (its port taken, ...); shown in the
  // status line. Empty: nothing to say.
  void SetConsoleProblem(std::string problem);

  CServiceModule& Module() { return module_; }
  // The service runs (its run loop has begun and no stop has ended it), listening or not.
  bool IsServing() const { return serving_.load() && !module_.StopRequested(); }
  void SetConsole(std::unique_ptr<CServiceConsole> console);
  // Makes the run callback open the control console (before the listener starts); the
  // factory returns null when there is to be none.
  void SetConsoleFactory(std::function<std::unique_ptr<CServiceConsole>(CFtpApp&)> factory) {
    consoleFactory_ = std::move(factory);
  }
  // Asks the run loop to stop the service; returns at once. Any thread (the console's: the
  // stop sequence closes the console, which must not happen on one of its own threads).
  void RequestStop();
  // The service's figures in Prometheus' text format (the console's /metrics; see
  // net/service_metrics.h): the counters of the process, with the sessions, bans and
  // management link of the listener (zeros and a link down while there is none). Any thread.
  std::string MetricsText();

 private:
  int InstallAndStart();
  int RemoveService();
  void Run();
  void StopServer();
  void CloseConsole();
  // Creates the listener when there is none and starts it listening (true when it listens).
  bool StartListener();
  // The start's attempt to listen: on failure, why goes into the status line and the run
  // loop tries again every kListenRetryMs until it listens or the operator decides.
  bool TryToListen();
  std::string ListenTrouble();
  // A "Main Path" the service cannot write is an error line, and stays in the status line.
  void CheckMainPath();

  CServiceModule module_;
  std::unique_ptr<CServiceSignals> signals_;
  std::mutex listenerMutex_;  // guards listener_
  std::unique_ptr<CFtpListener> listener_;
  std::mutex consoleMutex_;  // guards console_
  std::unique_ptr<CServiceConsole> console_;
  std::function<std::unique_ptr<CServiceConsole>(CFtpApp&)> consoleFactory_;
  std::atomic<bool> stopAsked_{false};
  std::mutex problemMutex_;  // guards the problems below
  std::string consoleProblem_;
  std::string listenTrouble_;   // why the service port could not be bound at the start
  std::string serviceProblem_;  // e.g. a "Main Path" that cannot be written
  std::atomic<bool> retryListening_{false};
  std::atomic<bool> serving_{false};
  std::atomic<bool> failed_{false};  // the run loop ended without a stop being asked for
};

}  // namespace zelm
