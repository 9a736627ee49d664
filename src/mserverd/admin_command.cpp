// Owns the administration commands of the reference management server: their help, the
// checks of what an account may be, and the changes to the account database.
#include "mserverd/admin_command.h"

#include <algorithm>
#include <charconv>
#include <map>

#include "mserverd/account_store.h"

namespace zelm {
namespace {

struct Help {
  const char* group;
  const char* verb;
  const char* text;
};

constexpr Help kHelp[] = {
    {"user", "add",
     "usage: zelm-mserver [--db PATH] user add NAME [--password-stdin] --home H\n"
     "                      [--quota BYTES] [--bandwidth KIB] [--sessions N] [--rights LIST]\n"
     "Add an account. NAME: 1 to 64 bytes, no control characters, not \"anonymous\".\n"
     "  --home H          the home folder, below the FTP server's \"Main Path\" (\"anna\",\n"
     "                    \"staff/bob\"): not absolute, no \"..\"\n"
     "  --quota BYTES     what the home may hold, in bytes; K, M, G and T are binary\n"
     "                    multiples (500M = 500 MiB, 5G = 5 GiB = 5368709120); 0: no quota\n"
     "  --bandwidth KIB   the transfer rate limit in KiB/s (units of 1024 bytes a second);\n"
     "                    0: unlimited\n"
     "  --sessions N      sessions of the user at once; 0: no limit\n"
     "  --rights LIST     list, download, upload, mkdir, delete (comma-separated), all, or\n"
     "                    perpath (each path as the rules say); none when not given\n"
     "  --password-stdin  read the password (1 to 128 bytes) from one line of standard\n"
     "                    input; otherwise it is asked for without echo\n"},
    {"user", "set",
     "usage: zelm-mserver [--db PATH] user set NAME [--password-stdin] [--home H]\n"
     "                      [--quota BYTES] [--bandwidth KIB] [--sessions N] [--rights LIST]\n"
     "                      [--enable | --disable]\n"
     "Change an account: the options as for `user add`; --password-stdin sets a new password;\n"
     "--disable refuses the user's logins until --enable.\n"},
    {"user", "del", "usage: zelm-mserver [--db PATH] user del NAME\nRemove an account.\n"},
    {"user", "list",
     "usage: zelm-mserver [--db PATH] user list\n"
     "Every account, one a line: name, home, quota (bytes), bandwidth (KiB/s), sessions,\n"
     "rights, and \"disabled\" for a disabled one.\n"},
    {"rule", "add",
     "usage: zelm-mserver [--db PATH] rule add USER PREFIX RIGHTS\n"
     "A per-path right of an existing user whose rights are \"perpath\": a path the FTP server\n"
     "asks about gets the RIGHTS of the user's most specific rule whose PREFIX (a folder on\n"
     "the FTP server's machine: /srv/zelmftp/anna/upload) contains it; no rule, no right.\n"
     "Prints the rule's ID.\n"},
    {"rule", "list",
     "usage: zelm-mserver [--db PATH] rule list\nEvery rule: ID, user, prefix, rights.\n"},
    {"rule", "del", "usage: zelm-mserver [--db PATH] rule del ID\nRemove a rule.\n"},
    {"config", "set",
     "usage: zelm-mserver [--db PATH] config set [--active 0|1] [--max-connection N]\n"
     "                      [--main-path P]\n"
     "The configuration given to every FTP server (a running daemon passes it on at once):\n"
     "  --active 0|1        close or open their FTP listeners\n"
     "  --max-connection N  their connection limit\n"
     "  --main-path P       their \"Main Path\" (absolute, no \"..\"; the FTP server accepts\n"
     "                      only a folder below its \"Main Path Roots\")\n"},
    {"config", "show", "usage: zelm-mserver [--db PATH] config show\nThe stored configuration.\n"},
};

struct Rights {
  const char* name;
  uint32_t flags;
};

constexpr Rights kRightNames[] = {
    {"list", kRightRead},       {"download", kRightRead}, {"upload", kRightWrite | kRightModify},
    {"mkdir", kRightModify},    {"delete", kRightModify}, {"all", kRightAll},
    {"perpath", kRightPerPath},
};

template <typename T>
bool ParseNumber(const std::string& text, T& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool HasControlBytes(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) == 0x7F;
  });
}

