// Owns the use of SQLite: connections, statements and their errors.
#include "platform/sqlite_database.h"

#include <sqlite3.h>
#include <sys/stat.h>

namespace zelm {

CSqliteDatabase::~CSqliteDatabase() { Close(); }

bool CSqliteDatabase::Open(const std::string& path, Mode mode, int busyTimeoutMs) {
  Close();
  int flags = SQLITE_OPEN_NOMUTEX;
  if (mode == Mode::kReadOnly) {
    flags |= SQLITE_OPEN_READONLY;
  } else {
    flags |= SQLITE_OPEN_READWRITE;
    if (mode == Mode::kCreate) flags |= SQLITE_OPEN_CREATE;
  }
  struct stat st {};
  const bool existed = ::stat(path.c_str(), &st) == 0;
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    Fail();
    Close();
    return false;
  }
  if (!existed && mode == Mode::kCreate) ::chmod(path.c_str(), 0600);
  sqlite3_busy_timeout(db_, busyTimeoutMs);
  return true;
}

void CSqliteDatabase::Close() {
  sqlite3_close(db_);
  db_ = nullptr;
}

bool CSqliteDatabase::Exec(const char* sql) {
  if (db_ == nullptr) return false;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
    Fail();
    return false;
  }
  return true;
}

bool CSqliteDatabase::HasTable(const char* name) {
  Statement s(*this, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1");
  if (!s.ok()) return false;
  s.Bind(1, name);
  return s.Next() == Statement::Step::kRow;
}

int64_t CSqliteDatabase::LastInsertId() const {
  return db_ != nullptr ? sqlite3_last_insert_rowid(db_) : 0;
}

int CSqliteDatabase::Changes() const { return db_ != nullptr ? sqlite3_changes(db_) : 0; }

void CSqliteDatabase::Fail() {
  lastError_ = db_ != nullptr ? sqlite3_errmsg(db_) : "cannot open the database";
}

CSqliteDatabase::Statement::Statement(CSqliteDatabase& db, const char* sql) : db_(db) {
  if (db.db_ == nullptr) return;
  if (sqlite3_prepare_v2(db.db_, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
    db.Fail();
    stmt_ = nullptr;
  }
}

CSqliteDatabase::Statement::~Statement() { sqlite3_finalize(stmt_); }

void CSqliteDatabase::Statement::Bind(int index, int64_t value) {
  sqlite3_bind_int64(stmt_, index, value);
}

void CSqliteDatabase::Statement::Bind(int index, std::string_view text) {
  sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void CSqliteDatabase::Statement::BindBlob(int index, std::span<const uint8_t> bytes) {
  sqlite3_bind_blob(stmt_, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
}

CSqliteDatabase::Statement::Step CSqliteDatabase::Statement::Next() {
  if (stmt_ == nullptr) return Step::kError;
  switch (sqlite3_step(stmt_)) {
    case SQLITE_ROW:
      return Step::kRow;
    case SQLITE_DONE:
      return Step::kDone;
    default:
      db_.Fail();
      return Step::kError;
  }
}

int64_t CSqliteDatabase::Statement::Int(int column) const {
  return sqlite3_column_int64(stmt_, column);
}

std::string CSqliteDatabase::Statement::Text(int column) const {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
  return text != nullptr ? std::string(text, sqlite3_column_bytes(stmt_, column)) : std::string();
}

std::string CSqliteDatabase::Statement::Blob(int column) const {
  const void* blob = sqlite3_column_blob(stmt_, column);
  const int size = sqlite3_column_bytes(stmt_, column);
  return blob != nullptr && size > 0 ? std::string(static_cast<const char*>(blob), size)
                                     : std::string();
}

}  // namespace zelm
