// The reference management server: the daemon, its administration and its live commands.
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

constexpr const char* kUsage =
    "Usage: zelm-mserver [--db PATH] [--socket PATH] COMMAND ...\n"
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
    "  kick USER|SESSION-ID   end a session, or every session of a user\n"
    "  publish FOLDER TARGET  ask the FTP servers to put a shortcut to TARGET into FOLDER\n"
    "\n"
    "RIGHTS: a comma list of list, download, upload, mkdir, delete; or all; or perpath.\n"
    "Passwords are read from standard input (--password-stdin) or asked for, never taken\n"
    "from the command line.\n"
    "The database is $ZELM_MSERVER_DB, else /var/lib/zelm-mserver/accounts.db. The control\n"
    "socket is $ZELM_MSERVER_SOCKET, else control.sock beside the database (mode 0600).\n";

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
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    std::fputs(kUsage, args.empty() ? stderr : stdout);
    return args.empty() ? 2 : 0;
  }
  const std::string command = args[0];
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

  EnsureFolder(database);
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
  const int status = zelm::RunAdminCommand(store, args, readPassword, std::cout, std::cerr);
  if (status == 0 && command == "config" && args.size() > 1 && args[1] == "set") {
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