// SECURITY: a "." or ".." component, with "/" or "\" between components (the FTP server
// takes both as separators in the paths the management server names).
bool HasDotComponent(const std::string& path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of("/\\", start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part == "." || part == "..") return true;
    start = end + 1;
  }
  return false;
}

int PrintHelp(const std::vector<std::string>& args, std::ostream& out) {
  const std::string& group = args[0];
  const std::string verb = args.size() > 1 ? args[1] : "";
  for (const Help& help : kHelp) {
    if (group == help.group && verb == help.verb) {
      out << help.text;
      return 0;
    }
  }
  bool any = false;
  for (const Help& help : kHelp) {
    if (group != help.group) continue;
    out << (any ? "\n" : "") << help.text;
    any = true;
  }
  if (!any) out << kAdminUsage;
  return 0;
}

// Options after the fixed words: "--name value" pairs and the flags listed in `flags`.
struct Options {
  std::map<std::string, std::string> values;
  std::map<std::string, bool> flags;
};

bool ParseOptions(const std::vector<std::string>& args, size_t from,
                  const std::vector<std::string>& valued, const std::vector<std::string>& flagged,
                  Options& options, std::ostream& err) {
  for (size_t i = from; i < args.size(); ++i) {
    const std::string& word = args[i];
    bool known = false;
    for (const std::string& name : flagged) {
      if (word == name) {
        options.flags[name] = known = true;
      }
    }
    for (const std::string& name : valued) {
      if (word != name) continue;
      known = true;
      if (i + 1 >= args.size()) {
        err << "zelm-mserver: " << word << " needs a value\n";
        return false;
      }
      options.values[name] = args[++i];
    }
    if (!known) {
      err << "zelm-mserver: unexpected '" << word << "' (see zelm-mserver " << args[0] << " "
          << args[1] << " --help)\n";
      return false;
    }
  }
  return true;
}

// Applies the account options to `account`; false (with a message) on a bad value.
bool ApplyAccountOptions(const Options& options, Account& account, std::ostream& err) {
  for (const auto& [name, value] : options.values) {
    std::string problem;
    if (name == "--home") {
      problem = HomeFolderProblem(value);
      account.home = value;
    } else if (name == "--quota") {
      if (!ParseByteCount(value, account.quota)) {
        problem = "a number of bytes, optionally with K, M, G or T (binary multiples: 5G)";
      }
    } else if (name == "--bandwidth") {
      if (!ParseNumber(value, account.bandwidth)) problem = "a number of KiB/s (0: unlimited)";
    } else if (name == "--sessions") {
      if (!ParseNumber(value, account.sessions)) problem = "a number of sessions (0: no limit)";
    } else if (name == "--rights" && !ParseRights(value, account.rights)) {
      problem = "list, download, upload, mkdir, delete (comma-separated), all or perpath";
    }
    if (!problem.empty()) {
      err << "zelm-mserver: bad value '" << value << "' for " << name << ": " << problem << "\n";
      return false;
    }
  }
  if (options.flags.count("--enable")) account.enabled = true;
  if (options.flags.count("--disable")) account.enabled = false;
  return true;
}

int Refused(const CAccountStore& store, std::ostream& err) {
  err << "zelm-mserver: " << store.LastError() << "\n";
  return 1;
}

// The password, read and checked; nothing (with a message) when it cannot be used.
std::optional<std::string> TakePassword(const PasswordReader& readPassword, bool fromStdin,
                                        std::ostream& err) {
  std::optional<std::string> password = readPassword(fromStdin);
  if (!password || password->empty()) {
    err << "zelm-mserver: no password given (an account needs one)\n";
    return std::nullopt;
  }
  if (password->size() > kMaxAccountPassword || password->find('\0') != std::string::npos) {
    err << "zelm-mserver: a password has 1 to " << kMaxAccountPassword
        << " bytes and no zero byte\n";
    return std::nullopt;
  }
  return password;
}

