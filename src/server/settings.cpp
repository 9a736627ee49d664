// Owns the named settings accessors and the listener's settings record.
#include "server/settings.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <vector>

#include "ftp/reply_builder.h"
#include "platform/code_page.h"
#include "platform/settings_store.h"
#include "server/link_trust.h"
#include "vfs/managed_path.h"

namespace zelm {
namespace {

std::mutex gPathMutex;  // guards gPath
std::string gPath;      // empty: DefaultSettingsPath()

CSettingsStore Store() { return CSettingsStore(SettingsStorePath()); }

// atoi's reading of a short text: blanks, a sign, then the leading digits.
uint32_t DecimalOf(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > INT32_MAX) value = INT32_MAX + int64_t{negative};
  }
  return static_cast<uint32_t>(negative ? -value : value);
}

std::string_view UpToZero(const std::string& bytes) {
  return std::string_view(bytes.data(), ::strnlen(bytes.data(), bytes.size()));
}

// Four dotted decimal numbers up to 255, nothing else; the first is the lowest byte of
// `address` (network order in memory).
bool ParseDottedText(std::string_view text, uint32_t& address) {
  uint32_t parts[4] = {};
  size_t at = 0;
  for (int i = 0; i < 4; ++i) {
    size_t digits = 0;
    uint32_t value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 3) {
      value = value * 10 + static_cast<uint32_t>(text[at++] - '0');
      ++digits;
    }
    if (digits == 0 || value > 255) return false;
    parts[i] = value;
    if (i < 3) {
      if (at >= text.size() || text[at] != '.') return false;
      ++at;
    }
  }
  if (at != text.size()) return false;
  address = parts[0] | parts[1] << 8 | parts[2] << 16 | parts[3] << 24;
  return true;
}

}  // namespace

void UseSettingsStore(std::string path) {
  std::lock_guard lock(gPathMutex);
  gPath = std::move(path);
}

std::string SettingsStorePath() {
  std::lock_guard lock(gPathMutex);
  return gPath.empty() ? DefaultSettingsPath() : gPath;
}

uint32_t ReadSettingDword(std::string_view name, uint32_t fallback) {
  const std::optional<SettingValue> value = Store().Read(name);
  if (!value) return fallback;
  if (value->kind == SettingKind::kString) {
    // The size counts the terminator, as texts are stored with one.
    if (value->bytes.size() + 1 < 20) return DecimalOf(UpToZero(value->bytes));
    return fallback;
  }
  if (value->bytes.size() != 4) return fallback;
  uint32_t number = 0;
  for (int i = 3; i >= 0; --i) number = number << 8 | static_cast<uint8_t>(value->bytes[i]);
  return number;
}

std::string ReadSettingString(std::string_view name, std::string_view fallback) {
  const std::optional<SettingValue> value = Store().Read(name);
  if (!value || value->bytes.empty()) return std::string(fallback);
  return std::string(UpToZero(value->bytes));
}

bool WriteSetting(std::string_view name, const void* data, uint32_t size, uint32_t flags) {
  SettingValue value;
  const auto* bytes = static_cast<const char*>(data);
  if ((flags & SETTING_DWORD) != 0) {
    if (size != 4 || data == nullptr) return false;
    value.kind = SettingKind::kDword;
    value.bytes.assign(bytes, 4);
  } else {
    value.kind = SettingKind::kString;
    if (data != nullptr) value.bytes = std::string(UpToZero(std::string(bytes, size)));
  }
  CSettingsStore store = Store();
  return store.Write(name, value, (flags & SETTING_CREATE) != 0);
}

uint32_t GetMaxConnection() {
  const uint32_t count = ReadSettingDword("Max Connection", 50);
  return count == 0 ? 4096 : count;
}

bool SetMaxConnection(uint32_t count) {
  const SettingValue value = SettingValue::Dword(count);
  return WriteSetting("Max Connection", value.bytes.data(), 4, SETTING_DWORD | SETTING_CREATE);
}

