// The administration commands of zelm-mserver, on its account database:
//   user add NAME [--password-stdin] --home H [--quota BYTES] [--bandwidth KIB] [--sessions N]
//            [--rights LIST]
//   user set NAME [--password-stdin] [--home H] [--quota ..] [--bandwidth ..] [--sessions ..]
//            [--rights LIST] [--enable | --disable]
//   user del NAME | user list
//   rule add USER PREFIX RIGHTS | rule list | rule del ID
//   config set [--active 0|1] [--max-connection N] [--main-path P] | config show
// and "--help" after any of them.
//
// What an account may be is checked before the database is touched: a name that works as an
// FTP user name (1 to kMaxAccountName bytes, no control bytes, no blanks at either end, not
// "anonymous"), a home folder below the FTP server's main path (relative, no "." or ".."
// component with "/" or "\" between them), a password of 1 to kMaxAccountPassword bytes,
// a quota in bytes (suffixes K, M, G, T: binary multiples), a bandwidth in KiB/s. Rules name
// existing users. Passwords are read from standard input (one line) or asked for at the
// terminal, never taken from the command line.
//
// Only "user add" and "config set" create the database; every other command needs it to
// exist and says "no database at PATH" (exit status 1) otherwise. Failures of the database
// are sentences (CAccountStore::LastError).
// Exit status: 0 done (and help), 1 the database refused or is missing, 2 bad input.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace zelm {

class CAccountStore;

// The longest user name an account may have: the FTP server's management link and logs take
// longer ones, but no café's customer types one.
inline constexpr size_t kMaxAccountName = 64;
// The longest password: the management link carries at most this many bytes of a password
// (mserver/password_hiding.h), so a longer one could never log in.
inline constexpr size_t kMaxAccountPassword = 128;

// The usage of every administration command.
extern const char* const kAdminUsage;

// Reads the password: `fromStdin` set means one line of standard input, else a prompt.
using PasswordReader = std::function<std::optional<std::string>(bool fromStdin)>;

// Runs one command. `beforeCreate`, when given, runs just before a command creates the
// database (after every check passed): the caller makes the database's folder there, so that
// a refused or read-only command leaves nothing behind.
int RunAdminCommand(CAccountStore& store, const std::vector<std::string>& args,
                    const PasswordReader& readPassword, std::ostream& out, std::ostream& err,
                    const std::function<void()>& beforeCreate = {});

// "list,download,upload,mkdir,delete", "all", "perpath" or a number, into rights flags.
bool ParseRights(const std::string& text, uint32_t& rights);
// The names of rights flags, for listings.
std::string RightsText(uint32_t rights);

// A byte count as an operator writes it: digits, then optionally K, M, G or T (or KiB, MiB,
// GiB, TiB; any letter case), each a power of 1024. False on anything else or an overflow.
bool ParseByteCount(const std::string& text, uint64_t& bytes);

// Why `name` cannot be an account's name, or empty when it can.
std::string AccountNameProblem(const std::string& name);
// Why `home` cannot be an account's home folder, or empty when it can.
std::string HomeFolderProblem(const std::string& home);

}  // namespace zelm
