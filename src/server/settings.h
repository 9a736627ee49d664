// The server's settings: named accessors over the settings store, and the record the
// listener fills each time it starts listening.
//
// The accessors cache nothing: each call reads (or writes) the store, so a value changed by
// the management server or by the operator takes effect at the next call. Read failures
// yield the default; only `WriteSetting` reports failure.
// Thread safety: every function may be called from any thread. A `CFtpSettings` record
// belongs to the listener.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zelm {

// Write flags of WriteSetting: one kind, with or without SETTING_CREATE.
inline constexpr uint32_t SETTING_STRING = 2;
inline constexpr uint32_t SETTING_DWORD = 4;
inline constexpr uint32_t SETTING_CREATE = 8;

// Chooses the store file the accessors use (DefaultSettingsPath() until called).
void UseSettingsStore(std::string path);
std::string SettingsStorePath();

// A number: a text shorter than 20 bytes (terminator included) is read as a decimal number
// (its leading digits; 0 when it does not start with one); a dword is read as it is;
// anything else, or a missing value, gives `fallback`.
uint32_t ReadSettingDword(std::string_view name, uint32_t fallback);
// A text up to its first zero byte; a missing or empty value gives `fallback`.
std::string ReadSettingString(std::string_view name, std::string_view fallback = {});
// Stores `size` bytes of `data` as a dword (SETTING_DWORD, 4 bytes) or a text. Without
// SETTING_CREATE a missing store is not created and the write fails.
bool WriteSetting(std::string_view name, const void* data, uint32_t size, uint32_t flags);

// "Max Connection": 50 when absent, a stored 0 reads as 4096.
uint32_t GetMaxConnection();
bool SetMaxConnection(uint32_t count);
uint32_t GetAnonymousAccess();
uint32_t GetAnonymousMax();
uint32_t GetDefaultBandwidth();
// "Discovery": exactly 1 turns the search for the management server over UDP on; absent, 0
// or any other value leaves it off.
bool IsDiscoveryOn();
std::string GetMainPath();

// Safety on a shared LAN. Each is read when it is used (at the next PASV, login or accept).
// "Passive Port Min" / "Passive Port Max": the range passive ports are drawn from at random
// (1500 and 65535 when absent; a minimum of 0 reads as 1500, a maximum above 65535 or
// below the minimum reads as 65535).
uint32_t GetPassivePortMin();
uint32_t GetPassivePortMax();
// "Passive Address": the dotted IPv4 address a 227 reply names (for a server behind NAT);
// empty or unreadable: the control connection's local address. Network-order bytes, 0 = none.
uint32_t GetPassiveAddress();
// "Failed Login Delay" (16 s), "Ban Failures" (10; 0 = no bans), "Ban Window" (600 s),
// "Ban Time" (900 s).
uint32_t GetFailedLoginDelay();
uint32_t GetBanFailures();
uint32_t GetBanWindow();
uint32_t GetBanTime();
// "Max Connection Per IP": 8 when absent; 0 = no per-address limit.
uint32_t GetMaxConnectionPerIp();
// "Login Timeout": seconds a connection may stay without a login, 30 when absent (0 reads as 30).
uint32_t GetLoginTimeout();
// "Same Address Login": 1 (default) lets a logged-in user log in again from the same address
// without a password; 0 turns that off.
bool IsSameAddressLoginOn();
// "Extensions": 1 (default) answers the later RFCs' commands (FEAT before login, EPSV,
// EPRT, MDTM, MFMT) and lists modification times; 0 keeps the original command table.
bool AreExtensionsOn();
// A null path stores an empty value.
bool SetMainPath(const char* path);

// Where the transfer log goes when "Transfer Log" is absent.
inline constexpr const char* kDefaultTransferLog = "/var/log/zelmftp/xferlog";
// "Transfer Log": the file of the transfer log; kDefaultTransferLog when absent (or not a
// text), empty (a stored empty text) when the log is off. Read at every transfer's end.
std::string GetTransferLogPath();

