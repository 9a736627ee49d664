// Owns the wiring between the application and its control console.
#include "ui/console_service.h"

#include "platform/journal.h"
#include "server/settings.h"
#include "service/service_module.h"
#include "ui/control_dlg.h"

namespace zelm {
namespace {

class CAppHost final : public CConsoleHost {
 public:
  explicit CAppHost(CFtpApp& app) : app_(app) {}
  bool StartStopServer(bool stop) override { return app_.StartStopServer(stop); }
  bool IsServerActive() override { return app_.IsServerActive(); }
  std::string StatusText() override { return app_.StatusText(); }
  bool IsServiceRunning() override { return app_.IsServing(); }
  void RequestStop() override { app_.RequestStop(); }
  std::vector<std::pair<std::string, int64_t>> ListBans() override { return app_.ListBans(); }
  bool LiftBan(const std::string& address) override { return app_.LiftBan(address); }
  std::vector<SessionActivity> ListSessions() override { return app_.ListSessions(); }
  std::string MetricsText() override { return app_.MetricsText(); }
  size_t KickSession(uint32_t identifier, const std::string& byWhom) override {
    return app_.KickSession(identifier, byWhom);
  }
  size_t KickUser(const std::string& user, const std::string& byWhom) override {
    return app_.KickUser(user, byWhom);
  }
  bool BanAddress(const std::string& address, int64_t seconds, const std::string& byWhom,
                  size_t& ended) override {
    return app_.BanAddress(address, seconds, byWhom, ended);
  }

 private:
  CFtpApp& app_;
};

class CAppConsole final : public CServiceConsole {
 public:
  CAppConsole(CFtpApp& app, ConsoleOptions options)
      : host_(app), dialog_(host_, std::move(options)) {}
  bool Create() { return dialog_.Create(); }
  void Close() override { dialog_.Close(); }
  CControlDlg& Dialog() { return dialog_; }

 private:
  CAppHost host_;
  CControlDlg dialog_;
};

}  // namespace

std::unique_ptr<CServiceConsole> CreateServiceConsole(CFtpApp& app) {
  const uint32_t port = ReadSettingDword(kConsolePortSetting, kDefaultConsolePort);
  if (port == 0) return nullptr;
  if (port > 65535) {
    const std::string why =
        "\"" + std::string(kConsolePortSetting) + "\" " + std::to_string(port) + " is not a port";
    WriteJournalLine(LogPriority::kErr, "zelmftp: " + why + "; no console");
    app.SetConsoleProblem(why);
    return nullptr;
  }
  ConsoleOptions options;
  options.address = ReadSettingString(kConsoleAddressSetting, kDefaultConsoleAddress);
  options.port = static_cast<uint16_t>(port);
  options.tokenPath = ConsoleTokenPath(SettingsStorePath());
  options.version = ZELM_VERSION;
  auto console = std::make_unique<CAppConsole>(app, std::move(options));
  if (!console->Create()) {
    // The service goes on: FTP matters more than the console. The status line says why it is
    // missing, for systemctl status and zelmftpctl status.
    WriteJournalLine(LogPriority::kErr, "zelmftp: console: " + console->Dialog().Error() +
                                            "; the service runs without it");
    app.SetConsoleProblem(console->Dialog().Error());
    return nullptr;
  }
  if (!console->Dialog().Error().empty()) {
    WriteJournalLine(LogPriority::kWarning, "zelmftp: console: " + console->Dialog().Error());
  }
  const std::string address = ReadSettingString(kConsoleAddressSetting, kDefaultConsoleAddress);
  const bool v6 = address.find(':') != std::string::npos;
  WriteJournalLine(LogPriority::kNotice, "zelmftp: console on http://" +
                                             (v6 ? "[" + address + "]" : address) + ":" +
                                             std::to_string(console->Dialog().Port()) + "/");
  return console;
}

}  // namespace zelm
