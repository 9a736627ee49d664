// Owns zelmftpctl's commands that talk to the console, and the administrator-password command.
#include "ui/console_command.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "platform/http_client.h"
#include "platform/local_time.h"
#include "platform/password_hash.h"
#include "platform/small_file.h"
#include "platform/terminal.h"
#include "platform/thread.h"
#include "server/settings.h"
#include "service/service_module.h"
#include "service/status_command.h"
#include "ui/console_access.h"
#include "ui/control_dlg.h"
#include "ui/password_dlg.h"

namespace zelm {
namespace {

using Json = nlohmann::json;

constexpr int kCallTimeoutMs = 3000;

struct Console {
  std::string address;
  uint16_t port = 0;
  std::string token;
  std::string tokenPath;

  std::string Url() const {
    const bool v6 = address.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port) + "/";
  }

  HttpCallResult Call(const std::string& method, const std::string& path,
                      const std::string& body = {}) const {
    std::vector<std::pair<std::string, std::string>> headers = {{kConsoleTokenHeader, token}};
    if (address.find(':') != std::string::npos) {
      headers.emplace_back("Host", "[" + address + "]:" + std::to_string(port));
    }
    return HttpCall(address, port, method, path, headers, body, kCallTimeoutMs);
  }
};

// False with a message when the console is off or its token cannot be read.
bool FindConsole(const std::string& settingsPath, Console& console, std::string& why) {
  const uint32_t port = ReadSettingDword(kConsolePortSetting, kDefaultConsolePort);
  if (port == 0 || port > 65535) {
    why = "the console is off (\"Console Port\" is " + std::to_string(port) + ")";
    return false;
  }
  console.port = static_cast<uint16_t>(port);
  console.address = ReadSettingString(kConsoleAddressSetting, kDefaultConsoleAddress);
  console.tokenPath = ConsoleTokenPath(settingsPath);
  if (ReadSmallFile(console.tokenPath, 4096, console.token) != SmallFileResult::kOk) {
    why = "cannot read the console's token file " + console.tokenPath +
          " (is zelmftp running? run this as root or as the service user)";
    return false;
  }
  while (!console.token.empty() && (console.token.back() == '\n' || console.token.back() == '\r')) {
    console.token.pop_back();
  }
  return true;
}

std::string Unanswered(const Console& console, const HttpCallResult& result) {
  if (!result.reached) return "the console at " + console.Url() + " does not answer";
  if (result.status == 401 || result.status == 403) {
    return "the console at " + console.Url() + " refused the token from " + console.tokenPath +
           " (a stale file from an earlier run?)";
  }
  return "the console at " + console.Url() + " answered " + std::to_string(result.status);
}

std::string Terminal(std::string text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

// "2026-12-11 17:02:03 (127.0.0.1)(bob): RETR big.bin", in local time. The text is the
// console's, made safe already.
std::string LogLine(const Json& entry) {
  SystemTime t;
  const int64_t ms = entry.value("time", int64_t{0});
  char when[64] = "";
  if (ToLocalTime(ms / 1000, t)) {
    std::snprintf(when, sizeof when, "%04u-%02u-%02u %02u:%02u:%02u ", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
  }
  return when + ("(" + entry.value("address", "") + ")(" + entry.value("user", "") +
                 "): " + entry.value("text", ""));
}

void PrintState(const Json& state, std::ostream& out) {
  out << kServiceName << ": running; " << state.value("status", "") << "; "
      << state.value("detail", "") << "\n";
}

int Status(const std::string& settingsPath, std::ostream& out, std::ostream& err) {
  Console console;
  std::string why;
  if (FindConsole(settingsPath, console, why)) {
    const HttpCallResult result = console.Call("GET", "/api/state");
    const Json state = Json::parse(result.body, nullptr, false);
    if (result.reached && result.status == 200 && state.is_object()) {
      PrintState(state, out);
      // Running but not serving FTP (deactivated, or its port taken) is not "all is well".
      return state.value("active", false) ? 0 : 1;
    }
  }
  return RunStatusCommand(out, err);
}

int Listener(const Console& console, bool activate, std::ostream& out, std::ostream& err) {
  const Json body = {{"action", activate ? "activate" : "deactivate"}};
  const HttpCallResult result = console.Call("POST", "/api/listener", body.dump());
  const Json state = Json::parse(result.body, nullptr, false);
  if (!result.reached || !state.is_object()) {
    err << "zelmftpctl: " << Unanswered(console, result) << "\n";
    return 1;
  }
  PrintState(state, out);
  if (state.value("active", !activate) != activate) {
    err << "zelmftpctl: the listener did not " << (activate ? "start" : "stop")
        << " (is the port in use?)\n";
    return 1;
  }
  return 0;
}

int Log(const Console& console, bool follow, bool passwords, std::ostream& out, std::ostream& err) {
  const std::string clear = passwords ? "passwords=1" : "";
  std::string path = "/api/log" + (passwords ? "?" + clear : "");
  bool first = true;
  for (;;) {
    const HttpCallResult result = console.Call("GET", path);
    const Json log = Json::parse(result.body, nullptr, false);
    if (passwords && result.reached && result.status == 403) {
      err << "zelmftpctl: passwords in clear are for root only\n";
      return 1;
    }
    if (!result.reached || result.status != 200 || !log.is_object()) {
      if (first) {
        err << "zelmftpctl: " << Unanswered(console, result) << "\n";
        return 1;
      }
      err << "zelmftpctl: the console closed\n";
      return 0;
    }
    if (!first && log.value("reset", false)) out << "-- the log was cleared --\n";
    for (const Json& entry : log.value("entries", Json::array())) {
      if (entry.is_object()) out << LogLine(entry) << "\n";
    }
    out << std::flush;
    if (!follow) return 0;
    first = false;
    path = "/api/log?since=" + std::to_string(log.value("next", uint64_t{0})) +
           (passwords ? "&" + clear : "");
    SleepMilliseconds(kConsoleFlushMs);
  }
}

// "console": a one-time login link for a browser.
int LoginLink(const Console& console, std::ostream& out, std::ostream& err) {
  const HttpCallResult result = console.Call("POST", "/api/login-link", "{}");
  const Json answer = Json::parse(result.body, nullptr, false);
  if (!result.reached || result.status != 200 || !answer.is_object() ||
      !answer.value("path", "").starts_with("/")) {
    err << "zelmftpctl: " << Unanswered(console, result) << "\n";
    return 1;
  }
  out << "Open this link in a browser (it works once, within " << answer.value("seconds", 0)
      << " s):\n"
      << console.Url() << answer.value("path", "").substr(1) << "\n";
  return 0;
}

// One answer of the console: the JSON object, or a message on `err` and false.
bool Ask(const Console& console, const std::string& method, const std::string& path,
         const std::string& body, Json& answer, std::ostream& err) {
  const HttpCallResult result = console.Call(method, path, body);
  answer = Json::parse(result.body, nullptr, false);
  if (result.reached && result.status == 400) {
    std::string text = result.body;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    err << "zelmftpctl: the console refused it: " << text << "\n";
    return false;
  }
  if (!result.reached || result.status != 200 || !answer.is_object()) {
    err << "zelmftpctl: " << Unanswered(console, result) << "\n";
    return false;
  }
  return true;
}

// "1.5 MiB", "64.0 KiB", "512 B".
std::string Bytes(double bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  size_t unit = 0;
  while (bytes >= 1024 && unit + 1 < std::size(units)) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
  return text;
}

std::string Duration(int64_t seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  return text;
}

// "sessions": one line per session; the texts come from the console, made safe already.
int Sessions(const Console& console, bool json, std::ostream& out, std::ostream& err) {
  Json answer;
  if (!Ask(console, "GET", "/api/sessions", {}, answer, err)) return 1;
  const Json sessions = answer.value("sessions", Json::array());
  if (json) {
    out << sessions.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
    return 0;
  }
  if (sessions.empty()) {
    out << "no sessions\n";
    return 0;
  }
  out << "ID\tUSER\tADDRESS\tCONNECTED\tIDLE\tCOMMAND\tTRANSFER\n";
  for (const Json& s : sessions) {
    if (!s.is_object()) continue;
    const std::string user = s.value("user", "");
    out << s.value("id", 0u) << "\t" << (user.empty() ? "(not logged in)" : user) << "\t"
        << s.value("address", "") << "\t" << Duration(s.value("connectedSeconds", int64_t{0}))
        << "\t" << s.value("idleSeconds", int64_t{0}) << " s\t" << s.value("command", "") << "\t";
    const Json transfer = s.value("transfer", Json());
    if (transfer.is_object()) {
      const bool upload = transfer.value("direction", "") == "upload";
      out << (upload ? "upload " : "download ") << transfer.value("file", "") << " "
          << Bytes(transfer.value("bytes", 0.0));
      if (transfer.value("size", 0.0) > 0) out << " of " << Bytes(transfer.value("size", 0.0));
      if (transfer["percent"].is_number()) {
        char percent[16];
        std::snprintf(percent, sizeof percent, " (%.0f%%)", transfer["percent"].get<double>());
        out << percent;
      }
      out << ", " << Bytes(transfer.value("rate", 0.0)) << "/s";
    } else {
      out << "-";
    }
    out << "\n";
  }
  return 0;
}

// "kick ID|USER": a number names a session, anything else a user.
int Kick(const Console& console, const std::string& who, bool json, std::ostream& out,
         std::ostream& err) {
  const bool byId =
      !who.empty() && who.size() <= 10 && who.find_first_not_of("0123456789") == std::string::npos;
  Json body;
  if (byId) {
    body = {{"id", std::stoull(who)}};
  } else {
    body = {{"user", who}};
  }
  Json answer;
  if (!Ask(console, "POST", "/api/sessions/kick", body.dump(), answer, err)) return 1;
  const uint64_t kicked = answer.value("kicked", uint64_t{0});
  if (json) out << answer.dump() << "\n";
  if (kicked == 0) {
    err << "zelmftpctl: " << (byId ? "no session " : "no session of user ") << Terminal(who)
        << "\n";
    return 1;
  }
  if (!json) out << "kicked " << kicked << (kicked == 1 ? " session\n" : " sessions\n");
  return 0;
}

// "bans", "ban ADDRESS [SECONDS]", "unban ADDRESS" (also "bans lift ADDRESS").
int Bans(const Console& console, const std::vector<std::string>& args, bool json, std::ostream& out,
         std::ostream& err) {
  const std::string& name = args[0];
  Json answer;
  if (name == "ban") {
    Json body = {{"address", args[1]}};
    if (args.size() > 2) {
      const std::string& seconds = args[2];
      if (seconds.empty() || seconds.size() > 9 ||
          seconds.find_first_not_of("0123456789") != std::string::npos) {
        err << "zelmftpctl: SECONDS is a whole number of seconds, not '" << Terminal(seconds)
            << "'\n";
        return 2;
      }
      body["seconds"] = std::stoll(seconds);
    }
    if (!Ask(console, "POST", "/api/bans/add", body.dump(), answer, err)) return 1;
    if (json) {
      out << answer.dump() << "\n";
    } else {
      const uint64_t ended = answer.value("ended", uint64_t{0});
      out << args[1] << " banned; " << ended << (ended == 1 ? " session" : " sessions")
          << " ended\n";
    }
    return 0;
  }
  if (name == "unban" || args.size() == 3) {
    const std::string& address = args.back();
    if (!Ask(console, "POST", "/api/bans/lift", Json{{"address", address}}.dump(), answer, err))
      return 1;
    if (json) out << answer.dump() << "\n";
    if (!answer.value("lifted", false)) {
      err << "zelmftpctl: " << Terminal(address) << " is not banned\n";
      return 1;
    }
    if (!json) out << "ban of " << address << " lifted\n";
    return 0;
  }
  if (!Ask(console, "GET", "/api/bans", {}, answer, err)) return 1;
  const Json bans = answer.value("bans", Json::array());
  if (json) {
    out << bans.dump(2) << "\n";
    return 0;
  }
  if (bans.empty()) out << "no address is banned\n";
  for (const Json& ban : bans) {
    if (!ban.is_object()) continue;
    out << ban.value("address", "?") << "\tbanned for " << ban.value("seconds", int64_t{0})
        << " s more\n";
  }
  return 0;
}

int AdminPassword(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  int slot = 1;
  if (args.size() > 2 || (args.size() == 2 && args[1] != "1" && args[1] != "2")) {
    err << "zelmftpctl: usage: admin-password [1|2]\n";
    return 2;
  }
  if (args.size() == 2) slot = args[1] == "2" ? 2 : 1;
  const std::optional<std::string> password = ReadSecretLine("Administrator password: ");
  if (!password || password->empty()) {
    err << "zelmftpctl: no password given; nothing stored\n";
    return 2;
  }
  if (StandardInputIsTerminal()) {
    const std::optional<std::string> again = ReadSecretLine("The same again: ");
    if (!again || *again != *password) {
      err << "zelmftpctl: the two entries differ; nothing stored\n";
      return 2;
    }
  }
  const std::string hash = HashPassword(*password);
  const char* name = kAdminPasswordSettings[slot - 1];
  if (hash.empty() || !WriteSetting(name, hash.data(), static_cast<uint32_t>(hash.size()),
                                    SETTING_STRING | SETTING_CREATE)) {
    err << "zelmftpctl: cannot store \"" << name << "\" in " << SettingsStorePath() << "\n";
    return 1;
  }
  out << "\"" << name << "\" stored (a salted scrypt hash) in " << SettingsStorePath() << "\n";
  return 0;
}

}  // namespace

bool IsConsoleCommand(const std::string& name) {
  return name == "status" || name == "activate" || name == "deactivate" || name == "stop" ||
         name == "log" || name == "admin-password" || name == "bans" || name == "console" ||
         name == "sessions" || name == "kick" || name == "ban" || name == "unban";
}

int RunConsoleCommand(const std::string& settingsPath, const std::vector<std::string>& args,
                      std::ostream& out, std::ostream& err) {
  UseSettingsStore(settingsPath);
  const std::string& name = args.at(0);
  if (name == "admin-password") return AdminPassword(args, out, err);
  bool follow = false;
  bool passwords = false;
  if (name == "log") {
    for (size_t i = 1; i < args.size(); ++i) {
      if (args[i] == "--follow") {
        follow = true;
      } else if (args[i] == "--passwords") {
        passwords = true;
      } else {
        err << "zelmftpctl: usage: log [--follow] [--passwords]\n";
        return 2;
      }
    }
  }
  // The session and ban commands: their words, and --json anywhere after the name.
  std::vector<std::string> words = {name};
  bool json = false;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--json" && name != "log") {
      json = true;
    } else {
      words.push_back(args[i]);
    }
  }
  struct Shape {
    const char* name;
    size_t least, most;  // words after the name
    const char* usage;
  };
  static constexpr Shape kShapes[] = {
      {"sessions", 0, 0, "sessions [--json]"},
      {"kick", 1, 1, "kick ID|USER [--json]"},
      {"bans", 0, 2, "bans [--json] | bans lift ADDRESS"},
      {"ban", 1, 2, "ban ADDRESS [SECONDS] [--json]"},
      {"unban", 1, 1, "unban ADDRESS [--json]"},
  };
  bool shaped = false;
  for (const Shape& shape : kShapes) {
    if (name != shape.name) continue;
    shaped = true;
    const size_t given = words.size() - 1;
    const bool bansShape = name != "bans" || given == 0 || (given == 2 && words[1] == "lift");
    if (given < shape.least || given > shape.most || !bansShape) {
      err << "zelmftpctl: usage: " << shape.usage << "\n";
      return 2;
    }
  }
  if (!shaped && args.size() > 1 && name != "log") {
    err << "zelmftpctl: '" << name << "' takes no arguments\n";
    return 2;
  }
  if (name == "status") return Status(settingsPath, out, err);
  Console console;
  std::string why;
  if (!FindConsole(settingsPath, console, why)) {
    err << "zelmftpctl: " << why << "\n";
    return 1;
  }
  if (name == "activate" || name == "deactivate") {
    return Listener(console, name == "activate", out, err);
  }
  if (name == "log") return Log(console, follow, passwords, out, err);
  if (name == "console") return LoginLink(console, out, err);
  if (name == "sessions") return Sessions(console, json, out, err);
  if (name == "kick") return Kick(console, words[1], json, out, err);
  if (name == "bans" || name == "ban" || name == "unban")
    return Bans(console, words, json, out, err);
  // stop
  const HttpCallResult result = console.Call("POST", "/api/stop", "{}");
  const Json answer = Json::parse(result.body, nullptr, false);
  if (!result.reached || result.status != 200 || !answer.is_object()) {
    err << "zelmftpctl: " << Unanswered(console, result) << "\n";
    return 1;
  }
  if (!answer.value("stopping", false)) {
    err << "zelmftpctl: the service is not running; nothing to stop\n";
    return 1;
  }
  out << kServiceName << ": stopping\n";
  return 0;
}

}  // namespace zelm
