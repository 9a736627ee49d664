// Owns the SQLite database file that holds the server's settings.
#include "platform/settings_store.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/sqlite_database.h"

namespace zelm {
namespace {

using Step = CSqliteDatabase::Statement::Step;

constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS settings ("
    " name TEXT PRIMARY KEY COLLATE NOCASE,"
    " kind INTEGER NOT NULL,"
    " value BLOB NOT NULL)";

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Makes the folders above `path` that are missing, mode 0700.
bool MakeFolders(const std::string& path, std::string& error) {
  const std::string::size_type slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return true;
  const std::string folder = path.substr(0, slash);
  for (std::string::size_type at = 0; at != std::string::npos;) {
    at = folder.find('/', at + 1);
    const std::string level = folder.substr(0, at);
    if (::mkdir(level.c_str(), 0700) != 0 && errno != EEXIST) {
      error = "cannot create " + level + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

// Opens the store for reading; false when it is missing or not a settings database.
bool OpenForReading(const std::string& path, CSqliteDatabase& db) {
  return FileExists(path) && db.Open(path, CSqliteDatabase::Mode::kReadOnly) &&
         db.HasTable("settings");
}

SettingValue ValueOf(const CSqliteDatabase::Statement& row, int kindColumn) {
  SettingValue value;
  value.kind = row.Int(kindColumn) == static_cast<int>(SettingKind::kDword) ? SettingKind::kDword
                                                                            : SettingKind::kString;
  value.bytes = row.Blob(kindColumn + 1);
  return value;
}

}  // namespace

SettingValue SettingValue::Dword(uint32_t number) {
  SettingValue value;
  value.kind = SettingKind::kDword;
  for (int i = 0; i < 4; ++i) value.bytes.push_back(static_cast<char>(number >> (8 * i)));
  return value;
}

SettingValue SettingValue::Text(std::string_view text) {
  SettingValue value;
  value.kind = SettingKind::kString;
  value.bytes.assign(text);
  return value;
}

bool CSettingsStore::Exists() const {
  CSqliteDatabase db;
  return OpenForReading(path_, db);
}

bool CSettingsStore::CheckReadable(std::string& why) const {
  struct stat st {};
  if (::stat(path_.c_str(), &st) != 0) {
    why =
        errno == ENOENT ? "does not exist" : std::string("cannot be read: ") + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    why = "is not a file";
    return false;
  }
  CSqliteDatabase db;
  if (!db.Open(path_, CSqliteDatabase::Mode::kReadOnly)) {
    why = "cannot be opened: " + db.LastError();
    return false;
  }
  if (!db.HasTable("settings")) {
    why = "is not a settings database";
    if (!db.LastError().empty()) why += " (" + db.LastError() + ")";
    return false;
  }
  return true;
}

std::optional<SettingValue> CSettingsStore::Read(std::string_view name) const {
  CSqliteDatabase db;
  if (!OpenForReading(path_, db)) return std::nullopt;
  CSqliteDatabase::Statement s(db, "SELECT kind, value FROM settings WHERE name = ?1");
  s.Bind(1, name);
  if (s.Next() != Step::kRow) return std::nullopt;
  return ValueOf(s, 0);
}

bool CSettingsStore::Write(std::string_view name, const SettingValue& value, bool create) {
  const bool exists = Exists();
  if (!exists && !create) {
    lastError_ = "the settings store " + path_ + " does not exist";
    return false;
  }
  if (!exists && FileExists(path_)) {
    // Never overwrite a file that is not a settings database.
    CSqliteDatabase probe;
    if (probe.Open(path_, CSqliteDatabase::Mode::kReadOnly) &&
        !probe.Exec("PRAGMA schema_version")) {
      lastError_ = path_ + " is not a settings database: " + probe.LastError();
      return false;
    }
  }
  CSqliteDatabase db;
  if (!MakeFolders(path_, lastError_)) return false;
  if (!db.Open(path_, CSqliteDatabase::Mode::kCreate) || !db.Exec(kCreateTable) ||
      !db.Exec("BEGIN IMMEDIATE")) {
    lastError_ = db.LastError();
    return false;
  }
  // Delete first, so that a name written in another letter case takes the new spelling.
  CSqliteDatabase::Statement remove(db, "DELETE FROM settings WHERE name = ?1");
  CSqliteDatabase::Statement insert(db,
                                    "INSERT INTO settings (name, kind, value) VALUES (?1, ?2, ?3)");
  remove.Bind(1, name);
  insert.Bind(1, name);
  insert.Bind(2, static_cast<int64_t>(value.kind));
  insert.BindBlob(3, {reinterpret_cast<const uint8_t*>(value.bytes.data()), value.bytes.size()});
  const bool ok = remove.Run() && insert.Run();
  if (!ok) lastError_ = db.LastError();
  return db.Exec(ok ? "COMMIT" : "ROLLBACK") && ok;
}

bool CSettingsStore::Remove(std::string_view name) {
  if (!Exists()) return true;
  CSqliteDatabase db;
  if (!db.Open(path_, CSqliteDatabase::Mode::kReadWrite)) {
    lastError_ = db.LastError();
    return false;
  }
  CSqliteDatabase::Statement s(db, "DELETE FROM settings WHERE name = ?1");
  s.Bind(1, name);
  if (!s.Run()) {
    lastError_ = db.LastError();
    return false;
  }
  return true;
}

std::vector<std::pair<std::string, SettingValue>> CSettingsStore::List() const {
  std::vector<std::pair<std::string, SettingValue>> values;
  CSqliteDatabase db;
  if (!OpenForReading(path_, db)) return values;
  CSqliteDatabase::Statement s(
      db, "SELECT name, kind, value FROM settings ORDER BY name COLLATE NOCASE");
  while (s.Next() == Step::kRow) values.emplace_back(s.Text(0), ValueOf(s, 1));
  return values;
}

std::string DefaultSettingsPath() {
  const char* path = std::getenv("ZELMFTP_SETTINGS");
  if (path != nullptr && *path != '\0') return path;
  return "/var/lib/zelmftp/settings.db";
}

}  // namespace zelm