uint32_t GetAnonymousAccess() { return ReadSettingDword("Anonymous Access", 0); }
uint32_t GetAnonymousMax() { return ReadSettingDword("Anonymous Max", 0); }
uint32_t GetDefaultBandwidth() { return ReadSettingDword("Default BandWidth", 128); }
bool IsDiscoveryOn() { return ReadSettingDword("Discovery", 0) == 1; }
std::string GetMainPath() { return ReadSettingString("Main Path"); }
bool AreExtensionsOn() { return ReadSettingDword("Extensions", 1) != 0; }

uint32_t GetPassivePortMin() {
  const uint32_t port = ReadSettingDword("Passive Port Min", 1500);
  return port == 0 || port > 65535 ? 1500 : port;
}

uint32_t GetPassivePortMax() {
  const uint32_t port = ReadSettingDword("Passive Port Max", 65535);
  return port > 65535 || port < GetPassivePortMin() ? 65535 : port;
}

uint32_t GetPassiveAddress() {
  uint32_t address = 0;
  return ParseDottedText(ReadSettingString("Passive Address"), address) ? address : 0;
}

uint32_t GetFailedLoginDelay() { return ReadSettingDword("Failed Login Delay", 16); }
uint32_t GetBanFailures() { return ReadSettingDword("Ban Failures", 10); }
uint32_t GetBanWindow() { return ReadSettingDword("Ban Window", 600); }
uint32_t GetBanTime() { return ReadSettingDword("Ban Time", 900); }
uint32_t GetMaxConnectionPerIp() { return ReadSettingDword("Max Connection Per IP", 8); }

uint32_t GetLoginTimeout() {
  const uint32_t seconds = ReadSettingDword("Login Timeout", 30);
  return seconds == 0 ? 30 : seconds;
}

bool IsSameAddressLoginOn() { return ReadSettingDword("Same Address Login", 1) != 0; }

std::string GetTransferLogPath() {
  // Unlike the other texts, a stored empty value is a choice of its own: no transfer log.
  const std::optional<SettingValue> value = Store().Read("Transfer Log");
  if (!value || value->kind != SettingKind::kString) return kDefaultTransferLog;
  return std::string(UpToZero(value->bytes));
}

bool SetMainPath(const char* path) {
  const uint32_t size = path != nullptr ? static_cast<uint32_t>(std::strlen(path)) : 0;
  return WriteSetting("Main Path", path, size, SETTING_STRING | SETTING_CREATE);
}

CFtpSettings::CFtpSettings()
    : welcomeText(GetReplyText(kTextDefaultWelcome)), quitText(GetReplyText(kTextDefaultQuit)) {}

void CFtpSettings::Load() {
  address = ReadSettingDword("ServiceIP", 0);
  port = ReadSettingDword("ServicePort", 0);
  defaultPath = ReadSettingString("Default Path");
  welcomeText = ReadSettingString("FTP Welcome");
  quitText = ReadSettingString("FTP Quit");
  if (welcomeText.empty()) welcomeText = GetReplyText(kTextDefaultWelcome);
  if (quitText.empty()) quitText = GetReplyText(kTextDefaultQuit);
}

// ---- The known settings ----

