// Owns the service's unit file (the shipped one, or the same text written by installation), its
// systemd commands, its state reports and its stop sequence.
#include "service/service_module.h"

#include <cstdlib>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "platform/service_manager.h"

namespace zelm {
namespace {

std::string UnitFileName() { return std::string(kUnitName) + ".service"; }

// The folders the shipped unit makes writable for the service: StateDirectory=zelmftp,
// LogsDirectory=zelmftp and ReadWritePaths=-/srv/zelmftp.
constexpr const char* kStateFolder = "/var/lib/zelmftp";
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

// `path` is `folder` or lies below it.
bool IsWithin(const std::string& path, const std::string& folder) {
  return path == folder || path.starts_with(folder + "/");
}

// What ProtectHome=yes hides.
constexpr const char* kHomeFolders[] = {"/home", "/root", "/run/user"};

bool UnderHomeFolders(const std::string& path) {
  for (const char* home : kHomeFolders) {
    if (IsWithin(path, home)) return true;
  }
  return false;
}

std::string FirstLine(const std::string& text) {
  const size_t end = text.find('\n');
  return text.substr(0, end);
}

}  // namespace

std::string HiddenFolderOf(const std::string& executable) {
  // PrivateTmp=yes gives the service a /tmp and /var/tmp of its own; ProtectHome=yes the rest.
  for (const char* folder : {"/tmp", "/var/tmp"}) {
    if (IsWithin(executable, folder)) return folder;
  }
  for (const char* folder : kHomeFolders) {
    if (IsWithin(executable, folder)) return folder;
  }
  return {};
}

std::string BuildUnitFile(const UnitOptions& options) {
  if (!UsableInUnit(options.executablePath) || !UsableInUnit(options.settingsPath) ||
      (!options.mainPath.empty() && !UsableInUnit(options.mainPath)) || options.user.empty() ||
      options.user.find_first_of(" \t\n\r") != std::string::npos) {
    return {};
  }
  // Writable besides what the shipped unit opens: the settings folder, the main path and the
  // transfer log's folder, each when the shipped unit's folders do not hold it already.
  const std::string settingsFolder = FolderOf(options.settingsPath);
  std::vector<std::string> covered = {kStateFolder, kLogsFolder, kPackagedHomesParent};
  std::string widened;
  auto widen = [&](const std::string& folder, bool mayBeMissing) {
    for (const std::string& done : covered) {
      if (IsWithin(folder, done)) return;
    }
    covered.push_back(folder);
    // "-": a folder that does not exist yet does not fail the unit's start.
    widened += " " + UnitWord((mayBeMissing ? "-" : "") + folder);
  };
  widen(settingsFolder, false);
  if (!options.mainPath.empty()) widen(options.mainPath, false);
  if (UsableInUnit(options.transferLogPath)) widen(FolderOf(options.transferLogPath), true);
  const bool homesWritten =
      UnderHomeFolders(options.settingsPath) || UnderHomeFolders(options.mainPath);

  std::string unit;
  const std::string_view shipped = ShippedUnitText();
  size_t at = 0;
  while (at < shipped.size()) {
    size_t end = shipped.find('\n', at);
    end = end == std::string_view::npos ? shipped.size() : end + 1;
    const std::string_view line = shipped.substr(at, end - at);
    at = end;
    if (line.starts_with("ExecStart=")) {
      unit += "ExecStart=" + UnitWord(options.executablePath) + "\n";
      if (options.settingsPath != kPackagedSettings) {
        unit += "Environment=" + UnitWord("ZELMFTP_SETTINGS=" + options.settingsPath) + "\n";
      }
    } else if (line.starts_with("User=")) {
      unit += "User=" + options.user + "\n";
    } else if (line.starts_with("ReadWritePaths=")) {
      unit += std::string(line.substr(0, line.size() - 1)) + widened + "\n";
    } else if (line.starts_with("ProtectHome=") && homesWritten) {
      unit += "ProtectHome=no\n";
    } else {
      unit += line;
    }
  }
  return unit;
}

CServiceModule::CServiceModule() : notify_(NotifyServiceManager) {}

std::string CServiceModule::WrittenUnitPath() const {
  return options_.unitFolder + "/" + UnitFileName();
}

std::string CServiceModule::PackagedUnitPath() const {
  std::string folder = options_.packagedUnitFolder;
  if (folder.empty()) {
    const char* fromEnvironment = std::getenv("ZELMFTP_PACKAGED_UNIT_DIR");
    folder = fromEnvironment != nullptr && *fromEnvironment != '\0' ? fromEnvironment
                                                                    : kPackagedUnitFolder;
  }
  return folder + "/" + UnitFileName();
}

bool CServiceModule::IsPackaged() const {
  FileStatus status;
  return GetFileStatus(PackagedUnitPath(), status) && status.kind == FileKind::kRegular;
}

std::string CServiceModule::UnitPath() const {
  return IsPackaged() ? PackagedUnitPath() : WrittenUnitPath();
}

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
  // The package's unit, its user and its folders are in place: only enable it.
  if (IsPackaged()) return Systemctl({"enable", UnitFileName()}, false);

  UnitOptions options = options_;
  if (options.executablePath.empty()) options.executablePath = RunningExecutablePath();
  if (const std::string hidden = HiddenFolderOf(options.executablePath); !hidden.empty()) {
    message_ = "refusing to install a unit that starts " + options.executablePath +
               ": the service's sandbox hides " + hidden +
               " from it. Install the programs first (sudo cmake --install BUILD-FOLDER, or the " +
               "Debian package) and run the installed zelmftp /I";
    return false;
  }
  const std::string unit = BuildUnitFile(options);
  if (unit.empty()) {
    message_ = "cannot write a unit file for the executable " + options.executablePath +
               ", the settings " + options.settingsPath + " and the main path \"" +
               options.mainPath + "\": each must be an absolute path on one line";
    return false;
  }
  if (!PrepareUserAndFolders(options)) return false;
  const std::string unitPath = WrittenUnitPath();
  if (!ReplaceFileContents(unitPath, unit)) {
    message_ = "cannot write the unit file " + unitPath + " (run this as root)";
    return false;
  }
  return Systemctl({"daemon-reload"}, true) && Systemctl({"enable", UnitFileName()}, true);
}

bool CServiceModule::Start(bool restart) {
  message_.clear();
  return Systemctl({restart ? "restart" : "start", UnitFileName()}, !IsPackaged());
}

bool CServiceModule::Remove() {
  message_.clear();
  const std::string unitPath = WrittenUnitPath();
  FileStatus status;
  const bool written = GetFileStatus(unitPath, status, LinkPolicy::kNoFollow);
  const bool packaged = IsPackaged();
  if (!written && !packaged) {
    message_ = "the service is not installed: there is no " + unitPath + " nor the package's " +
               PackagedUnitPath();
    return false;
  }
  // Without systemd there is nothing to stop; a written unit file goes all the same.
  const bool stopped = Systemctl({"disable", "--now", UnitFileName()}, false);
  if (!written) return stopped;
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
