// Owns the settings commands of the operator's tool.
#include "server/settings_command.h"

#include <charconv>
#include <cstdint>

#include "platform/settings_store.h"
#include "server/settings.h"

namespace zelm {
namespace {

uint32_t DwordOf(const SettingValue& value) {
  uint32_t number = 0;
  for (size_t i = value.bytes.size(); i-- > 0;) {
    number = number << 8 | static_cast<uint8_t>(value.bytes[i]);
  }
  return number;
}

// A stored value as `list` and `get` show it: addresses dotted.
std::string Show(std::string_view name, const SettingValue& value) {
  if (value.kind == SettingKind::kDword && value.bytes.size() == 4) {
    return ShowSettingDword(FindKnownSetting(name), DwordOf(value));
  }
  return value.bytes;
}

const char* KindName(uint32_t kind) { return kind == SETTING_DWORD ? "dword" : "string"; }
const char* KindName(SettingKind kind) { return kind == SettingKind::kDword ? "dword" : "string"; }

struct Command {
  const char* name;
  size_t least, most;  // words after the command, "--force" not counted
  const char* synopsis;
  const char* help;
};

constexpr Command kCommands[] = {
    {"list", 0, 0, "list [--all]",
     "the stored settings, one a line: name, kind, value (tab-separated); --all: every\n"
     "setting the server reads, with a header line: name, kind, the stored value (\"-\": none),\n"
     "the default and the value in effect\n"},
    {"get", 1, 1, "get NAME", "one stored value (exit status 1: not stored, or no such setting)\n"},
    {"set-dword", 2, 2, "set-dword [--force] NAME N",
     "store a number: decimal, 0x-hexadecimal, or a dotted IPv4 address for \"MServer IP\"\n"
     "and \"ServiceIP\"\n"},
    {"set-string", 2, 2, "set-string [--force] NAME TEXT", "store a text\n"},
    {"unset", 1, 1, "unset NAME", "remove a setting (the server takes its default again)\n"},
};

constexpr const char* kRefusalNote =
    "A name the server does not read, a value of the wrong kind or out of the setting's range\n"
    "is refused (exit status 2); --force stores it anyway. Names ignore letter case.\n";

void PrintHelp(const Command& command, std::ostream& out) {
  out << "usage: zelmftpctl [--settings PATH] settings " << command.synopsis << "\n"
      << command.help;
  if (std::string_view(command.name).starts_with("set-")) out << kRefusalNote;
}

std::string Quoted(const std::string& text) { return text.empty() ? "\"\"" : text; }

// "did you mean ..." for a name the server does not read.
std::string Suggestion(const std::string& name) {
  const std::string closest = ClosestKnownSetting(name);
  if (!closest.empty()) return "; did you mean \"" + closest + "\"?";
  return " (`zelmftpctl settings list --all` lists every setting)";
}

// `settings list --all`: every known setting, then what else the store holds.
void ListAll(const CSettingsStore& store, std::ostream& out) {
  const auto stored = store.List();
  out << "NAME\tKIND\tSTORED\tDEFAULT\tEFFECTIVE\n";
  const auto row = [&out](const std::string& name, const KnownSetting& setting,
                          const std::optional<SettingValue>& value) {
    out << name << '\t' << KindName(setting.kind) << '\t'
        << (value ? Quoted(Show(name, *value)) : "-") << '\t' << Quoted(setting.defaultText) << '\t'
        << EffectiveSettingText(setting, name) << '\n';
  };
  for (const KnownSetting& setting : KnownSettings()) {
    if (std::string_view(setting.name) != "Drive X") {
      row(setting.name, setting, store.Read(setting.name));
      continue;
    }
    bool anyDrive = false;
    for (const auto& [name, value] : stored) {
      if (FindKnownSetting(name) != &setting) continue;
      anyDrive = true;
      row(name, setting, value);
    }
    if (!anyDrive) row(setting.name, setting, std::nullopt);
  }
  for (const auto& [name, value] : stored) {
    if (FindKnownSetting(name) != nullptr) continue;
    out << name << '\t' << KindName(value.kind) << '\t' << Quoted(Show(name, value))
        << "\t-\t- (the server does not read it)\n";
  }
}

bool ParseNumber(std::string_view text, int base, uint64_t limit, uint64_t& value) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return ec == std::errc() && end == text.data() + text.size() && value <= limit;
}

}  // namespace

bool ParseDwordArgument(const std::string& text, uint32_t& value) {
  uint64_t number = 0;
  if (text.find('.') != std::string::npos) {
    // A dotted address: its first byte is the number's lowest byte.
    uint32_t address = 0;
    size_t start = 0;
    for (int part = 0; part < 4; ++part) {
      const size_t dot = part < 3 ? text.find('.', start) : text.size();
      if (dot == std::string::npos) return false;
      if (!ParseNumber(std::string_view(text).substr(start, dot - start), 10, 255, number)) {
        return false;
      }
      address |= static_cast<uint32_t>(number) << (8 * part);
      start = dot + 1;
    }
    value = address;
    return true;
  }
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  if (!ParseNumber(std::string_view(text).substr(hex ? 2 : 0), hex ? 16 : 10, UINT32_MAX, number)) {
    return false;
  }
  value = static_cast<uint32_t>(number);
  return true;
}

