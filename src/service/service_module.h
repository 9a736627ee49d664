// CServiceModule: everything the program does with the service manager (systemd): installing
// its own unit, removing it, starting it, reading its state, running as the service and the
// stop sequence.
//
// Installation writes the unit file, makes sure the service's system user exists and owns the
// settings folder and the main path, and enables the unit; `Start` then starts it. Each
// failing step leaves one line for the operator in `LastMessage()`.
//
// Threads: installation, removal and queries run on the main thread. `ServiceMain` runs the
// run callback on the calling thread; `Stop` may be called from any thread (the run loop on a
// signal, the control console on its own thread) and runs the stop sequence once.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <string_view>

namespace zelm {

inline constexpr const char* kServiceName = "ZelmFtpHost";
inline constexpr const char* kServiceDisplayName = "ZelmNetCafe FTP Server";
inline constexpr const char* kServiceUser = "zelmftp";
inline constexpr const char* kDefaultUnitFolder = "/etc/systemd/system";

// Service states as the rest of the program sees them.
enum ServiceState : int {
  kStateUnknown = -1,
  kStateStopped = 1,
  kStateStopPending = 3,
  kStateRunning = 4,
};

// What an installation writes into the unit file and prepares on disk.
struct UnitOptions {
  std::string unitFolder = kDefaultUnitFolder;
  std::string executablePath;  // empty: the running executable
  std::string settingsPath;    // the settings store the service uses
  std::string mainPath;        // "Main Path": the users' home folders live below it; may be empty
  std::string transferLogPath;  // "Transfer Log": the service appends to it; empty: none
  std::string user = kServiceUser;
};

// The unit file for `options` (all paths absolute); empty when a path cannot be written into
// a unit file (it is relative or holds a line break).
std::string BuildUnitFile(const UnitOptions& options);

class CServiceModule final {
 public:
  // Sends one state report to the service manager ("READY=1", ...).
  using Notifier = std::function<bool(std::string_view)>;

  CServiceModule();
  CServiceModule(const CServiceModule&) = delete;
  CServiceModule& operator=(const CServiceModule&) = delete;

  void SetOptions(UnitOptions options) { options_ = std::move(options); }
  const UnitOptions& Options() const { return options_; }
  // The run callback runs the service until it is to end; the stop callback ends the server.
  void SetCallbacks(std::function<void()> run, std::function<void()> stop) {
    run_ = std::move(run);
    stop_ = std::move(stop);
  }
  // Called by the stop sequence after the stop callback: closes the control console.
  void SetConsoleCloser(std::function<void()> closeConsole) {
    closeConsole_ = std::move(closeConsole);
  }
  // Called by the stop sequence to end the run loop (it must wake a waiting loop).
  void SetQuitHook(std::function<void()> quit) { quit_ = std::move(quit); }
  // Replaces sd_notify (tests).
  void SetNotifier(Notifier notifier) { notify_ = std::move(notifier); }

  // ---- The service manager (main thread) ----
  // Writes the unit file (a present one is rewritten), creates the system user when it is
  // missing, gives it the settings folder and the main path, reloads systemd and enables the
  // unit. False with `LastMessage()` on the first failing step.
  bool Install();
  // Stops and disables the unit, deletes its file and reloads systemd. The settings stay.
  bool Remove();
  // Starts the unit; with `restart` a running unit is restarted, without it a running unit is
  // left alone. True when the service manager accepted it.
  bool Start(bool restart);
  // The unit's state as systemd reports it; start pending reads as running, stop pending as
  // stopped; kStateUnknown when systemd cannot be asked.
  int QueryState();
  const std::string& LastMessage() const { return message_; }
  std::string UnitPath() const;

  // ---- Running as the service ----
  // False when systemd did not start this process. Otherwise runs `ServiceMain` and returns
  // true once the service has stopped.
  bool RunDispatcher();
  // Runs the run callback and reports stopped when it returns.
  void ServiceMain();
  // Reports a state: running sends "READY=1" with `status` as the status line, stop pending
  // "STOPPING=1"; every report records the state.
  void SetStatus(int state, std::string_view status = {});
  // Sends a new status line without changing the state.
  void ReportStatusLine(std::string_view status);
  // The state last reported by this process.
  int State() const { return state_.load(); }
  // The stop sequence: stop pending, the stop callback, the console closed, the run loop told
  // to end, stopped. Runs once; later calls return at once.
  void Stop();
  // Runs `Stop` when the service is running. Always 1.
  int StopIfRunning();
  bool StopRequested() const { return stopRequested_.load(); }

 private:
  // Runs systemctl with `words`; on failure fills the message and returns false.
  bool Systemctl(std::initializer_list<std::string> words, bool wroteUnit);
  bool PrepareUserAndFolders(const UnitOptions& options);

  UnitOptions options_;
  std::string message_;
  std::function<void()> run_;
  std::function<void()> stop_;
  std::function<void()> closeConsole_;
  std::function<void()> quit_;
  Notifier notify_;
  std::atomic<int> state_{kStateStopped};
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> stopping_{false};
};

}  // namespace zelm
