// The operator's command-line tool.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "platform/settings_store.h"
#include "server/settings_command.h"
#include "service/tls_command.h"
#include "ui/console_command.h"

namespace {

constexpr const char* kUsage =
    "Usage: zelmftpctl [--settings PATH] COMMAND\n"
    "\n"
    "Commands:\n"
    "  status                         whether the FTP service runs, and its state (exit\n"
    "                                 status 0 running, 3 not running, 4 unknown)\n"
    "  activate | deactivate          start or stop the FTP listener (through the console)\n"
    "  stop                           stop the FTP service (\"End FTP Session\")\n"
    "  log [--follow] [--passwords]   the console's log of FTP commands and replies\n"
    "                                 (--passwords: in clear, for root only)\n"
    "  console                        print a one-time link that opens the console in a\n"
    "                                 browser\n"
    "  sessions [--json]              who is connected, since when, idle for how long, the\n"
    "                                 last command and the transfer under way\n"
    "  kick ID|USER [--json]          end one session (its ID from `sessions`) or every\n"
    "                                 session of a user, with 421 (exit status 1: none)\n"
    "  bans [--json]                  the banned addresses and the seconds left\n"
    "  ban ADDRESS [SECONDS] [--json] refuse an address's connections (default: \"Ban\n"
    "                                 Time\") and end its sessions\n"
    "  unban ADDRESS [--json]         lift a ban (exit status 1: it was not banned)\n"
    "  admin-password [1|2]           set an administrator password of the console (read\n"
    "                                 from the terminal without echo, or from stdin)\n"
    "  settings list                  every stored setting: name, kind, value\n"
    "  settings get NAME              one setting's value\n"
    "  settings set-dword NAME N      store a number (decimal, 0x-hex, or a dotted IPv4\n"
    "                                 address for \"MServer IP\" and \"ServiceIP\")\n"
    "  settings set-string NAME TEXT  store a text\n"
    "  settings unset NAME            remove a setting (it takes its default again)\n"
    "  tls generate [--days N] [--name HOST]\n"
    "                                 a new self-signed certificate and key for FTPS\n"
    "                                 (zelmftp-cert.pem, zelmftp-key.pem beside the store;\n"
    "                                 825 days, this computer's host name), stored as\n"
    "                                 \"TLS Certificate\" and \"TLS Key\"\n"
    "  tls fingerprint                the SHA-256 fingerprint of \"TLS Certificate\", to\n"
    "                                 compare with what a client shows\n"
    "\n"
    "The settings store is $ZELMFTP_SETTINGS, else /var/lib/zelmftp/settings.db;\n"
    "--settings PATH chooses another. Names ignore letter case. The console commands\n"
    "find zelmftp's console through the settings \"Console Address\" and \"Console Port\"\n"
    "and the token file ($ZELMFTP_CONSOLE_TOKEN, else console.token beside the store).\n";

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string store = zelm::DefaultSettingsPath();
  if (args.size() >= 2 && args[0] == "--settings") {
    store = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    std::fputs(kUsage, args.empty() ? stderr : stdout);
    return args.empty() ? 2 : 0;
  }
  if (zelm::IsConsoleCommand(args[0])) {
    return zelm::RunConsoleCommand(store, args, std::cout, std::cerr);
  }
  if (args[0] == "settings") {
    args.erase(args.begin());
    return zelm::RunSettingsCommand(store, args, std::cout, std::cerr);
  }
  if (args[0] == "tls") {
    args.erase(args.begin());
    return zelm::RunTlsCommand(store, args, std::cout, std::cerr);
  }
  std::fprintf(stderr, "zelmftpctl: unknown command '%s'\n\n%s", args[0].c_str(), kUsage);
  return 2;
}