const char* const kSettingsUsage =
    "usage: zelmftpctl [--settings PATH] settings COMMAND\n"
    "  list [--all]                    the stored settings: name, kind, value; --all: every\n"
    "                                  setting the server reads: name, kind, stored value,\n"
    "                                  default, the value in effect\n"
    "  get NAME                        one stored value\n"
    "  set-dword [--force] NAME N      store a number (decimal, 0x-hexadecimal, or a dotted\n"
    "                                  IPv4 address for \"MServer IP\" and \"ServiceIP\")\n"
    "  set-string [--force] NAME TEXT  store a text\n"
    "  unset NAME                      remove a setting (it takes its default again)\n"
    "A name the server does not read, a value of the wrong kind or out of the setting's range\n"
    "is refused (exit status 2); --force stores it anyway. Names ignore letter case.\n"
    "`zelmftpctl settings COMMAND --help` shows one command.\n";

int RunSettingsCommand(const std::string& storePath, const std::vector<std::string>& args,
                       std::ostream& out, std::ostream& err) {
  const Command* command = nullptr;
  if (!args.empty()) {
    for (const Command& c : kCommands) {
      if (args[0] == c.name) command = &c;
    }
  }
  for (const std::string& word : args) {
    if (word != "--help" && word != "-h") continue;
    if (command != nullptr) {
      PrintHelp(*command, out);
    } else {
      out << kSettingsUsage;
    }
    return 0;
  }
  if (args.empty()) {
    err << kSettingsUsage;
    return 2;
  }
  if (command == nullptr) {
    err << "zelmftpctl: unknown settings command '" << args[0] << "'\n" << kSettingsUsage;
    return 2;
  }
  // The words after the command's name, without the options.
  std::vector<std::string> words;
  bool force = false;
  bool all = false;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--force" && std::string_view(command->name).starts_with("set-")) {
      force = true;
    } else if (args[i] == "--all" && args[0] == "list") {
      all = true;
    } else {
      words.push_back(args[i]);
    }
  }
  if (words.size() < command->least || words.size() > command->most) {
    err << "zelmftpctl: usage: settings " << command->synopsis << "\n";
    return 2;
  }
  if (!words.empty() && words[0].empty()) {
    err << "zelmftpctl: a setting needs a name\n";
    return 2;
  }

  UseSettingsStore(storePath);
  CSettingsStore store(storePath);
  const std::string verb = args[0];
  if (verb == "list") {
    if (!store.Exists()) {
      err << "zelmftpctl: no settings store at " << storePath
          << " (every setting has its default)\n";
      if (!all) return 0;
    }
    if (all) {
      ListAll(store, out);
      return 0;
    }
    for (const auto& [name, value] : store.List()) {
      out << name << '\t' << KindName(value.kind) << '\t' << Show(name, value) << '\n';
    }
    return 0;
  }
  const std::string& name = words[0];
  const KnownSetting* known = FindKnownSetting(name);
  if (verb == "get") {
    const auto value = store.Read(name);
    if (value) {
      out << Show(name, *value) << '\n';
      return 0;
    }
    if (known == nullptr) {
      err << "zelmftpctl: the server reads no setting named \"" << name << "\"" << Suggestion(name)
          << "\n";
    } else {
      err << "zelmftpctl: '" << name << "' is not set in " << storePath
          << "; the server uses its default, " << Quoted(known->defaultText) << "\n";
    }
    return 1;
  }
  if (verb == "unset") {
    if (!store.Remove(name)) {
      err << "zelmftpctl: cannot change " << storePath << ": " << store.LastError() << "\n";
      return 1;
    }
    return 0;
  }

  const bool dword = verb == "set-dword";
  const std::string& text = words[1];
  uint32_t number = 0;
  if (dword && !ParseDwordArgument(text, number)) {
    err << "zelmftpctl: '" << text
        << "' is not a number from 0 to 4294967295 (decimal, 0x-hexadecimal or a dotted IPv4"
           " address)\n";
    return 2;
  }
  std::string why;
  if (known == nullptr) {
    why = "the server reads no setting named \"" + name + "\"" + Suggestion(name);
  } else if (known->kind != (dword ? SETTING_DWORD : SETTING_STRING)) {
    why = "\"" + std::string(known->name) + "\" is " +
          (dword ? "a text: use set-string" : "a number: use set-dword");
  } else if (dword) {
    CheckSettingDword(*known, number, why);
  } else {
    CheckSettingText(*known, text, why);
  }
  if (!why.empty() && !force) {
    err << "zelmftpctl: " << why << "; nothing stored (--force stores it anyway)\n";
    return 2;
  }
  const SettingValue value = dword ? SettingValue::Dword(number) : SettingValue::Text(text);
  if (!store.Write(CanonicalSettingName(name), value, true)) {
    err << "zelmftpctl: cannot write " << storePath << ": " << store.LastError() << "\n";
    return 1;
  }
  if (known != nullptr && std::string_view(known->name).starts_with("Passive Port M")) {
    const uint32_t least = ReadSettingDword("Passive Port Min", 1500);
    const uint32_t most = ReadSettingDword("Passive Port Max", 65535);
    if (most < least) {
      err << "zelmftpctl: note: \"Passive Port Max\" (" << most << ") is below \"Passive Port "
          << "Min\" (" << least << "); the server draws from " << GetPassivePortMin()
          << " to 65535 until one of them changes\n";
    }
  }
  return 0;
}

}  // namespace zelm
