// Owns the SQLite database file that holds the server's settings.
#include "platform/settings_store.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace zelm {
namespace {

constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS settings ("
    " name TEXT PRIMARY KEY COLLATE NOCASE,"
    " kind INTEGER NOT NULL,"
    " value BLOB NOT NULL)";

// One open database; closed when it goes out of scope.
class Database {
 public:
  Database(const std::string& path, bool write, std::string& error) : error_(error) {
    const int flags = write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
      Fail();
      sqlite3_close(db_);
      db_ = nullptr;
      return;
    }
    sqlite3_busy_timeout(db_, kSettingsBusyTimeoutMs);
  }
  ~Database() { sqlite3_close(db_); }
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  bool ok() const { return db_ != nullptr; }
  sqlite3* get() const { return db_; }

  bool HasTable() {
    Statement s(*this, "SELECT 1 FROM sqlite_master WHERE type='table' AND name='settings'");
    return s.ok() && sqlite3_step(s.get()) == SQLITE_ROW;
  }

  void Fail() { error_ = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory"; }

  class Statement {
   public:
    Statement(Database& db, const char* sql) : db_(db) {
      if (db.ok() && sqlite3_prepare_v2(db.get(), sql, -1, &stmt_, nullptr) != SQLITE_OK) {
        db.Fail();
        stmt_ = nullptr;
      }
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool ok() const { return stmt_ != nullptr; }
    sqlite3_stmt* get() const { return stmt_; }
    void BindText(int index, std::string_view text) {
      sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    bool Run() {
      if (!ok()) return false;
      const int rc = sqlite3_step(stmt_);
      if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
        db_.Fail();
        return false;
      }
      return true;
    }

   private:
    Database& db_;
    sqlite3_stmt* stmt_ = nullptr;
  };

 private:
  sqlite3* db_ = nullptr;
  std::string& error_;
};

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Makes the store's folder (0700, parents as needed) and an empty file (0600).
bool CreateFile(const std::string& path, std::string& error) {
  const std::string::size_type slash = path.find_last_of('/');
  if (slash != std::string::npos && slash != 0) {
    const std::string folder = path.substr(0, slash);
    for (std::string::size_type at = 1; at != std::string::npos;) {
      at = folder.find('/', at + 1);
      const std::string level = folder.substr(0, at);
      if (::mkdir(level.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create " + level + ": " + std::strerror(errno);
        return false;
      }
    }
  }
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(
      path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) error = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
  sqlite3_close(db);
  if (rc != SQLITE_OK) return false;
  ::chmod(path.c_str(), 0600);
  return true;
}

SettingValue FromRow(sqlite3_stmt* stmt, int kindColumn) {
  SettingValue value;
  value.kind = sqlite3_column_int(stmt, kindColumn) == static_cast<int>(SettingKind::kDword)
                   ? SettingKind::kDword
                   : SettingKind::kString;
  const void* blob = sqlite3_column_blob(stmt, kindColumn + 1);
  const int size = sqlite3_column_bytes(stmt, kindColumn + 1);
  if (blob != nullptr && size > 0) value.bytes.assign(static_cast<const char*>(blob), size);
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
  if (!FileExists(path_)) return false;
  Database db(path_, false, lastError_);
  return db.ok() && db.HasTable();
}

std::optional<SettingValue> CSettingsStore::Read(std::string_view name) const {
  if (!FileExists(path_)) return std::nullopt;
  Database db(path_, false, lastError_);
  Database::Statement s(db, "SELECT kind, value FROM settings WHERE name = ?1");
  if (!s.ok()) return std::nullopt;
  s.BindText(1, name);
  if (sqlite3_step(s.get()) != SQLITE_ROW) return std::nullopt;
  return FromRow(s.get(), 0);
}

bool CSettingsStore::Write(std::string_view name, const SettingValue& value, bool create) {
  const bool exists = Exists();
  if (!exists && !create) {
    lastError_ = "the settings store " + path_ + " does not exist";
    return false;
  }
  if (!FileExists(path_) && !CreateFile(path_, lastError_)) return false;
  Database db(path_, true, lastError_);
  if (!db.ok()) return false;
  if (!exists) {
    Database::Statement table(db, kCreateTable);
    if (!table.Run()) return false;
  }
  // Delete first, so that a name written in another letter case takes the new spelling.
  Database::Statement begin(db, "BEGIN IMMEDIATE");
  if (!begin.Run()) return false;
  Database::Statement remove(db, "DELETE FROM settings WHERE name = ?1");
  Database::Statement insert(db, "INSERT INTO settings (name, kind, value) VALUES (?1, ?2, ?3)");
  bool ok = remove.ok() && insert.ok();
  if (ok) {
    remove.BindText(1, name);
    insert.BindText(1, name);
    sqlite3_bind_int(insert.get(), 2, static_cast<int>(value.kind));
    sqlite3_bind_blob(insert.get(), 3, value.bytes.data(), static_cast<int>(value.bytes.size()),
                      SQLITE_TRANSIENT);
    ok = remove.Run() && insert.Run();
  }
  Database::Statement end(db, ok ? "COMMIT" : "ROLLBACK");
  return end.Run() && ok;
}

bool CSettingsStore::Remove(std::string_view name) {
  if (!Exists()) return true;
  Database db(path_, true, lastError_);
  Database::Statement s(db, "DELETE FROM settings WHERE name = ?1");
  if (!s.ok()) return false;
  s.BindText(1, name);
  return s.Run();
}

std::vector<std::pair<std::string, SettingValue>> CSettingsStore::List() const {
  std::vector<std::pair<std::string, SettingValue>> values;
  if (!FileExists(path_)) return values;
  Database db(path_, false, lastError_);
  Database::Statement s(db, "SELECT name, kind, value FROM settings ORDER BY name COLLATE NOCASE");
  if (!s.ok()) return values;
  while (sqlite3_step(s.get()) == SQLITE_ROW) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 0));
    values.emplace_back(text != nullptr ? text : "", FromRow(s.get(), 1));
  }
  return values;
}

std::string DefaultSettingsPath() {
  const char* path = std::getenv("ZELMFTP_SETTINGS");
  if (path != nullptr && *path != '\0') return path;
  return "/var/lib/zelmftp/settings.db";
}

}  // namespace zelm
