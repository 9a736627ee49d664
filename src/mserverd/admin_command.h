// The administration commands of zelm-mserver, on its account database:
//   user add NAME [--password-stdin] --home H [--quota BYTES] [--bandwidth KIB] [--sessions N]
//            [--rights LIST]
//   user set NAME [--password-stdin] [--home H] [--quota ..] [--bandwidth ..] [--sessions ..]
//            [--rights LIST] [--enable | --disable]
//   user del NAME | user list
//   rule add USER PREFIX RIGHTS | rule list | rule del ID
//   config set [--active 0|1] [--max-connection N] [--main-path P] | config show
// Passwords are read from standard input (one line) or asked for at the terminal, never
// taken from the command line. Exit status: 0 done, 1 the database refused, 2 bad input.
#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace zelm {

class CAccountStore;

// Reads the password: `fromStdin` set means one line of standard input, else a prompt.
using PasswordReader = std::function<std::optional<std::string>(bool fromStdin)>;

int RunAdminCommand(CAccountStore& store, const std::vector<std::string>& args,
                    const PasswordReader& readPassword, std::ostream& out, std::ostream& err);

// "list,download,upload,mkdir,delete", "all", "perpath" or a number, into rights flags.
bool ParseRights(const std::string& text, uint32_t& rights);
// The names of rights flags, for listings.
std::string RightsText(uint32_t rights);

}  // namespace zelm
