// Owns the program's start: the command line, the run loop and the listener's life.
#include "service/ftp_app.h"

#include <cstdio>
#include <cstdlib>

#include "ftp/session_log.h"
#include "net/service_metrics.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/journal.h"
#include "platform/privileges.h"
#include "platform/settings_store.h"
#include "platform/socket.h"
#include "service/command_line.h"

namespace zelm {
namespace {

std::string EnvironmentOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

}  // namespace

CFtpApp::CFtpApp() {
  module_.SetCallbacks([this] { Run(); }, [this] { StopServer(); });
  module_.SetConsoleCloser([this] { CloseConsole(); });
  module_.SetQuitHook([this] {
    if (signals_) signals_->Wake();
  });
}

CFtpApp::~CFtpApp() {
  StopServer();
  CloseConsole();
}

int CFtpApp::InitInstance(int argc, const char* const* argv) {
  UseSettingsStore(DefaultSettingsPath());
  switch (ParseServiceCommand(Arguments(argc, argv))) {
    case ServiceCommand::kInstall:
      return InstallAndStart();
    case ServiceCommand::kRemove:
      return RemoveService();
    case ServiceCommand::kUsage:
      std::printf("%s\n", kUsageText);
      return 0;
    case ServiceCommand::kVersion:
      std::printf("zelmftp %s\n", ZELM_VERSION);
      return 0;
    case ServiceCommand::kUsageError:
      std::fprintf(stderr, "%s\n", kUsageText);
      return 2;
    case ServiceCommand::kRun:
      break;
  }
  // SECURITY: started as root outside systemd (whose unit names the user), the service runs
  // as its own user, keeping only the right to bind ports below 1024; no thread runs yet.
  if (RunningAsRoot() && !StartedByServiceManager()) {
    const std::string user = ReadSettingString(kServiceUserSetting, kServiceUser);
    std::string error;
    if (user == "root") {
      // Only when the operator says so in as many words (a test machine, a throwaway box).
      WriteJournalLine(LogPriority::kWarning, "zelmftp: \"" + std::string(kServiceUserSetting) +
                                                  "\" is root: every customer is served as root");
    } else if (!DropToUser(user, error)) {
      WriteJournalLine(LogPriority::kErr,
                       "zelmftp: started as root, it serves as the user \"" + user +
                           "\" (setting \"" + kServiceUserSetting + "\"), but " + error +
                           ". Create it (sudo adduser --system --group " + user +
                           "), name another user in that setting, or start zelmftp as an "
                           "ordinary user.");
      return 1;
    }
    WriteJournalLine(LogPriority::kNotice, "zelmftp: started as root; serving as " + user +
                                               " (uid " + std::to_string(EffectiveUserId()) + ")");
  }
  // Before any thread starts, so that every thread leaves the signals to the run loop.
  signals_ = std::make_unique<CServiceSignals>();
  if (!module_.RunDispatcher()) {
    // Not started by systemd: run in the foreground, as from a shell, the demo or a test.
    WriteJournalLine(LogPriority::kInfo,
                     "zelmftp: running in the foreground; SIGTERM or Ctrl-C stops it");
    module_.ServiceMain();
  }
  // 0 only for a stop that was asked for (the unit's RestartPreventExitStatus=0).
  return failed_ ? 1 : 0;
}

int CFtpApp::InstallAndStart() {
  UnitOptions options;
  options.unitFolder = EnvironmentOr("ZELMFTP_UNIT_DIR", kDefaultUnitFolder);
  options.user = EnvironmentOr("ZELMFTP_SERVICE_USER", kServiceUser);
  options.settingsPath = SettingsStorePath();
  options.mainPath = GetMainPath();
  options.transferLogPath = GetTransferLogPath();
  module_.SetOptions(options);
  if (!module_.Install() || !module_.Start(false)) {
    WriteJournalLine(LogPriority::kErr, "zelmftp: " + module_.LastMessage());
    return 1;
  }
  std::printf("%s installed (%s) and started; settings in %s\n", kServiceName,
              module_.UnitPath().c_str(), options.settingsPath.c_str());
  return 0;
}

int CFtpApp::RemoveService() {
  UnitOptions options;
  options.unitFolder = EnvironmentOr("ZELMFTP_UNIT_DIR", kDefaultUnitFolder);
  module_.SetOptions(options);
  const bool removed = module_.Remove();
  if (!removed) WriteJournalLine(LogPriority::kErr, "zelmftp: " + module_.LastMessage());
  if (removed) std::printf("%s removed\n", kServiceName);
  std::printf("The settings stay in %s; delete that file to forget them.\n",
              SettingsStorePath().c_str());
  return removed ? 0 : 1;
}

void CFtpApp::Run() {
  serving_ = true;
  if (consoleFactory_) {
    std::unique_ptr<CServiceConsole> console = consoleFactory_(*this);
    if (console) SetConsole(std::move(console));
  }
  if (std::string why; !CSettingsStore(SettingsStorePath()).CheckReadable(why)) {
    WriteJournalLine(LogPriority::kWarning, "zelmftp: the settings store " + SettingsStorePath() +
                                                " " + why + "; every setting has its default");
  }
  if (TryToListen()) {
    WriteJournalLine(LogPriority::kNotice,
                     "zelmftp: " + StatusText() + ", settings " + SettingsStorePath());
    WriteJournalLine(listener_->IsTlsTroubled() ? LogPriority::kWarning : LogPriority::kNotice,
                     "zelmftp: " + listener_->TlsStatus());
  } else {
    WriteJournalLine(LogPriority::kErr, "zelmftp: " + ListenTrouble() + "; trying again every " +
                                            std::to_string(kListenRetryMs / 1000) + " s");
  }
  CheckMainPath();
  // systemd hears READY=1 only once the listener listens; until then the status line says why
  // it does not.
  if (IsServerActive()) {
    module_.SetStatus(kStateRunning, StatusText());
  } else {
    module_.ReportStatusLine(StatusText());
  }
  while (!module_.StopRequested()) {
    int signal = 0;
    const bool retrying = retryListening_.load();
    switch (signals_->Wait(retrying ? kListenRetryMs : kStatusRefreshMs, signal)) {
      case CServiceSignals::Event::kTerminate:
        WriteJournalLine(LogPriority::kNotice,
                         "zelmftp: signal " + std::to_string(signal) + ", shutting down");
        module_.Stop();
        break;
      case CServiceSignals::Event::kHangUp:
        WriteJournalLine(LogPriority::kNotice,
                         "zelmftp: SIGHUP ignored; settings are read when they are used");
        break;
      case CServiceSignals::Event::kTimeout:
        if (retrying && TryToListen()) {
          WriteJournalLine(LogPriority::kNotice, "zelmftp: " + StatusText());
        }
        if (module_.State() != kStateRunning && IsServerActive()) {
          module_.SetStatus(kStateRunning, StatusText());
        } else {
          module_.ReportStatusLine(StatusText());
        }
        break;
      case CServiceSignals::Event::kWake:
        // End FTP Session: the stop sequence, also while the service still waits for its port.
        if (stopAsked_.exchange(false)) module_.Stop();
        break;
      case CServiceSignals::Event::kError:
        WriteJournalLine(LogPriority::kErr, "zelmftp: cannot wait for signals, shutting down");
        // Not a stop anybody asked for: the exit status says so, and systemd starts it again.
        failed_ = true;
        module_.Stop();
        break;
    }
  }
  serving_ = false;
  StopServer();
  CloseConsole();
}

bool CFtpApp::TryToListen() {
  if (StartListener()) {
    retryListening_ = false;
    std::lock_guard lock(problemMutex_);
    listenTrouble_.clear();
    return true;
  }
  uint32_t port = ReadSettingDword("ServicePort", 0);
  if (port == 0) port = 21;
  int error = 0;
  {
    std::lock_guard lock(listenerMutex_);
    if (listener_) error = listener_->GetLastError();
  }
  std::string text;
  if (error == 0 || !GetSystemErrorText(error, text)) text = "is it in use?";
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) {
    text.pop_back();
  }
  retryListening_ = true;
  std::lock_guard lock(problemMutex_);
  listenTrouble_ = "cannot listen on port " + std::to_string(port) + " (" + text + ")";
  return false;
}

