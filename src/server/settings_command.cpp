// Owns the settings commands of the operator's tool.
#include "server/settings_command.h"

#include <charconv>
#include <cstdint>

#include "platform/settings_store.h"

namespace zelm {
namespace {

uint32_t DwordOf(const SettingValue& value) {
  uint32_t number = 0;
  for (size_t i = value.bytes.size(); i-- > 0;) {
    number = number << 8 | static_cast<uint8_t>(value.bytes[i]);
  }
  return number;
}

std::string Show(const SettingValue& value) {
  if (value.kind == SettingKind::kDword) return std::to_string(DwordOf(value));
  return value.bytes;
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

int RunSettingsCommand(const std::string& storePath, const std::vector<std::string>& args,
                       std::ostream& out, std::ostream& err) {
  static constexpr const char* kUsage =
      "usage: zelmftpctl [--settings PATH] settings list | get NAME | set-dword NAME N |"
      " set-string NAME TEXT | unset NAME\n";
  const struct {
    const char* name;
    size_t words;
  } commands[] = {{"list", 1}, {"get", 2}, {"set-dword", 3}, {"set-string", 3}, {"unset", 2}};
  if (args.empty()) {
    err << kUsage;
    return 2;
  }
  const std::string& command = args[0];
  bool known = false;
  for (const auto& c : commands) {
    if (command != c.name) continue;
    known = true;
    if (args.size() != c.words) {
      err << "zelmftpctl: '" << command << "' takes " << c.words - 1 << " argument(s)\n" << kUsage;
      return 2;
    }
  }
  if (!known) {
    err << "zelmftpctl: unknown settings command '" << command << "'\n" << kUsage;
    return 2;
  }
  if (args.size() > 1 && args[1].empty()) {
    err << "zelmftpctl: a setting needs a name\n";
    return 2;
  }

  CSettingsStore store(storePath);
  if (command == "list") {
    if (!store.Exists()) {
      err << "zelmftpctl: no settings store at " << storePath
          << " (every setting has its default)\n";
      return 0;
    }
    for (const auto& [name, value] : store.List()) {
      out << name << '\t' << (value.kind == SettingKind::kDword ? "dword" : "string") << '\t'
          << Show(value) << '\n';
    }
    return 0;
  }
  if (command == "get") {
    const auto value = store.Read(args[1]);
    if (!value) {
      err << "zelmftpctl: '" << args[1] << "' is not set in " << storePath << "\n";
      return 1;
    }
    out << Show(*value) << '\n';
    return 0;
  }
  if (command == "unset") {
    if (!store.Remove(args[1])) {
      err << "zelmftpctl: cannot change " << storePath << ": " << store.LastError() << "\n";
      return 1;
    }
    return 0;
  }
  SettingValue value;
  if (command == "set-dword") {
    uint32_t number = 0;
    if (!ParseDwordArgument(args[2], number)) {
      err << "zelmftpctl: '" << args[2]
          << "' is not a number from 0 to 4294967295 (decimal, 0x-hexadecimal or a dotted IPv4"
             " address)\n";
      return 2;
    }
    value = SettingValue::Dword(number);
  } else {
    value = SettingValue::Text(args[2]);
  }
  if (!store.Write(args[1], value, true)) {
    err << "zelmftpctl: cannot write " << storePath << ": " << store.LastError() << "\n";
    return 1;
  }
  return 0;
}

}  // namespace zelm
