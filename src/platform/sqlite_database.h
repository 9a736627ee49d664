// CSqliteDatabase: a small wrapper over one SQLite connection, for the stores of the system
// (the server's settings, the reference management server's accounts).
//
// Thread safety: one object, and the statements prepared from it, belong to one thread at a
// time. Several objects may open the same file; writers wait up to the busy timeout.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace zelm {

class CSqliteDatabase final {
 public:
  enum class Mode { kReadOnly, kReadWrite, kCreate };

  CSqliteDatabase() = default;
  ~CSqliteDatabase();
  CSqliteDatabase(const CSqliteDatabase&) = delete;
  CSqliteDatabase& operator=(const CSqliteDatabase&) = delete;

  // Opens `path`; kCreate makes the file (mode 0600) when it is missing. False on failure,
  // with the reason in LastError().
  bool Open(const std::string& path, Mode mode, int busyTimeoutMs = 2000);
  bool IsOpen() const { return db_ != nullptr; }
  void Close();
  // Runs statements that return no rows.
  bool Exec(const char* sql);
  bool HasTable(const char* name);
  int64_t LastInsertId() const;
  int Changes() const;
  const std::string& LastError() const { return lastError_; }

  class Statement final {
   public:
    enum class Step { kRow, kDone, kError };
    Statement(CSqliteDatabase& db, const char* sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    // Parameters are numbered from 1.
    void Bind(int index, int64_t value);
    void Bind(int index, std::string_view text);
    void BindBlob(int index, std::span<const uint8_t> bytes);
    Step Next();
    // Runs a statement that returns no rows; true when it completed.
    bool Run() { return Next() == Step::kDone; }
    // Columns are numbered from 0.
    int64_t Int(int column) const;
    std::string Text(int column) const;
    std::string Blob(int column) const;

   private:
    CSqliteDatabase& db_;
    sqlite3_stmt* stmt_ = nullptr;
  };

 private:
  void Fail();

  sqlite3* db_ = nullptr;
  std::string lastError_;
};

}  // namespace zelm