int UserCommand(CAccountStore& store, const std::vector<std::string>& args,
                const PasswordReader& readPassword, std::ostream& out, std::ostream& err,
                const std::function<void()>& beforeCreate) {
  const std::string& verb = args.size() > 1 ? args[1] : "";
  if (verb == "list" && args.size() == 2) {
    if (!store.Exists()) return Refused(store, err);
    for (const Account& a : store.ListAccounts()) {
      out << a.name << "\thome=" << a.home << "\tquota=" << a.quota << "\tbandwidth=" << a.bandwidth
          << "\tsessions=" << a.sessions << "\trights=" << RightsText(a.rights)
          << (a.enabled ? "" : "\tdisabled") << "\n";
    }
    return 0;
  }
  if ((verb != "add" && verb != "set" && verb != "del") || args.size() < 3) {
    err << "zelm-mserver: bad user command\n" << kAdminUsage;
    return 2;
  }
  const std::string& name = args[2];
  if (verb == "del") {
    if (args.size() != 3) {
      err << "zelm-mserver: usage: user del NAME\n";
      return 2;
    }
    if (!store.Exists()) return Refused(store, err);
    return store.DeleteAccount(name) ? 0 : Refused(store, err);
  }
  Options options;
  if (!ParseOptions(args, 3, {"--home", "--quota", "--bandwidth", "--sessions", "--rights"},
                    verb == "set"
                        ? std::vector<std::string>{"--password-stdin", "--enable", "--disable"}
                        : std::vector<std::string>{"--password-stdin"},
                    options, err)) {
    return 2;
  }
  const bool fromStdin = options.flags.count("--password-stdin") != 0;
  if (verb == "add") {
    if (const std::string problem = AccountNameProblem(name); !problem.empty()) {
      err << "zelm-mserver: " << problem << "\n";
      return 2;
    }
    Account account;
    account.name = name;
    if (!ApplyAccountOptions(options, account, err)) return 2;
    if (account.home.empty()) {
      err << "zelm-mserver: user add needs --home (a folder below the FTP server's \"Main "
             "Path\")\n";
      return 2;
    }
    const std::optional<std::string> password = TakePassword(readPassword, fromStdin, err);
    if (!password) return 2;
    if (beforeCreate) beforeCreate();
    if (!store.Initialise()) return Refused(store, err);
    return store.AddAccount(account, *password) ? 0 : Refused(store, err);
  }
  if (!store.Exists()) return Refused(store, err);
  std::optional<Account> account = store.FindAccount(name);
  if (!account) {
    err << "zelm-mserver: no user named " << name << "\n";
    return 1;
  }
  if (!ApplyAccountOptions(options, *account, err)) return 2;
  std::optional<std::string> password;
  if (fromStdin) {
    password = TakePassword(readPassword, true, err);
    if (!password) return 2;
  }
  return store.UpdateAccount(*account, password) ? 0 : Refused(store, err);
}

int RuleCommand(CAccountStore& store, const std::vector<std::string>& args, std::ostream& out,
                std::ostream& err) {
  const std::string& verb = args.size() > 1 ? args[1] : "";
  if (verb == "list" && args.size() == 2) {
    if (!store.Exists()) return Refused(store, err);
    for (const Rule& r : store.ListRules()) {
      out << r.id << "\t" << r.user << "\t" << r.prefix << "\t" << RightsText(r.rights) << "\n";
    }
    return 0;
  }
  if (verb == "add" && args.size() == 5) {
    Rule rule{0, args[2], args[3], 0};
    if (rule.user.empty() || rule.prefix.empty() || !ParseRights(args[4], rule.rights)) {
      err << "zelm-mserver: a rule needs a user, a path prefix and rights\n";
      return 2;
    }
    if (HasControlBytes(rule.prefix)) {
      err << "zelm-mserver: a path prefix has no control characters\n";
      return 2;
    }
    if (!store.Exists()) return Refused(store, err);
    if (!store.FindAccount(rule.user)) {
      err << "zelm-mserver: no user named " << rule.user << " (add the user first)\n";
      return 1;
    }
    if (!store.AddRule(rule)) return Refused(store, err);
    out << rule.id << "\n";
    return 0;
  }
  int64_t id = 0;
  if (verb == "del" && args.size() == 3 && ParseNumber(args[2], id)) {
    if (!store.Exists()) return Refused(store, err);
    return store.DeleteRule(id) ? 0 : Refused(store, err);
  }
  err << "zelm-mserver: bad rule command\n" << kAdminUsage;
  return 2;
}

