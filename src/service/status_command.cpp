// Owns the operator's status command.
#include "service/status_command.h"

#include <string>

#include "platform/service_manager.h"
#include "service/service_module.h"

namespace zelm {

int RunStatusCommand(std::ostream& out, std::ostream& err) {
  CServiceModule module;
  const int state = module.QueryState();
  if (state == kStateUnknown) {
    err << "zelmftpctl: cannot ask systemd about " << kServiceName << ".service\n";
    return 4;
  }
  if (state != kStateRunning) {
    out << kServiceName << ": not running\n";
    return 3;
  }
  // The status line the service last sent with sd_notify.
  // The unit's own name: the alias ZelmFtpHost.service exists only once it is enabled.
  const std::string unit = std::string(kUnitName) + ".service";
  const CommandResult shown =
      RunCommand({"systemctl", "show", "--property=StatusText", "--value", unit});
  std::string status = shown.ran && shown.status == 0 ? shown.output : std::string();
  while (!status.empty() && (status.back() == '\n' || status.back() == '\r')) status.pop_back();
  out << kServiceName << ": running" << (status.empty() ? "" : "; " + status) << "\n";
  // Running but not listening (its port taken, or deactivated) is not "all is well".
  return status.rfind("Not listening", 0) == 0 ? 1 : 0;
}

}  // namespace zelm
