// Owns the service's unit file, its systemd commands, its state reports and its stop sequence.
#include "service/service_module.h"

#include <utility>

#include "platform/files.h"
#include "platform/service_manager.h"

namespace zelm {
namespace {

std::string UnitFileName() { return std::string(kServiceName) + ".service"; }

// The folder LogsDirectory=zelmftp gives the service.
constexpr const char* kLogsFolder = "/var/log/zelmftp";

// A path as one word of a unit file: '%' doubled (systemd's specifiers), quoted when it holds
// a space, a quote or a backslash.
std::string UnitWord(const std::string& path) {
  std::string word;
  bool quote = false;
  for (const char c : path) {
    if (c == '%') {
      word += "%%";
      continue;
    }
    if (c == ' ' || c == '\t' || c == '"' || c == '\\' || c == '\'') quote = true;
    if (c == '"' || c == '\\') word += '\\';
    word += c;
  }
  return quote ? '"' + word + '"' : word;
}

bool UsableInUnit(const std::string& path) {
  return !path.empty() && path[0] == '/' && path.find_first_of("\n\r") == std::string::npos;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

bool UnderHomeFolders(const std::string& path) {
  for (const char* home : {"/home", "/root", "/run/user"}) {
    const std::string prefix = home;
    if (path == prefix || path.starts_with(prefix + "/")) return true;
  }
  return false;
}

std::string FirstLine(const std::string& text) {
  const size_t end = text.find('\n');
  return text.substr(0, end);
}

}  // namespace

std::string BuildUnitFile(const UnitOptions& options) {
  const std::string settingsFolder = FolderOf(options.settingsPath);
  if (!UsableInUnit(options.executablePath) || !UsableInUnit(options.settingsPath) ||
      (!options.mainPath.empty() && !UsableInUnit(options.mainPath)) || options.user.empty()) {
    return {};
  }
  // The service writes its settings and the users' folders; it reads its executable.
  std::string protectHome = "yes";
  if (UnderHomeFolders(options.settingsPath) || UnderHomeFolders(options.mainPath)) {
    protectHome = "no";
  } else if (UnderHomeFolders(options.executablePath)) {
    protectHome = "read-only";
  }
  std::string writable = UnitWord(settingsFolder);
  if (!options.mainPath.empty()) writable += " " + UnitWord(options.mainPath);
  // The transfer log's default folder is systemd's to make (LogsDirectory); one elsewhere
  // must be writable through ProtectSystem.
  const std::string logFolder = FolderOf(options.transferLogPath);
  if (UsableInUnit(options.transferLogPath) && logFolder != kLogsFolder &&
      logFolder != settingsFolder) {
    writable += " " + UnitWord("-" + logFolder);  // "-": a missing folder does not fail the unit
  }

  std::string unit;
  unit +=
      "# Written by \"zelmftp /I\", which rewrites it when run again; \"zelmftp /R\" removes it.\n";
  unit += "[Unit]\n";
  unit += std::string("Description=") + kServiceDisplayName + "\n";
  unit += "Wants=network-online.target\n";
  unit += "After=network-online.target\n";
  // Restarts after failures: at most 3 within 120 s, 15 s apart.
  unit += "StartLimitIntervalSec=120\n";
  unit += "StartLimitBurst=3\n";
  unit += "\n[Service]\n";
  unit += "Type=notify\n";
  unit += "ExecStart=" + UnitWord(options.executablePath) + "\n";
  unit += "Environment=" + UnitWord("ZELMFTP_SETTINGS=" + options.settingsPath) + "\n";
  unit += "User=" + options.user + "\n";
  unit += "Restart=on-failure\n";
  unit += "RestartSec=15s\n";
  unit += "TimeoutStopSec=15s\n";
  unit += "AmbientCapabilities=CAP_NET_BIND_SERVICE\n";
  unit += "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n";
  unit += "NoNewPrivileges=yes\n";
  unit += "ProtectSystem=strict\n";
  unit += "ReadWritePaths=" + writable + "\n";
  // /var/log/zelmftp, owned by the service's user (the default "Transfer Log" is in it).
  unit += "LogsDirectory=zelmftp\n";
  unit += "LogsDirectoryMode=0750\n";
  unit += "ProtectHome=" + protectHome + "\n";
  unit += "PrivateTmp=yes\n";
  unit += "\n[Install]\n";
  unit += "WantedBy=multi-user.target\n";
  return unit;
}

CServiceModule::CServiceModule() : notify_(NotifyServiceManager) {}

std::string CServiceModule::UnitPath() const { return options_.unitFolder + "/" + UnitFileName(); }

bool CServiceModule::Systemctl(std::initializer_list<std::string> words, bool wroteUnit) {
  std::vector<std::string> argv{"systemctl"};
  argv.insert(argv.end(), words.begin(), words.end());
  std::string command;
  for (const std::string& word : argv) command += (command.empty() ? "" : " ") + word;
  const CommandResult result = RunCommand(argv);
  if (result.ran && result.status == 0) return true;
  if (!result.ran || !ServiceManagerBooted()) {
    message_ = "systemd is not running on this machine (\"" + command + "\" failed)";
    if (wroteUnit) {
      message_ += ": the unit file was written to " + UnitPath() + "; start it with \"systemctl " +
                  "daemon-reload && systemctl enable --now " + UnitFileName() +
                  "\" once systemd runs";
    }
    return false;
  }
  message_ = "\"" + command + "\" failed with exit status " + std::to_string(result.status);
  const std::string said = FirstLine(result.output);
  if (!said.empty()) message_ += ": " + said;
  return false;
}

bool CServiceModule::PrepareUserAndFolders(const UnitOptions& options) {
  uint32_t uid = 0;
  uint32_t gid = 0;
  if (!LookUpUser(options.user, uid, gid)) {
    const CommandResult made =
        RunCommand({"useradd", "--system", "--user-group", "--no-create-home", "--home-dir",
                    FolderOf(options.settingsPath), "--shell", "/usr/sbin/nologin", options.user});
    if (!made.ran || made.status != 0 || !LookUpUser(options.user, uid, gid)) {
      message_ = "cannot create the system user " + options.user + " (useradd " +
                 (made.ran ? "said: " + FirstLine(made.output) : std::string("is missing")) + ")";
      return false;
    }
  }
  const std::string settingsFolder = FolderOf(options.settingsPath);
  const struct {
    const std::string& path;
    uint32_t mode;
  } folders[] = {{settingsFolder, 0700}, {options.mainPath, 0755}};
  for (const auto& folder : folders) {
    if (folder.path.empty()) continue;
    if (!MakeFolders(folder.path, folder.mode) || !ChangeOwner(folder.path, uid, gid)) {
      message_ = "cannot create " + folder.path + " or give it to the user " + options.user +
                 " (run this as root)";
      return false;
    }
  }
  // The store and SQLite's side files, when the operator made them before installing.
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    const std::string file = options.settingsPath + suffix;
    FileStatus status;
    if (GetFileStatus(file, status, LinkPolicy::kNoFollow) && !ChangeOwner(file, uid, gid)) {
      message_ = "cannot give " + file + " to the user " + options.user + " (run this as root)";
      return false;
    }
  }
  return true;
}

bool CServiceModule::Install() {
  message_.clear();
  UnitOptions options = options_;
  if (options.executablePath.empty()) options.executablePath = RunningExecutablePath();
  const std::string unit = BuildUnitFile(options);
  if (unit.empty()) {
    message_ = "cannot write a unit file for the executable " + options.executablePath +
               ", the settings " + options.settingsPath + " and the main path \"" +
               options.mainPath + "\": each must be an absolute path on one line";
    return false;
  }
  if (!PrepareUserAndFolders(options)) return false;
  if (!ReplaceFileContents(UnitPath(), unit)) {
    message_ = "cannot write the unit file " + UnitPath() + " (run this as root)";
    return false;
  }
  return Systemctl({"daemon-reload"}, true) && Systemctl({"enable", UnitFileName()}, true);
}

bool CServiceModule::Start(bool restart) {
  message_.clear();
  return Systemctl({restart ? "restart" : "start", UnitFileName()}, true);
}

bool CServiceModule::Remove() {
  message_.clear();
  const std::string unitPath = UnitPath();
  FileStatus status;
  if (!GetFileStatus(unitPath, status, LinkPolicy::kNoFollow)) {
    message_ = std::string(kServiceName) + " is not installed: there is no " + unitPath;
    return false;
  }
  // Without systemd there is nothing to stop; the unit file goes all the same.
  const bool stopped = Systemctl({"disable", "--now", UnitFileName()}, false);
  const std::string stopFailure = message_;
  if (!stopped && ServiceManagerBooted()) return false;
  if (!RemoveFile(unitPath)) {
    message_ = "cannot delete the unit file " + unitPath + " (run this as root)";
    return false;
  }
  if (!stopped) {
    message_ = stopFailure + "; the unit file " + unitPath + " was deleted";
    return false;
  }
  return Systemctl({"daemon-reload"}, false);
}

int CServiceModule::QueryState() {
  const CommandResult result = RunCommand({"systemctl", "is-active", UnitFileName()});
  if (!result.ran) return kStateUnknown;
  const std::string state = FirstLine(result.output);
  if (state == "active" || state == "activating" || state == "reloading") return kStateRunning;
  if (state == "inactive" || state == "failed" || state == "deactivating") return kStateStopped;
  return kStateUnknown;
}

bool CServiceModule::RunDispatcher() {
  if (!StartedByServiceManager()) return false;
  ServiceMain();
  return true;
}

void CServiceModule::ServiceMain() {
  if (run_) run_();
  SetStatus(kStateStopped);
}

void CServiceModule::SetStatus(int state, std::string_view status) {
  // Stopped is reported once: by the stop sequence, or when the run callback returns.
  if (state_.exchange(state) == kStateStopped && state == kStateStopped) return;
  std::string report;
  if (state == kStateRunning) report = "READY=1\n";
  if (state == kStateStopPending) report = "STOPPING=1\n";
  report += "STATUS=";
  if (!status.empty()) {
    report += status;
  } else {
    report += state == kStateRunning       ? "Running"
              : state == kStateStopPending ? "Stopping"
                                           : "Stopped";
  }
  if (notify_) notify_(report);
}

void CServiceModule::ReportStatusLine(std::string_view status) {
  if (notify_) notify_("STATUS=" + std::string(status));
}

void CServiceModule::Stop() {
  if (stopping_.exchange(true)) return;
  SetStatus(kStateStopPending);
  if (stop_) stop_();
  if (closeConsole_) closeConsole_();
  stopRequested_.store(true);
  if (quit_) quit_();
  SetStatus(kStateStopped);
}

int CServiceModule::StopIfRunning() {
  if (state_.load() == kStateRunning) Stop();
  return 1;
}

}  // namespace zelm