namespace {

constexpr uint32_t D = SETTING_DWORD;
constexpr uint32_t S = SETTING_STRING;
using R = SettingRule;

std::string Number(uint32_t value) { return std::to_string(value); }

std::string Dotted(uint32_t value) {
  return std::to_string(value & 0xFF) + "." + std::to_string(value >> 8 & 0xFF) + "." +
         std::to_string(value >> 16 & 0xFF) + "." + std::to_string(value >> 24);
}

std::string Quoted(std::string text) { return text.empty() ? "\"\"" : text; }

std::string DriveFolder(char drive) { return ReadSettingString(std::string("Drive ") + drive); }

// The effective readers: the accessors above, so that the table shows what the server does.
const KnownSetting kKnownSettings[] = {
    {"Max Connection", D, R::kNumber, 0, 10000, 50, "50",
     "control connections at most (0 means 4096)", [] { return Number(GetMaxConnection()); }},
    {"Anonymous Access", D, R::kNumber, 0, 1, 0, "0", "reported to the management server only",
     [] { return Number(GetAnonymousAccess()); }},
    {"Anonymous Max", D, R::kNumber, 0, 10000, 0, "0", "reported to the management server only",
     [] { return Number(GetAnonymousMax()); }},
    {"Default BandWidth", D, R::kNumber, 0, 1048576, 128, "128",
     "KiB/s, reported to the management server only", [] { return Number(GetDefaultBandwidth()); }},
    {"Main Path", S, R::kMainPath, 0, 0, 0, "", "the folder that holds every home folder",
     [] { return Quoted(GetMainPath()); }},
    {"Extensions", D, R::kNumber, 0, 1, 1, "1",
     "1: the later RFCs' commands (FEAT, EPSV, MLSD, ...); 0: the original command table",
     [] { return Number(AreExtensionsOn() ? 1 : 0); }},
    {"Main Path Roots", S, R::kFolderList, 0, 0, 0, "/srv",
     "folders below which the management server may move \"Main Path\" (default: the present "
     "one, else /srv)",
     [] {
       std::string text;
       for (const std::string& root : MainPathRoots(DriveFolder)) {
         text += (text.empty() ? "" : ";") + root;
       }
       return Quoted(text);
     }},
    {"Publish Roots", S, R::kFolderList, 0, 0, 0, "",
     "folders whose contents the management server may publish as shortcuts"},
    {"Default Path", S, R::kText, 0, 1024, 0, "",
     "a login's home path until the management server's answer sets it"},
    {"FTP Welcome", S, R::kText, 0, 200, 0, "Zelmar FTP Service ready for a new user",
     "kept in the listener's record",
     [] {
       CFtpSettings settings;
       settings.Load();
       return Quoted(settings.welcomeText);
     }},
    {"FTP Quit", S, R::kText, 0, 200, 0, "Thank you for using Zelmar FTP Service",
     "the text of the 221 reply to QUIT",
     [] {
       CFtpSettings settings;
       settings.Load();
       return Quoted(settings.quitText);
     }},
    {"ServicePort", D, R::kPort, 1, 65535, 0, "21", "the FTP port",
     [] {
       const uint32_t port = ReadSettingDword("ServicePort", 0);
       return Number(port != 0 ? port : 21);
     }},
    {"ServiceIP", D, R::kAddress, 0, 0, 0, "0.0.0.0",
     "the address the FTP port is bound to (0.0.0.0: every address)"},
    {"MServer IP", D, R::kAddress, 0, 0, 0, "0.0.0.0",
     "the management server's address (0.0.0.0: not configured)"},
    {"MServer Port", D, R::kPort, 1, 65535, 0, "0",
     "the management server's TCP port (0: not configured)"},
    {"MServer IP Learnt", D, R::kAddress, 0, 0, 0, "0.0.0.0",
     "the management server's address as discovery learnt it"},
    {"MServer Port Learnt", D, R::kPort, 1, 65535, 0, "0",
     "the management server's port as discovery learnt it"},
    {"Discovery", D, R::kNumber, 0, 1, 0, "0",
     "1: look for the management server over UDP (datagrams to the whole LAN)",
     [] { return Number(IsDiscoveryOn() ? 1 : 0); }},
    {"Code Page", D, R::kCodePage, 0, 65535, 0, "0",
     "the Windows code page of the clients' file names (0: bytes pass unchanged)"},
    {"Console Address", S, R::kHostAddress, 0, 0, 0, "127.0.0.1",
     "the address of the control console's web page"},
    {"Console Port", D, R::kPort, 0, 65535, 8021, "8021",
     "the control console's TCP port (0: no console)"},
    {"Admin Password 1", S, R::kPasswordHash, 0, 0, 0, "",
     "an administrator password's hash (zelmftpctl admin-password 1)"},
    {"Admin Password 2", S, R::kPasswordHash, 0, 0, 0, "",
     "an administrator password's hash (zelmftpctl admin-password 2)"},
    {"Passive Port Min", D, R::kPort, 1024, 65535, 1500, "1500",
     "the lowest port a passive data connection is drawn from",
     [] { return Number(GetPassivePortMin()); }},
    {"Passive Port Max", D, R::kPort, 1024, 65535, 65535, "65535",
     "the highest port a passive data connection is drawn from",
     [] { return Number(GetPassivePortMax()); }},
    {"Passive Address", S, R::kDottedText, 0, 0, 0, "",
     "the IPv4 address a 227 reply names, behind NAT (empty: the connection's own)",
     [] {
       const uint32_t address = GetPassiveAddress();
       return address != 0 ? Dotted(address) : Quoted("");
     }},
    {"Failed Login Delay", D, R::kNumber, 0, 300, 16, "16",
     "seconds, at most, a failed login's address waits for its next reply",
     [] { return Number(GetFailedLoginDelay()); }},
    {"Ban Failures", D, R::kNumber, 0, 1000, 10, "10",
     "failed logins within \"Ban Window\" that ban an address (0: no bans)",
     [] { return Number(GetBanFailures()); }},
    {"Ban Window", D, R::kNumber, 1, 86400, 600, "600", "seconds over which failures count",
     [] { return Number(GetBanWindow()); }},
    {"Ban Time", D, R::kNumber, 1, 604800, 900, "900", "seconds an address stays banned",
     [] { return Number(GetBanTime()); }},
    {"Max Connection Per IP", D, R::kNumber, 0, 10000, 8, "8",
     "control connections of one address at once (0: no limit)",
     [] { return Number(GetMaxConnectionPerIp()); }},
    {"Login Timeout", D, R::kNumber, 0, 86400, 30, "30",
     "seconds a connection may stay without a login (0 means 30)",
     [] { return Number(GetLoginTimeout()); }},
    {"Same Address Login", D, R::kNumber, 0, 1, 1, "1",
     "1: a logged-in user logs in again from the same address without a password",
     [] { return Number(IsSameAddressLoginOn() ? 1 : 0); }},
    {"Drive X", S, R::kFolder, 0, 0, 0, "", "the Linux folder that stands for drive X:"},
    {"TLS Certificate", S, R::kFileOrEmpty, 0, 0, 0, "", "the PEM file of the certificate"},
    {"TLS Key", S, R::kFileOrEmpty, 0, 0, 0, "", "the PEM file of the certificate's key"},
    {"TLS Mode", D, R::kNumber, 0, 2, 0, "0",
     "0: no TLS, 1: allowed, 2: required (default 1 when \"TLS Certificate\" is set)",
     [] {
       const bool certificate = !ReadSettingString("TLS Certificate").empty();
       return Number(std::min<uint32_t>(ReadSettingDword("TLS Mode", certificate ? 1 : 0), 2));
     }},
    {"Implicit TLS Port", D, R::kPort, 0, 65535, 0, "0",
     "a second port where every connection starts with TLS (0: none)"},
    {"Transfer Log", S, R::kFileOrEmpty, 0, 0, 0, kDefaultTransferLog,
     "the xferlog file of finished transfers (empty: no log)",
     [] { return Quoted(GetTransferLogPath()); }},
    {"Service User", S, R::kUserName, 0, 0, 0, "zelmftp",
     "the user zelmftp serves as when started as root outside systemd"},
};

constexpr std::string_view kDriveFamily = "Drive X";

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return Lower(x) == Lower(y); });
}

