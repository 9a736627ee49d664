// The reference management server: account administration now, the daemon later.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "mserverd/account_store.h"
#include "mserverd/admin_command.h"
#include "platform/terminal.h"

namespace {

constexpr const char* kUsage =
    "Usage: zelm-mserver [--db PATH] user|rule|config ...\n"
    "\n"
    "A reference management server for ZelmFTP: accounts, per-path rights and the\n"
    "configuration it gives to FTP servers.\n"
    "\n"
    "  user add NAME [--password-stdin] --home H [--quota BYTES] [--bandwidth KIB]\n"
    "           [--sessions N] [--rights LIST]\n"
    "  user set NAME [--password-stdin] [--home H] [--quota BYTES] [--bandwidth KIB]\n"
    "           [--sessions N] [--rights LIST] [--enable | --disable]\n"
    "  user del NAME | user list\n"
    "  rule add USER PREFIX RIGHTS | rule list | rule del ID\n"
    "  config set [--active 0|1] [--max-connection N] [--main-path P] | config show\n"
    "\n"
    "RIGHTS: a comma list of list, download, upload, mkdir, delete; or all; or perpath.\n"
    "Passwords are read from standard input (--password-stdin) or asked for.\n"
    "The database is $ZELM_MSERVER_DB, else /var/lib/zelm-mserver/accounts.db.\n";

std::string DefaultDatabase() {
  const char* path = std::getenv("ZELM_MSERVER_DB");
  return path != nullptr && *path != '\0' ? path : "/var/lib/zelm-mserver/accounts.db";
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string database = DefaultDatabase();
  if (args.size() >= 2 && args[0] == "--db") {
    database = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    std::fputs(kUsage, args.empty() ? stderr : stdout);
    return args.empty() ? 2 : 0;
  }
  const std::filesystem::path folder = std::filesystem::path(database).parent_path();
  std::error_code error;
  if (!folder.empty() && !std::filesystem::exists(folder, error)) {
    std::filesystem::create_directories(folder, error);
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all, error);
  }
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
  return zelm::RunAdminCommand(store, args, readPassword, std::cout, std::cerr);
}