int ConfigCommand(CAccountStore& store, const std::vector<std::string>& args, std::ostream& out,
                  std::ostream& err, const std::function<void()>& beforeCreate) {
  const std::string& verb = args.size() > 1 ? args[1] : "";
  if (verb == "show" && args.size() == 2) {
    if (!store.Exists()) return Refused(store, err);
    const ServerConfig config = store.GetConfig();
    if (config.active) out << "active\t" << *config.active << "\n";
    if (config.maxConnection) out << "max-connection\t" << *config.maxConnection << "\n";
    if (config.mainPath) out << "main-path\t" << *config.mainPath << "\n";
    return 0;
  }
  Options options;
  if (verb != "set" ||
      !ParseOptions(args, 2, {"--active", "--max-connection", "--main-path"}, {}, options, err) ||
      options.values.empty()) {
    err << "zelm-mserver: bad config command\n" << kAdminUsage;
    return 2;
  }
  ServerConfig config;
  for (const auto& [name, value] : options.values) {
    uint32_t number = 0;
    if (name == "--main-path") {
      // Absolute: a Linux path or a drive path ("D:\ftp") the FTP server maps.
      const bool drive = value.size() >= 3 && value[1] == ':' &&
                         (value[2] == '\\' || value[2] == '/') && Lower(value[0]) >= 'a' &&
                         Lower(value[0]) <= 'z';
      if ((value.empty() || value[0] != '/') && !drive) {
        err << "zelm-mserver: --main-path takes an absolute path (\"/srv/zelmftp\" or "
               "\"D:\\ftp\"), not '"
            << value << "'\n";
        return 2;
      }
      if (HasDotComponent(value)) {
        err << "zelm-mserver: --main-path takes a path without \".\" or \"..\" components\n";
        return 2;
      }
      config.mainPath = value;
    } else if (!ParseNumber(value, number) || (name == "--active" && number > 1)) {
      err << "zelm-mserver: bad value '" << value << "' for " << name << "\n";
      return 2;
    } else if (name == "--active") {
      config.active = number;
    } else {
      config.maxConnection = number;
    }
  }
  if (beforeCreate) beforeCreate();
  if (!store.Initialise()) return Refused(store, err);
  return store.SetConfig(config) ? 0 : Refused(store, err);
}

}  // namespace

const char* const kAdminUsage =
    "usage: zelm-mserver [--db PATH] user add NAME [--password-stdin] --home H [--quota BYTES]\n"
    "                      [--bandwidth KIB] [--sessions N] [--rights LIST]\n"
    "       zelm-mserver [--db PATH] user set NAME [--password-stdin] [--home H] [--quota BYTES]\n"
    "                      [--bandwidth KIB] [--sessions N] [--rights LIST] [--enable|--disable]\n"
    "       zelm-mserver [--db PATH] user del NAME | user list\n"
    "       zelm-mserver [--db PATH] rule add USER PREFIX RIGHTS | rule list | rule del ID\n"
    "       zelm-mserver [--db PATH] config set [--active 0|1] [--max-connection N]"
    " [--main-path P] | config show\n"
    "BYTES: a number of bytes; K, M, G, T are binary multiples (5G = 5 GiB). KIB: KiB/s.\n"
    "RIGHTS: a comma list of list, download, upload, mkdir, delete; or all; or perpath.\n"
    "`zelm-mserver user add --help` (and so on) shows one command.\n";