// "Drive D" (any case): the drive's letter in upper case; 0 otherwise.
char DriveLetter(std::string_view name) {
  if (name.size() != kDriveFamily.size() || !SameName(name.substr(0, 6), "Drive ")) return 0;
  const char letter = Lower(name[6]);
  return letter >= 'a' && letter <= 'z' ? static_cast<char>(letter - 'a' + 'A') : 0;
}

size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min(
          {row[j] + 1, row[j - 1] + 1, diagonal + (Lower(a[i - 1]) == Lower(b[j - 1]) ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

bool HasControlBytes(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) == 0x7F;
  });
}

bool IsDrivePath(std::string_view path) {
  return path.size() >= 3 && Lower(path[0]) >= 'a' && Lower(path[0]) <= 'z' && path[1] == ':' &&
         (path[2] == '\\' || path[2] == '/');
}

// SECURITY: a "." or ".." component, with "/" or (in a drive path) "\" between components.
bool Climbs(std::string_view path, bool backslashes) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of(backslashes ? "/\\" : "/", start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (part == "." || part == "..") return true;
    start = end + 1;
  }
  return false;
}

// An absolute Linux path ("/..."), or with `drives` a drive path ("D:\..."), that does not
// climb; false with the reason.
bool CheckAbsolutePath(std::string_view path, bool drives, std::string& why) {
  const bool drive = drives && IsDrivePath(path);
  if (path.empty() || (path[0] != '/' && !drive)) {
    why = drives ? "an absolute path (\"/srv/ftp\", or \"D:\\ftp\" on a mapped drive)"
                 : "an absolute path (starting with \"/\")";
    return false;
  }
  if (Climbs(path, drive)) {
    why = "a path without \".\" or \"..\" components";
    return false;
  }
  return true;
}