std::string CFtpApp::ListenTrouble() {
  std::lock_guard lock(problemMutex_);
  return listenTrouble_;
}

void CFtpApp::CheckMainPath() {
  const std::string main = GetMainPath();
  std::string why;
  if (main.empty() || CanWriteFolder(main, why)) return;
  const std::string problem = "\"Main Path\" " + main + " cannot be written: " + why +
                              "; no customer's home can be created or written there";
  WriteJournalLine(LogPriority::kErr,
                   "zelmftp: " + problem +
                       ". Under systemd the unit lets the service write only below /srv/zelmftp "
                       "and /var/lib/zelmftp: choose \"Main Path\" there, or add the folder "
                       "with `systemctl edit zelmftp` ([Service] ReadWritePaths=...)");
  PostEvent(LogPriority::kErr, "zelmftp: " + problem + "\r\n", "service", 0);
  std::lock_guard lock(problemMutex_);
  serviceProblem_ = problem;
}

bool CFtpApp::StartStopServer(bool stop) {
  // The operator decides now: no more retries of a port that was busy at the start.
  retryListening_ = false;
  {
    std::lock_guard lock(problemMutex_);
    listenTrouble_.clear();
  }
  if (!stop) return StartListener();
  std::lock_guard lock(listenerMutex_);
  return !listener_ || listener_->SetActive(false);
}

bool CFtpApp::StartListener() {
  std::lock_guard lock(listenerMutex_);
  if (!listener_) listener_ = std::make_unique<CFtpListener>();
  return listener_->SetActive(true);
}

bool CFtpApp::IsServerActive() {
  std::lock_guard lock(listenerMutex_);
  return listener_ && listener_->IsListening();
}

