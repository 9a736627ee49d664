// The reference management server: the daemon, its administration and its live commands;
// the usage, the version and each command's help.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "mserverd/account_store.h"
#include "mserverd/admin_command.h"
#include "mserverd/control_channel.h"
#include "mserverd/daemon.h"
#include "platform/signals.h"
#include "platform/terminal.h"
#include "platform/thread.h"

namespace {

#ifndef ZELM_VERSION
#define ZELM_VERSION "0"
#endif

constexpr const char* kUsage =
    "Usage: zelm-mserver [--db PATH] [--socket PATH] COMMAND ...\n"
    "       zelm-mserver --help | --version | COMMAND --help\n"
    "\n"
    "A reference management server for ZelmFTP: accounts, per-path rights and the\n"
    "configuration it gives to FTP servers.\n"
    "\n"
    "The daemon:\n"
    "  serve [--listen HOST:PORT] [--allow-remote] [--ftp-server ADDRESS]... [--announce]\n"
    "           serve FTP servers' links (default 127.0.0.1:5321) until SIGTERM or SIGINT;\n"
    "           an address outside 127.0.0.0/8 also needs --allow-remote; links are taken\n"
    "           only from the --ftp-server addresses (default: any of 127.0.0.0/8);\n"
    "           --announce answers FTP servers' discovery queries on udp port 5300 of the\n"
    "           same address\n"
    "\n"
    "Administration (takes effect at the next login, no restart needed):\n"
    "  user add NAME [--password-stdin] --home H [--quota BYTES] [--bandwidth KIB]\n"
    "           [--sessions N] [--rights LIST]\n"
    "  user set NAME [--password-stdin] [--home H] [--quota BYTES] [--bandwidth KIB]\n"
    "           [--sessions N] [--rights LIST] [--enable | --disable]\n"
    "  user del NAME | user list\n"
    "  rule add USER PREFIX RIGHTS | rule list | rule del ID\n"
    "  config set [--active 0|1] [--max-connection N] [--main-path P] | config show\n"
    "           (a running daemon passes a new configuration on to its FTP servers at once)\n"
    "\n"
    "The running daemon:\n"
    "  status                 the daemon and its FTP servers' links\n"
    "  sessions               every FTP server's sessions, freshly reported\n"
    "  kick USER|SESSION-ID   end a session, or every session of a user (exit status 1:\n"
    "                         no such session)\n"
    "  publish FOLDER TARGET  ask the FTP servers to put a shortcut to TARGET into FOLDER\n"
    "\n"
    "H: the home folder, relative to the FTP server's \"Main Path\" (no \"..\").\n"
    "BYTES: the quota in bytes; the suffixes K, M, G, T are binary multiples (500M, 5G =\n"
    "5 GiB = 5368709120); 0: no quota. KIB: the bandwidth limit in KiB/s; 0: unlimited.\n"
    "RIGHTS: a comma list of list, download, upload, mkdir, delete; or all; or perpath.\n"
    "Passwords (1 to 128 bytes) are read from standard input (--password-stdin) or asked\n"
    "for, never taken from the command line.\n"
    "The database is $ZELM_MSERVER_DB, else /var/lib/zelm-mserver/accounts.db; only\n"
    "`serve`, `user add` and `config set` create it. The control socket is\n"
    "$ZELM_MSERVER_SOCKET, else control.sock beside the database (mode 0600).\n"
    "Exit status: 0 done, 1 refused (the database, the daemon), 2 bad usage.\n";

struct CommandHelp {
  const char* name;
  const char* text;
};

// The help of the daemon's commands; the administration commands have theirs in
// mserverd/admin_command.
constexpr CommandHelp kCommandHelp[] = {
    {"serve",
     "usage: zelm-mserver [--db PATH] [--socket PATH] serve [--listen HOST:PORT]\n"
     "                      [--allow-remote] [--ftp-server ADDRESS]... [--announce]\n"
     "Serve FTP servers' management links until SIGTERM or SIGINT (exit status 0).\n"
     "  --listen HOST:PORT    the address to listen on (127.0.0.1:5321)\n"
     "  --allow-remote        needed for an address outside 127.0.0.0/8: the link carries\n"
     "                        logins and has no authentication of its own\n"
     "  --ftp-server ADDRESS  take links only from this FTP server (repeatable; default:\n"
     "                        any address of 127.0.0.0/8)\n"
     "  --announce            answer FTP servers' discovery queries on udp port 5300\n"},
    {"status",
     "usage: zelm-mserver status\nThe running daemon and its FTP servers' links (exit status "
     "1: no daemon answers).\n"},
    {"sessions",
     "usage: zelm-mserver sessions\nEvery connected FTP server's sessions, freshly reported: "
     "link, session ID, user,\ntime logged in, address, bytes sent and received, transfer.\n"},
    {"kick",
     "usage: zelm-mserver kick USER|SESSION-ID\nEnd one session (its ID from `sessions`) or "
     "every session of a user.\nExit status 1: no FTP server is connected, or no such session "
     "is known.\n"},
    {"publish",
     "usage: zelm-mserver publish FOLDER TARGET\nAsk every FTP server to put a shortcut to "
     "TARGET into FOLDER, and print their answers.\n"},
};

bool IsHelpWord(const std::string& word) { return word == "--help" || word == "-h"; }

std::string FromEnvironment(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

void EnsureFolder(const std::string& file) {
  const std::filesystem::path folder = std::filesystem::path(file).parent_path();
  std::error_code error;
  if (!folder.empty() && !std::filesystem::exists(folder, error)) {
    std::filesystem::create_directories(folder, error);
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all, error);
  }
}

int Usage(const std::string& complaint) {
  std::cerr << "zelm-mserver: " << complaint << "\n\n" << kUsage;
  return 2;
}

int Serve(const std::vector<std::string>& args, const std::string& database,
          const std::string& socket) {
  zelm::DaemonOptions options;
  options.database = database;
  options.controlSocket = socket;
  bool allowRemote = false;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--listen" && i + 1 < args.size()) {
      std::string message;
      if (!zelm::ParseListenAddress(args[++i], options.address, options.port, message)) {
        return Usage(message);
      }
    } else if (args[i] == "--ftp-server" && i + 1 < args.size()) {
      uint32_t address = 0;
      std::string message;
      if (!zelm::ParseFtpServerAddress(args[++i], address, message)) return Usage(message);
      options.ftpServers.push_back(address);
    } else if (args[i] == "--allow-remote") {
      allowRemote = true;
    } else if (args[i] == "--announce") {
      options.announce = true;
    } else {
      return Usage("unexpected '" + args[i] + "' for serve");
    }
  }
  // SECURITY: the management link carries logins; it stays on this machine unless the
  // operator says otherwise.
  if (!zelm::IsLoopbackAddress(options.address) && !allowRemote) {
    return Usage("refusing to listen outside 127.0.0.0/8 without --allow-remote");
  }
  zelm::BlockTerminationSignals();
  EnsureFolder(database);
  EnsureFolder(socket);
  zelm::CAccountStore store(database);
  if (!store.Initialise()) {
    std::cerr << "zelm-mserver: cannot open the database " << database << ": " << store.LastError()
              << "\n";
    return 1;
  }
  const auto log = [](const std::string& line) {
    std::fprintf(stderr, "zelm-mserver: %s\n", line.c_str());
  };
  zelm::CMServerDaemon daemon(store, options, log);
  std::string message;
  if (!daemon.Open(message)) {
    std::cerr << "zelm-mserver: " << message << "\n";
    return 1;
  }
  std::fprintf(stderr,
               "zelm-mserver: listening on %u.%u.%u.%u:%u, database %s, control socket %s\n",
               options.address >> 24, (options.address >> 16) & 0xFF, (options.address >> 8) & 0xFF,
               options.address & 0xFF, daemon.Port(), database.c_str(), socket.c_str());
  std::string admitted;
  for (const uint32_t a : options.ftpServers) {
    admitted += (admitted.empty() ? "" : ", ") + std::to_string(a >> 24) + "." +
                std::to_string((a >> 16) & 0xFF) + "." + std::to_string((a >> 8) & 0xFF) + "." +
                std::to_string(a & 0xFF);
  }
  std::fprintf(stderr, "zelm-mserver: links taken from %s\n",
               admitted.empty() ? "127.0.0.0/8 only" : admitted.c_str());
  if (options.announce) {
    std::fprintf(stderr, "zelm-mserver: answering discovery queries on udp port %u\n",
                 daemon.AnnouncePort());
  }
  zelm::CMServerDaemon* running = &daemon;
  if (!zelm::StartDetachedThread(
          [running] {
            const int signal = zelm::WaitForTerminationSignal();
            std::fprintf(stderr, "zelm-mserver: signal %d, shutting down\n", signal);
            running->Stop();
          },
          64 * 1024)) {
    std::cerr << "zelm-mserver: cannot start the signal thread\n";
    return 1;
  }
  daemon.Run();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string database = FromEnvironment("ZELM_MSERVER_DB", "/var/lib/zelm-mserver/accounts.db");
  std::string socket;
  // Global options come first; "serve" also takes them after its name.
  const auto takeGlobal = [&](std::vector<std::string>& words, size_t at) {
    while (at + 1 < words.size() && (words[at] == "--db" || words[at] == "--socket")) {
      (words[at] == "--db" ? database : socket) = words[at + 1];
      words.erase(words.begin() + static_cast<ptrdiff_t>(at),
                  words.begin() + static_cast<ptrdiff_t>(at + 2));
    }
  };
  takeGlobal(args, 0);
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (IsHelpWord(args[0]) || (args[0] == "help" && args.size() == 1)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (args[0] == "--version") {
    std::printf("zelm-mserver %s\n", ZELM_VERSION);
    return 0;
  }
  if (args[0] == "help") args = {args[1], "--help"};
  const std::string command = args[0];
  const bool administration = command == "user" || command == "rule" || command == "config";
  if (!administration && std::any_of(args.begin() + 1, args.end(), IsHelpWord)) {
    for (const CommandHelp& help : kCommandHelp) {
      if (command == help.name) {
        std::fputs(help.text, stdout);
        return 0;
      }
    }
    return Usage("unknown command '" + command + "'");
  }
  if (command == "serve") {
    for (size_t i = 1; i < args.size(); ++i) takeGlobal(args, i);
  }
  if (socket.empty()) {
    socket = FromEnvironment("ZELM_MSERVER_SOCKET", zelm::ControlSocketFor(database));
  }
  if (command == "serve") return Serve({args.begin() + 1, args.end()}, database, socket);

  if (command == "status" || command == "sessions" || command == "kick" || command == "publish") {
    const size_t words = command == "kick" ? 2 : command == "publish" ? 3 : 1;
    if (args.size() != words) return Usage("wrong number of words for " + command);
    return zelm::RunControlCommand(socket, args, std::cout, std::cerr);
  }

  if (!administration) return Usage("unknown command '" + command + "'");
  zelm::CAccountStore store(database);
  const auto readPassword = [](bool fromStdin) -> std::optional<std::string> {
    if (fromStdin) {
      std::string line;
      if (!std::getline(std::cin, line)) return std::nullopt;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    return zelm::ReadSecretLine("Password: ");
  };
  // Only a command about to create the database makes its folder: a refused command, or a
  // mistyped --db of one that reads, leaves nothing behind.
  bool created = false;
  const int status = zelm::RunAdminCommand(store, args, readPassword, std::cout, std::cerr, [&] {
    EnsureFolder(database);
    created = true;
  });
  if (status == 0 && created && command == "config") {
    // A running daemon hands the new configuration to its FTP servers now; otherwise they get
    // it at their next hello.
    std::ostringstream out;
    std::ostringstream ignored;
    if (zelm::RunControlCommand(socket, {"push-config"}, out, ignored, 5000) == 0) {
      std::cerr << "zelm-mserver: " << out.str();
    } else {
      std::cerr << "zelm-mserver: saved; the daemon is not running, FTP servers get the "
                   "configuration at their next hello\n";
    }
  }
  return status;
}
