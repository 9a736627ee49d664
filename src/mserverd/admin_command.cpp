// Owns the administration commands of the reference management server.
#include "mserverd/admin_command.h"

#include <charconv>
#include <map>

#include "mserverd/account_store.h"

namespace zelm {
namespace {

constexpr const char* kUsage =
    "usage: zelm-mserver [--db PATH] user add NAME [--password-stdin] --home H [--quota BYTES]\n"
    "                      [--bandwidth KIB] [--sessions N] [--rights LIST]\n"
    "       zelm-mserver [--db PATH] user set NAME [--password-stdin] [--home H] [--quota BYTES]\n"
    "                      [--bandwidth KIB] [--sessions N] [--rights LIST] [--enable|--disable]\n"
    "       zelm-mserver [--db PATH] user del NAME | user list\n"
    "       zelm-mserver [--db PATH] rule add USER PREFIX RIGHTS | rule list | rule del ID\n"
    "       zelm-mserver [--db PATH] config set [--active 0|1] [--max-connection N]"
    " [--main-path P] | config show\n"
    "RIGHTS: a comma list of list, download, upload, mkdir, delete; or all; or perpath.\n";

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
      err << "zelm-mserver: unexpected '" << word << "'\n" << kUsage;
      return false;
    }
  }
  return true;
}

// Applies the account options to `account`; false (with a message) on a bad value.
bool ApplyAccountOptions(const Options& options, Account& account, std::ostream& err) {
  for (const auto& [name, value] : options.values) {
    bool ok = true;
    if (name == "--home") {
      ok = !value.empty();
      account.home = value;
    } else if (name == "--quota") {
      ok = ParseNumber(value, account.quota);
    } else if (name == "--bandwidth") {
      ok = ParseNumber(value, account.bandwidth);
    } else if (name == "--sessions") {
      ok = ParseNumber(value, account.sessions);
    } else if (name == "--rights") {
      ok = ParseRights(value, account.rights);
    }
    if (!ok) {
      err << "zelm-mserver: bad value '" << value << "' for " << name << "\n";
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

int UserCommand(CAccountStore& store, const std::vector<std::string>& args,
                const PasswordReader& readPassword, std::ostream& out, std::ostream& err) {
  const std::string& verb = args.size() > 1 ? args[1] : "";
  if (verb == "list" && args.size() == 2) {
    for (const Account& a : store.ListAccounts()) {
      out << a.name << "\thome=" << a.home << "\tquota=" << a.quota << "\tbandwidth=" << a.bandwidth
          << "\tsessions=" << a.sessions << "\trights=" << RightsText(a.rights)
          << (a.enabled ? "" : "\tdisabled") << "\n";
    }
    return 0;
  }
  if ((verb != "add" && verb != "set" && verb != "del") || args.size() < 3 || args[2].empty()) {
    err << "zelm-mserver: bad user command\n" << kUsage;
    return 2;
  }
  const std::string& name = args[2];
  if (verb == "del") {
    if (args.size() != 3) {
      err << kUsage;
      return 2;
    }
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
    Account account;
    account.name = name;
    if (!ApplyAccountOptions(options, account, err)) return 2;
    if (account.home.empty()) {
      err << "zelm-mserver: user add needs --home\n";
      return 2;
    }
    const std::optional<std::string> password = readPassword(fromStdin);
    if (!password) {
      err << "zelm-mserver: no password given\n";
      return 2;
    }
    return store.AddAccount(account, *password) ? 0 : Refused(store, err);
  }
  std::optional<Account> account = store.FindAccount(name);
  if (!account) {
    err << "zelm-mserver: no such user '" << name << "'\n";
    return 1;
  }
  if (!ApplyAccountOptions(options, *account, err)) return 2;
  std::optional<std::string> password;
  if (fromStdin) {
    password = readPassword(true);
    if (!password) {
      err << "zelm-mserver: no password given\n";
      return 2;
    }
  }
  return store.UpdateAccount(*account, password) ? 0 : Refused(store, err);
}

int RuleCommand(CAccountStore& store, const std::vector<std::string>& args, std::ostream& out,
                std::ostream& err) {
  const std::string& verb = args.size() > 1 ? args[1] : "";
  if (verb == "list" && args.size() == 2) {
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
    if (!store.AddRule(rule)) return Refused(store, err);
    out << rule.id << "\n";
    return 0;
  }
  int64_t id = 0;
  if (verb == "del" && args.size() == 3 && ParseNumber(args[2], id)) {
    return store.DeleteRule(id) ? 0 : Refused(store, err);
  }
  err << "zelm-mserver: bad rule command\n" << kUsage;
  return 2;
}

int ConfigCommand(CAccountStore& store, const std::vector<std::string>& args, std::ostream& out,
                  std::ostream& err) {
  const std::string& verb = args.size() > 1 ? args[1] : "";
  if (verb == "show" && args.size() == 2) {
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
    err << "zelm-mserver: bad config command\n" << kUsage;
    return 2;
  }
  ServerConfig config;
  for (const auto& [name, value] : options.values) {
    uint32_t number = 0;
    if (name == "--main-path") {
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
  return store.SetConfig(config) ? 0 : Refused(store, err);
}

}  // namespace

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
                    const PasswordReader& readPassword, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    err << kUsage;
    return 2;
  }
  if (args[0] != "user" && args[0] != "rule" && args[0] != "config") {
    err << "zelm-mserver: unknown command '" << args[0] << "'\n" << kUsage;
    return 2;
  }
  if (!store.Initialise()) return Refused(store, err);
  if (args[0] == "user") return UserCommand(store, args, readPassword, out, err);
  if (args[0] == "rule") return RuleCommand(store, args, out, err);
  return ConfigCommand(store, args, out, err);
}

}  // namespace zelm