std::string CFtpApp::StatusText() {
  std::string problem;
  std::string trouble;
  {
    std::lock_guard lock(problemMutex_);
    if (!serviceProblem_.empty()) problem += "; " + serviceProblem_;
    if (!consoleProblem_.empty()) problem += "; console off: " + consoleProblem_;
    if (!listenTrouble_.empty()) {
      trouble = ": " + listenTrouble_ + ", trying again every " +
                std::to_string(kListenRetryMs / 1000) + " s";
    }
  }
  std::lock_guard lock(listenerMutex_);
  if (!listener_ || !listener_->IsListening()) return "Not listening" + trouble + problem;
  const uint32_t sessions = listener_->CountSessions();
  return "Listening on port " + std::to_string(listener_->GetListenPort()) + ", " +
         std::to_string(sessions) + (sessions == 1 ? " session" : " sessions") +
         ", management link " + (listener_->Link().IsReady() ? "connected" : "not connected") +
         problem;
}

void CFtpApp::SetConsoleProblem(std::string problem) {
  std::lock_guard lock(problemMutex_);
  consoleProblem_ = std::move(problem);
}

std::vector<SessionActivity> CFtpApp::ListSessions() {
  std::vector<SessionActivity> sessions;
  std::lock_guard lock(listenerMutex_);
  if (!listener_) return sessions;
  listener_->Sessions().ForEach([&sessions](CFtpSession& session) {
    if (!session.HasFlag(kFlagClosing)) sessions.push_back(session.GetActivity());
  });
  return sessions;
}

size_t CFtpApp::KickSession(uint32_t identifier, const std::string& byWhom) {
  size_t ended = 0;
  std::lock_guard lock(listenerMutex_);
  if (!listener_ || identifier == 0) return 0;
  listener_->Sessions().WithSession(identifier, [&](CFtpSession& session) {
    if (session.HasFlag(kFlagClosing)) return;
    session.Kick(byWhom);
    ++ended;
  });
  return ended;
}

size_t CFtpApp::KickUser(const std::string& user, const std::string& byWhom) {
  size_t ended = 0;
  std::lock_guard lock(listenerMutex_);
  if (!listener_) return 0;
  listener_->Sessions().ForEachSessionOfUser(user, [&](CFtpSession& session) {
    if (session.HasFlag(kFlagClosing)) return;
    session.Kick(byWhom);
    ++ended;
  });
  return ended;
}

bool CFtpApp::BanAddress(const std::string& address, int64_t seconds, const std::string& byWhom,
                         size_t& ended) {
  ended = 0;
  uint32_t host = 0;
  if (!ParseDottedAddress(address.c_str(), host)) return false;
  const uint32_t peer = HostToNetwork32(host);
  std::lock_guard lock(listenerMutex_);
  if (!listener_) return false;
  if (seconds <= 0) seconds = GetBanTime();
  listener_->Guard().BanUntil(peer, MonotonicMilliseconds() + seconds * 1000);
  PostEvent(
      LogPriority::kNotice,
      "Address " + address + " banned for " + std::to_string(seconds) + " s by " + byWhom + "\r\n",
      {}, peer);
  listener_->Sessions().ForEach([&](CFtpSession& session) {
    if (session.GetPeer() != peer || session.HasFlag(kFlagClosing)) return;
    session.Kick(byWhom + " (address banned)");
    ++ended;
  });
  return true;
}

std::vector<std::pair<std::string, int64_t>> CFtpApp::ListBans() {
  std::lock_guard lock(listenerMutex_);
  std::vector<std::pair<std::string, int64_t>> bans;
  if (!listener_) return bans;
  const int64_t now = MonotonicMilliseconds();
  for (const CLoginGuard::Ban& ban : listener_->Guard().ListBans(now)) {
    bans.emplace_back(CZmSocket::FormatIpAddress(ban.address), (ban.untilMs - now + 999) / 1000);
  }
  return bans;
}

bool CFtpApp::LiftBan(const std::string& address) {
  uint32_t host = 0;
  if (!ParseDottedAddress(address.c_str(), host)) return false;
  std::lock_guard lock(listenerMutex_);
  return listener_ && listener_->Guard().Lift(HostToNetwork32(host));
}

void CFtpApp::RequestStop() {
  stopAsked_ = true;
  if (signals_) signals_->Wake();
}

void CFtpApp::SetConsole(std::unique_ptr<CServiceConsole> console) {
  std::lock_guard lock(consoleMutex_);
  console_ = std::move(console);
}

void CFtpApp::StopServer() {
  std::unique_ptr<CFtpListener> ending;
  {
    std::lock_guard lock(listenerMutex_);
    ending = std::move(listener_);
  }
  if (!ending) return;
  ending->SetActive(false);  // on the listener's thread, which reports it to the link
  ending->ShutdownAll();
}

void CFtpApp::CloseConsole() {
  std::unique_ptr<CServiceConsole> console;
  {
    std::lock_guard lock(consoleMutex_);
    console = std::move(console_);
  }
  if (console) console->Close();
}

std::string CFtpApp::MetricsText() {
  std::lock_guard lock(listenerMutex_);
  if (listener_) return listener_->MetricsText();
  return RenderMetricsText(ServiceMetrics().Read(), {});
}

}  // namespace zelm