// ---- The known settings ----
//
// Every setting the programs read, as the operator's tool knows them: the kind, the default,
// the values it accepts and a line of meaning. doc/settings.md lists the same names. The
// accessors above and the readers in other folders keep their own defaults; the table
// describes them (a test compares the two where they live here).

// What a setting's value may be, beyond its kind.
enum class SettingRule {
  kNumber,        // a dword from `least` to `most`
  kPort,          // a TCP port from `least` to `most` (65535)
  kAddress,       // a dword holding an IPv4 address's bytes in network order; shown dotted
  kCodePage,      // 0 or a Windows code page this machine can convert
  kText,          // a text without control bytes, at most `most` bytes
  kMainPath,      // an absolute path ("/srv/ftp", or "D:\ftp" on a mapped drive) that does not
                  // climb ("." or ".."), is no system folder and holds none of the server's data
  kFolder,        // an absolute Linux path that does not climb
  kFileOrEmpty,   // an absolute Linux path that does not climb, or empty
  kFolderList,    // ";"-separated absolute paths (Linux or mapped drive) that do not climb
  kDottedText,    // empty, or four dotted numbers up to 255
  kHostAddress,   // an IPv4 or IPv6 literal
  kPasswordHash,  // a hash as `zelmftpctl admin-password` stores it
  kUserName,      // a system user's name
};

struct KnownSetting {
  const char* name;  // "Drive X" stands for each of "Drive A" to "Drive Z"
  uint32_t kind;     // SETTING_DWORD or SETTING_STRING
  SettingRule rule;
  uint32_t least = 0;
  uint32_t most = 0;
  uint32_t defaultDword = 0;     // a dword setting's default
  const char* defaultText = "";  // the default as shown
  const char* meaning = "";      // one line
  // The value the server uses now, as shown; nullptr: the stored value, else the default.
  std::string (*effective)() = nullptr;
};

// Every known setting, in the order doc/settings.md lists them.
std::span<const KnownSetting> KnownSettings();
// The entry of `name` (letter case ignored; "Drive D" finds "Drive X"); nullptr when unknown.
const KnownSetting* FindKnownSetting(std::string_view name);
// The name as the table spells it ("max connection" gives "Max Connection", "drive d"
// "Drive D"); `name` itself when unknown.
std::string CanonicalSettingName(std::string_view name);
// The known name nearest to `name` (edit distance, letter case ignored), or empty when none is
// near enough to be a likely typing slip.
std::string ClosestKnownSetting(std::string_view name);

// Whether `value` may be stored as `setting`; false with a sentence in `why` when not.
bool CheckSettingDword(const KnownSetting& setting, uint32_t value, std::string& why);
bool CheckSettingText(const KnownSetting& setting, std::string_view text, std::string& why);

// A dword as it is shown: dotted for address settings ("127.0.0.1"), decimal otherwise.
std::string ShowSettingDword(const KnownSetting* setting, uint32_t value);
// What the server uses for `name` now (the table's effective reader, or the stored value, or
// the default), as shown; empty texts as "".
std::string EffectiveSettingText(const KnownSetting& setting, std::string_view name);

// The settings the listener takes over each time it starts listening.
class CFtpSettings {
 public:
  CFtpSettings();
  virtual ~CFtpSettings() = default;

  // Reads "ServiceIP", "ServicePort", "Default Path", "FTP Welcome" and "FTP Quit"; empty
  // welcome and quit texts fall back to the built-in ones.
  void Load();

  uint32_t port = 21;    // "ServicePort" after Load; 0 there means the standard port 21
  uint32_t address = 0;  // "ServiceIP" after Load, network-order bytes; 0 = all addresses
  std::string welcomeText;
  std::string quitText;
  std::string defaultPath;
};

}  // namespace zelm
