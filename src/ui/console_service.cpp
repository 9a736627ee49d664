// Owns the wiring between the application and its control console.
#include "ui/console_service.h"

#include <cstdio>

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
  bool IsServiceRunning() override { return app_.Module().State() == kStateRunning; }
  void RequestStop() override { app_.RequestStop(); }
  std::vector<std::pair<std::string, int64_t>> ListBans() override { return app_.ListBans(); }
  bool LiftBan(const std::string& address) override { return app_.LiftBan(address); }

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
    std::fprintf(stderr, "zelmftp: \"%s\" %u is not a port; no console\n", kConsolePortSetting,
                 port);
    return nullptr;
  }
  ConsoleOptions options;
  options.address = ReadSettingString(kConsoleAddressSetting, kDefaultConsoleAddress);
  options.port = static_cast<uint16_t>(port);
  options.tokenPath = ConsoleTokenPath(SettingsStorePath());
  options.version = ZELM_VERSION;
  auto console = std::make_unique<CAppConsole>(app, std::move(options));
  if (!console->Create()) {
    std::fprintf(stderr, "zelmftp: console: %s; the service runs without it\n",
                 console->Dialog().Error().c_str());
    return nullptr;
  }
  if (!console->Dialog().Error().empty()) {
    std::fprintf(stderr, "zelmftp: console: %s\n", console->Dialog().Error().c_str());
  }
  const std::string address = ReadSettingString(kConsoleAddressSetting, kDefaultConsoleAddress);
  const bool v6 = address.find(':') != std::string::npos;
  std::fprintf(stderr, "zelmftp: console on http://%s%s%s:%u/\n", v6 ? "[" : "", address.c_str(),
               v6 ? "]" : "", console->Dialog().Port());
  return console;
}

}  // namespace zelm
