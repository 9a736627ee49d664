// CSettingsStore: the persistent store of named settings, an SQLite database file.
//
// The store keeps named values of two kinds, a 32-bit number ("dword") and a text, with names
// compared without regard to letter case. The store "exists" when its file exists and holds
// the settings table; only a write with `create` makes it (folder 0700, file 0600).
// Every operation opens the database, does its work and closes it again, so a value changed
// by another process (the operator's tool) is seen at the next read.
//
// Thread safety: every operation may be called from any thread; SQLite serialises access to
// the file (writers wait up to kSettingsBusyTimeoutMs for each other).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelm {

enum class SettingKind : int { kString = 1, kDword = 4 };

struct SettingValue {
  SettingKind kind = SettingKind::kString;
  std::string bytes;  // a text's bytes (no terminator), or 4 little-endian bytes for a dword

  static SettingValue Dword(uint32_t value);
  static SettingValue Text(std::string_view text);
};

inline constexpr int kSettingsBusyTimeoutMs = 2000;

class CSettingsStore final {
 public:
  explicit CSettingsStore(std::string path) : path_(std::move(path)) {}

  const std::string& Path() const { return path_; }

  // The database file exists and holds the settings table.
  bool Exists() const;
  // Exists, or false with `why` ("does not exist", "cannot be opened: ...", ...), for the
  // journal line of a service that runs on defaults.
  bool CheckReadable(std::string& why) const;
  // The value, or nothing when the store or the value is missing or cannot be read.
  std::optional<SettingValue> Read(std::string_view name) const;
  // Stores the value (replacing any value of that name, whatever its case). Without `create`
  // a missing store is not made and the write fails.
  bool Write(std::string_view name, const SettingValue& value, bool create);
  // Removes the value; true when the store no longer holds it.
  bool Remove(std::string_view name);
  // Every value, ordered by name without regard to case; empty when the store is missing.
  std::vector<std::pair<std::string, SettingValue>> List() const;
  // The last failure's description, for operators' messages.
  const std::string& LastError() const { return lastError_; }

 private:
  std::string path_;
  mutable std::string lastError_;
};

// Where the settings live: $ZELMFTP_SETTINGS when set and not empty, else
// /var/lib/zelmftp/settings.db.
std::string DefaultSettingsPath();

}  // namespace zelm