bool ParseByteCount(const std::string& text, uint64_t& bytes) {
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  uint64_t number = 0;
  if (!ParseNumber(text.substr(0, digits), number)) return false;
  std::string suffix;
  for (char c : text.substr(digits)) suffix += Lower(c);
  int shift = 0;
  if (!suffix.empty()) {
    const size_t unit = std::string_view("kmgt").find(suffix[0]);
    if (unit == std::string_view::npos || (suffix.size() != 1 && suffix.substr(1) != "ib")) {
      return false;
    }
    shift = 10 * static_cast<int>(unit + 1);
  }
  if (shift != 0 && number > (UINT64_MAX >> shift)) return false;
  bytes = number << shift;
  return true;
}

std::string AccountNameProblem(const std::string& name) {
  if (name.empty()) return "a user needs a name";
  if (name.size() > kMaxAccountName) {
    return "a user name has at most " + std::to_string(kMaxAccountName) + " bytes";
  }
  if (HasControlBytes(name)) return "a user name has no control characters";
  if (name.front() == ' ' || name.back() == ' ') {
    return "a user name neither starts nor ends with a blank (FTP clients drop them)";
  }
  std::string lower;
  for (char c : name) lower += Lower(c);
  if (lower == "anonymous") {
    return "\"" + name + "\" is the FTP server's anonymous login, never an account";
  }
  return {};
}

std::string HomeFolderProblem(const std::string& home) {
  // SECURITY: the home is joined below the FTP server's main path; "/" and "\" both separate
  // components there ("users\bob"), so both are looked at.
  if (home.empty()) return "a home folder needs a name";
  if (HasControlBytes(home)) return "a home folder has no control characters";
  if (home[0] == '/' || home[0] == '\\' || (home.size() >= 2 && home[1] == ':')) {
    return "the home folder lies below the FTP server's \"Main Path\": give it relative "
           "(\"anna\", \"staff/anna\"), not absolute";
  }
  if (HasDotComponent(home)) {
    return "the home folder may not climb out of the main path (no \".\" or \"..\")";
  }
  return {};
}

bool ParseRights(const std::string& text, uint32_t& rights) {
  if (ParseNumber(text, rights)) return true;
  uint32_t flags = 0;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = std::min(text.find(',', start), text.size());
    const std::string word = text.substr(start, comma - start);
    bool known = false;
    for (const Rights& r : kRightNames) {
      if (word == r.name) {
        flags |= r.flags;
        known = true;
      }
    }
    if (!known) return false;
    start = comma + 1;
  }
  rights = flags;
  return true;
}

std::string RightsText(uint32_t rights) {
  if (rights == 0) return "none";
  std::string text;
  const auto add = [&text](const char* name) {
    text += text.empty() ? name : std::string(",") + name;
  };
  if (rights & kRightAll) add("all");
  if (rights & kRightPerPath) add("perpath");
  if (rights & kRightRead) add("list,download");
  if ((rights & (kRightWrite | kRightModify)) == (kRightWrite | kRightModify)) add("upload");
  if (rights & kRightModify) add("mkdir,delete");
  return text;
}

int RunAdminCommand(CAccountStore& store, const std::vector<std::string>& args,
                    const PasswordReader& readPassword, std::ostream& out, std::ostream& err,
                    const std::function<void()>& beforeCreate) {
  if (args.empty()) {
    err << kAdminUsage;
    return 2;
  }
  if (args[0] != "user" && args[0] != "rule" && args[0] != "config") {
    err << "zelm-mserver: unknown command '" << args[0] << "'\n" << kAdminUsage;
    return 2;
  }
  if (std::any_of(args.begin(), args.end(),
                  [](const std::string& word) { return word == "--help" || word == "-h"; })) {
    return PrintHelp(args, out);
  }
  if (args[0] == "user") return UserCommand(store, args, readPassword, out, err, beforeCreate);
  if (args[0] == "rule") return RuleCommand(store, args, out, err);
  return ConfigCommand(store, args, out, err, beforeCreate);
}

}  // namespace zelm