bool IsUserName(std::string_view name) {
  if (name.empty() || name.size() > 32) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool letter = (c >= 'a' && c <= 'z') || c == '_';
    const bool other = (c >= '0' && c <= '9') || c == '-' || c == '.';
    if (!letter && (i == 0 || !other)) return false;
  }
  return true;
}

bool IsHostAddress(std::string_view text) {
  uint32_t address = 0;
  if (ParseDottedText(text, address)) return true;
  // An IPv6 literal: hexadecimal groups and colons (an IPv4 tail allowed).
  return std::count(text.begin(), text.end(), ':') >= 2 && text.size() <= 45 &&
         text.find_first_not_of("0123456789abcdefABCDEF:.") == std::string_view::npos;
}

bool IsPasswordHash(std::string_view text) {
  return text.starts_with("scrypt$") && std::count(text.begin(), text.end(), '$') == 5;
}

}  // namespace

std::span<const KnownSetting> KnownSettings() { return kKnownSettings; }

const KnownSetting* FindKnownSetting(std::string_view name) {
  if (DriveLetter(name) != 0) name = kDriveFamily;
  for (const KnownSetting& setting : kKnownSettings) {
    if (SameName(setting.name, name)) return &setting;
  }
  return nullptr;
}

std::string CanonicalSettingName(std::string_view name) {
  if (const char letter = DriveLetter(name); letter != 0) return std::string("Drive ") + letter;
  const KnownSetting* setting = FindKnownSetting(name);
  return setting != nullptr ? setting->name : std::string(name);
}

std::string ClosestKnownSetting(std::string_view name) {
  std::string best;
  size_t bestDistance = SIZE_MAX;
  for (const KnownSetting& setting : kKnownSettings) {
    std::string candidate = setting.name;
    // "Driv D" is nearest to "Drive D", not to the family's placeholder.
    if (candidate == kDriveFamily && !name.empty() &&
        DriveLetter(std::string("Drive ") + name.back()) != 0) {
      candidate = CanonicalSettingName(std::string("Drive ") + name.back());
    }
    const size_t distance = EditDistance(name, candidate);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = candidate;
    }
  }
  // A slip of a few letters: at most a third of the name, and never more than four.
  const size_t allowed = std::min<size_t>(4, std::max<size_t>(1, name.size() / 3));
  return bestDistance <= allowed ? best : std::string();
}

bool CheckSettingDword(const KnownSetting& setting, uint32_t value, std::string& why) {
  const std::string quoted = std::string("\"") + setting.name + "\"";
  switch (setting.rule) {
    case SettingRule::kNumber:
      if (value >= setting.least && value <= setting.most) return true;
      why = quoted + " takes a number from " + Number(setting.least) + " to " +
            Number(setting.most) + ", not " + Number(value);
      return false;
    case SettingRule::kPort:
      if (value >= setting.least && value <= setting.most) return true;
      why = quoted + " takes a TCP port from " + Number(setting.least) + " to " +
            Number(setting.most) + ", not " + Number(value);
      return false;
    case SettingRule::kAddress:
      return true;
    case SettingRule::kCodePage:
      if (value == 0 || (value <= setting.most && CCodePage().Set(value))) return true;
      why = quoted + " takes 0 or a Windows code page this machine can convert (1252, 1251, " +
            "936, ...); " + Number(value) + " is none";
      return false;
    default:
      why = quoted + " is a text";
      return false;
  }
}

