// CServiceModule: everything the program does with the service manager (systemd): installing
// its unit, removing it, starting it, reading its state, running as the service and the stop
// sequence.
//
// The unit is zelmftp.service (alias ZelmFtpHost.service). The package ships it in
// /lib/systemd/system; where it is installed, installation only enables it and removal only
// disables it. Elsewhere installation writes the same unit (the text of
// packaging/zelmftp.service, compiled in, with the running program's path) to
// /etc/systemd/system, makes sure the service's system user exists and owns the settings
// folder and the main path, and enables the unit; removal disables it and deletes the file.
// `Start` then starts it. Each failing step leaves one line for the operator in
// `LastMessage()`.
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

// The service's name as the operator's tools print it, and the unit's alias.
inline constexpr const char* kServiceName = "ZelmFtpHost";
// The unit: zelmftp.service.
inline constexpr const char* kUnitName = "zelmftp";
inline constexpr const char* kServiceDisplayName = "ZelmNetCafe FTP Server";
inline constexpr const char* kServiceUser = "zelmftp";
// Where installation writes the unit when the package's is not installed.
inline constexpr const char* kDefaultUnitFolder = "/etc/systemd/system";
// Where the package's unit lives ($ZELMFTP_PACKAGED_UNIT_DIR when set: the tests' own).
inline constexpr const char* kPackagedUnitFolder = "/lib/systemd/system";
// The paths the shipped unit is written for.
inline constexpr const char* kPackagedExecutable = "/usr/sbin/zelmftp";
inline constexpr const char* kPackagedSettings = "/var/lib/zelmftp/settings.db";
// The parent of the package's "Main Path": the one folder outside its state and logs that the
// shipped unit lets the service write.
inline constexpr const char* kPackagedHomesParent = "/srv/zelmftp";

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
  std::string packagedUnitFolder;  // empty: $ZELMFTP_PACKAGED_UNIT_DIR, else kPackagedUnitFolder
  std::string executablePath;  // empty: the running executable
  std::string settingsPath;    // the settings store the service uses
  std::string mainPath;        // "Main Path": the users' home folders live below it; may be empty
  std::string transferLogPath;  // "Transfer Log": the service appends to it; empty: none
  std::string user = kServiceUser;
};

// The unit the package ships (packaging/zelmftp.service, compiled in).
std::string_view ShippedUnitText();

// The unit file for `options` (all paths absolute): the shipped unit with ExecStart= the
// executable, User= the user, an Environment= line naming a settings store other than the
// package's, and ReadWritePaths= widened by the folders the package's paths do not cover (the
// settings folder, the main path, the transfer log's folder). With the package's paths it is
// the shipped unit itself. Empty when a path cannot be written into a unit file (it is
// relative or holds a line break).
std::string BuildUnitFile(const UnitOptions& options);

// The folder of `executable` that the unit's sandbox hides from the service (/tmp, /var/tmp,
// /home, /root, /run/user); empty when it lies elsewhere.
std::string HiddenFolderOf(const std::string& executable);

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
  // With the package's unit installed: enables it. Otherwise refuses an executable the
  // sandbox would hide, writes the unit file (a present one is rewritten), creates the system
  // user when it is missing, gives it the settings folder and the main path, reloads systemd
  // and enables the unit. False with `LastMessage()` on the first failing step.
  bool Install();
  // Stops and disables the unit; a unit file installation wrote is deleted and systemd
  // reloaded. The settings stay.
  bool Remove();
  // Starts the unit; with `restart` a running unit is restarted, without it a running unit is
  // left alone. True when the service manager accepted it.
  bool Start(bool restart);
  // The unit's state as systemd reports it; start pending reads as running, stop pending as
  // stopped; kStateUnknown when systemd cannot be asked.
  int QueryState();
  const std::string& LastMessage() const { return message_; }
  // The unit file in effect: the package's when it is installed, else the one installation
  // writes.
  std::string UnitPath() const;
  // Whether the package's unit is installed.
  bool IsPackaged() const;

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
  std::string WrittenUnitPath() const;
  std::string PackagedUnitPath() const;

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
