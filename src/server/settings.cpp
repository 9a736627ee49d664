// Owns the named settings accessors and the listener's settings record.
#include "server/settings.h"

#include <cstring>
#include <mutex>

#include "ftp/reply_builder.h"
#include "platform/settings_store.h"

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
  const std::string text = ReadSettingString("Passive Address");
  uint32_t parts[4] = {};
  size_t at = 0;
  for (int i = 0; i < 4; ++i) {
    size_t digits = 0;
    uint32_t value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 3) {
      value = value * 10 + static_cast<uint32_t>(text[at++] - '0');
      ++digits;
    }
    if (digits == 0 || value > 255) return 0;
    parts[i] = value;
    if (i < 3) {
      if (at >= text.size() || text[at] != '.') return 0;
      ++at;
    }
  }
  if (at != text.size()) return 0;
  // Network order: the first part is the lowest byte in memory.
  return parts[0] | parts[1] << 8 | parts[2] << 16 | parts[3] << 24;
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

}  // namespace zelm