bool CheckSettingText(const KnownSetting& setting, std::string_view text, std::string& why) {
  const std::string quoted = std::string("\"") + setting.name + "\"";
  if (HasControlBytes(text)) {
    why = quoted + " takes no control characters (line breaks, tabs, zero bytes)";
    return false;
  }
  std::string wanted;
  switch (setting.rule) {
    case SettingRule::kText:
      if (text.size() <= setting.most) return true;
      why = quoted + " takes at most " + Number(setting.most) + " bytes, not " +
            Number(static_cast<uint32_t>(text.size()));
      return false;
    case SettingRule::kMainPath: {
      if (!CheckAbsolutePath(text, true, wanted)) break;
      std::string folder;
      if (!MapManagedPath(text, DriveFolder, "", folder)) {
        why = quoted + " names drive " + std::string(1, text[0]) + ":, which is not mapped (set " +
              "\"Drive " + static_cast<char>(text[0] & ~0x20) + "\" to its Linux folder first)";
        return false;
      }
      if (IsSystemFolder(folder, ProtectedDataFolders())) {
        why = quoted + " may not be " + folder +
              ": a system folder, or one that holds the server's own data";
        return false;
      }
      return true;
    }
    case SettingRule::kFolder:
      if (CheckAbsolutePath(text, false, wanted)) return true;
      break;
    case SettingRule::kFileOrEmpty:
      if (text.empty() || CheckAbsolutePath(text, false, wanted)) return true;
      wanted += ", or empty";
      break;
    case SettingRule::kFolderList: {
      size_t start = 0;
      while (start <= text.size()) {
        const size_t end = std::min(text.find(';', start), text.size());
        const std::string_view entry = text.substr(start, end - start);
        if (!entry.empty() && !CheckAbsolutePath(entry, true, wanted)) {
          why = quoted + " takes \";\"-separated folders, each " + wanted + "; \"" +
                std::string(entry) + "\" is not";
          return false;
        }
        start = end + 1;
      }
      return true;
    }
    case SettingRule::kDottedText: {
      uint32_t address = 0;
      if (text.empty() || ParseDottedText(text, address)) return true;
      wanted = "a dotted IPv4 address (\"192.0.2.7\"), or empty";
      break;
    }
    case SettingRule::kHostAddress:
      if (IsHostAddress(text)) return true;
      wanted = "an IPv4 or IPv6 address (\"127.0.0.1\", \"::1\")";
      break;
    case SettingRule::kPasswordHash:
      if (text.empty() || IsPasswordHash(text)) return true;
      why = quoted + " holds a password's hash only: set the password with `zelmftpctl " +
            "admin-password " + std::string(1, setting.name[std::strlen(setting.name) - 1]) + "`";
      return false;
    case SettingRule::kUserName:
      if (IsUserName(text)) return true;
      wanted = "a user name (lower-case letters, digits, \"_\", \"-\", \".\", at most 32)";
      break;
    default:
      why = quoted + " is a number";
      return false;
  }
  why = quoted + " takes " + wanted + ", not \"" + std::string(text) + "\"";
  return false;
}

std::string ShowSettingDword(const KnownSetting* setting, uint32_t value) {
  return setting != nullptr && setting->rule == SettingRule::kAddress ? Dotted(value)
                                                                      : Number(value);
}

std::string EffectiveSettingText(const KnownSetting& setting, std::string_view name) {
  if (setting.effective != nullptr) return setting.effective();
  if (setting.kind == SETTING_DWORD) {
    return ShowSettingDword(&setting, ReadSettingDword(name, setting.defaultDword));
  }
  return Quoted(ReadSettingString(name, setting.defaultText));
}

}  // namespace zelm
