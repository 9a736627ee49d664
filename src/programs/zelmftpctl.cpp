// The operator's command-line tool: its usage, its version, each command's help, and the
// hand-over of every command to the room that runs it.
#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/settings_store.h"
#include "server/settings_command.h"
#include "service/tls_command.h"
#include "ui/console_command.h"

#ifndef ZELM_VERSION
#define ZELM_VERSION "0"
#endif

namespace {

constexpr const char* kUsage =
    "Usage: zelmftpctl [--settings PATH] COMMAND\n"
    "       zelmftpctl --help | --version | COMMAND --help\n"
    "\n"
    "Commands:\n"
    "  status                         whether the FTP service runs and listens (exit status\n"
    "                                 0 listening, 1 running without listening, 3 not\n"
    "                                 running, 4 unknown)\n"
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
    "  settings list [--all]          the stored settings: name, kind, value (--all: every\n"
    "                                 setting with its default and the value in effect)\n"
    "  settings get NAME              one setting's value\n"
    "  settings set-dword [--force] NAME N\n"
    "                                 store a number (decimal, 0x-hex, or a dotted IPv4\n"
    "                                 address for \"MServer IP\" and \"ServiceIP\")\n"
    "  settings set-string [--force] NAME TEXT\n"
    "                                 store a text\n"
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
    "--settings PATH chooses another. Names ignore letter case; a name the server does not\n"
    "read, or a value out of its range, is refused unless --force is given. The console\n"
    "commands find zelmftp's console through the settings \"Console Address\" and \"Console\n"
    "Port\" and the token file ($ZELMFTP_CONSOLE_TOKEN, else console.token beside the store).\n"
    "Exit status: 0 done, 1 failed (or nothing to do, as said above), 2 bad usage.\n";

struct CommandHelp {
  const char* name;
  const char* text;
};

// The help of each command (`zelmftpctl COMMAND --help`); "settings" has its own.
constexpr CommandHelp kCommandHelp[] = {
    {"status",
     "usage: zelmftpctl status\n"
     "Whether the FTP service runs and listens, and what it reports about itself: the\n"
     "console's state when it answers, else what systemd knows of the unit.\n"
     "Exit status: 0 running and listening, 1 running but not listening (deactivated, or its\n"
     "port taken), 3 not running, 4 the state cannot be read.\n"},
    {"activate",
     "usage: zelmftpctl activate\n"
     "Start the FTP listener of the running service (through its console).\n"
     "Exit status: 0 listening, 1 the console did not answer or the listener did not start.\n"},
    {"deactivate",
     "usage: zelmftpctl deactivate\n"
     "Stop the FTP listener of the running service; sessions that are logged in go on.\n"
     "Exit status: 0 stopped, 1 the console did not answer or the listener did not stop.\n"},
    {"stop",
     "usage: zelmftpctl stop\n"
     "Stop the FTP service (\"End FTP Session\"): every session ends and the process exits 0.\n"
     "Exit status: 0 stopping, 1 the console did not answer or the service does not run.\n"},
    {"log",
     "usage: zelmftpctl log [--follow] [--passwords]\n"
     "The console's log of FTP commands and replies; --follow goes on printing new lines\n"
     "until the service stops; --passwords shows PASS arguments in clear (root only).\n"},
    {"console",
     "usage: zelmftpctl console\n"
     "Print a one-time link that signs a browser in to the console (it works once, within\n"
     "two minutes).\n"},
    {"sessions",
     "usage: zelmftpctl sessions [--json]\n"
     "Who is connected: session ID, user, address, since when, idle time, the last command\n"
     "and the transfer under way; --json prints the console's answer as it is.\n"},
    {"kick",
     "usage: zelmftpctl kick ID|USER [--json]\n"
     "End one session (its ID from `zelmftpctl sessions`) or every session of a user; the\n"
     "client is told 421. Exit status: 1 when no such session is there.\n"},
    {"bans",
     "usage: zelmftpctl bans [--json] | bans lift ADDRESS\n"
     "The addresses banned for failed logins and the seconds left; `bans lift` is `unban`.\n"},
    {"ban",
     "usage: zelmftpctl ban ADDRESS [SECONDS] [--json]\n"
     "Refuse an address's connections for SECONDS (default: the setting \"Ban Time\") and\n"
     "end its sessions.\n"},
    {"unban",
     "usage: zelmftpctl unban ADDRESS [--json]\n"
     "Lift a ban. Exit status: 1 when the address was not banned.\n"},
    {"admin-password",
     "usage: zelmftpctl admin-password [1|2]\n"
     "Set the console's administrator password 1 (or 2): asked twice without echo on a\n"
     "terminal, else one line of standard input; stored as a salted scrypt hash in \"Admin\n"
     "Password 1\" (or 2). An empty password stores nothing (exit status 2).\n"},
    {"tls",
     "usage: zelmftpctl tls generate [--days N] [--name HOST]\n"
     "       zelmftpctl tls fingerprint\n"
     "generate: a new self-signed certificate and key for FTPS, written beside the settings\n"
     "store (zelmftp-cert.pem, and zelmftp-key.pem with mode 0600), valid N days (825) for\n"
     "HOST (this computer's host name), stored as \"TLS Certificate\" and \"TLS Key\".\n"
     "fingerprint: the SHA-256 fingerprint of \"TLS Certificate\", to compare with what a\n"
     "client shows.\n"},
};

bool IsHelpWord(std::string_view word) { return word == "--help" || word == "-h"; }

int UsageError(const std::string& complaint) {
  std::fprintf(stderr, "zelmftpctl: %s\n\n%s", complaint.c_str(), kUsage);
  return 2;
}

// The help of `command`; false when there is no such command.
bool PrintCommandHelp(const std::string& command, const std::string& store) {
  if (command == "settings") {
    zelm::RunSettingsCommand(store, {"--help"}, std::cout, std::cerr);
    return true;
  }
  for (const CommandHelp& help : kCommandHelp) {
    if (command == help.name) {
      std::fputs(help.text, stdout);
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string store = zelm::DefaultSettingsPath();
  if (!args.empty() && args[0] == "--settings") {
    if (args.size() < 2 || args[1].empty()) return UsageError("--settings needs a PATH");
    store = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string& command = args[0];
  if (IsHelpWord(command)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command == "--version") {
    std::printf("zelmftpctl %s\n", ZELM_VERSION);
    return 0;
  }
  if (command == "help") {
    if (args.size() == 1) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    return PrintCommandHelp(args[1], store) ? 0 : UsageError("no command '" + args[1] + "'");
  }
  const bool known = zelm::IsConsoleCommand(command) || command == "settings" || command == "tls";
  if (!known) return UsageError("unknown command '" + command + "'");
  // "settings" answers its sub-commands' --help itself.
  if (command == "settings") {
    return zelm::RunSettingsCommand(store, {args.begin() + 1, args.end()}, std::cout, std::cerr);
  }
  for (size_t i = 1; i < args.size(); ++i) {
    if (IsHelpWord(args[i])) return PrintCommandHelp(command, store) ? 0 : 2;
  }
  if (zelm::IsConsoleCommand(command)) {
    return zelm::RunConsoleCommand(store, args, std::cout, std::cerr);
  }
  return zelm::RunTlsCommand(store, {args.begin() + 1, args.end()}, std::cout, std::cerr);
}
