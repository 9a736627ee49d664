// Owns the reference management server's database: accounts, rules and configuration.
#include "mserverd/account_store.h"

#include <charconv>

#include "platform/files.h"
#include "platform/sqlite_database.h"

namespace zelm {
namespace {

using Step = CSqliteDatabase::Statement::Step;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS accounts ("
    " name TEXT PRIMARY KEY COLLATE NOCASE, password TEXT NOT NULL, home TEXT NOT NULL,"
    " quota INTEGER NOT NULL, bandwidth INTEGER NOT NULL, sessions INTEGER NOT NULL,"
    " rights INTEGER NOT NULL, enabled INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS rules ("
    " id INTEGER PRIMARY KEY, user TEXT NOT NULL COLLATE NOCASE, prefix TEXT NOT NULL,"
    " rights INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS config (key TEXT PRIMARY KEY, value TEXT NOT NULL);";

constexpr const char* kAccountColumns =
    "SELECT name, home, quota, bandwidth, sessions, rights, enabled, password FROM accounts";

Account AccountOf(const CSqliteDatabase::Statement& row) {
  Account a;
  a.name = row.Text(0);
  a.home = row.Text(1);
  a.quota = static_cast<uint64_t>(row.Int(2));
  a.bandwidth = static_cast<uint32_t>(row.Int(3));
  a.sessions = static_cast<uint32_t>(row.Int(4));
  a.rights = static_cast<uint32_t>(row.Int(5));
  a.enabled = row.Int(6) != 0;
  return a;
}

void BindAccount(CSqliteDatabase::Statement& s, const Account& a) {
  s.Bind(1, a.name);
  s.Bind(2, a.home);
  s.Bind(3, static_cast<int64_t>(a.quota));
  s.Bind(4, int64_t{a.bandwidth});
  s.Bind(5, int64_t{a.sessions});
  s.Bind(6, int64_t{a.rights});
  s.Bind(7, int64_t{a.enabled ? 1 : 0});
}

bool ParseU32(std::string_view text, uint32_t& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::string_view TrimSlashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

bool Mentions(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

bool PathHasPrefix(std::string_view path, std::string_view prefix) {
  path = TrimSlashes(path);
  prefix = TrimSlashes(prefix);
  if (prefix.empty() || path.substr(0, prefix.size()) != prefix) return false;
  return path.size() == prefix.size() || prefix == "/" || path[prefix.size()] == '/';
}

void CAccountStore::Fail(const CSqliteDatabase& db, bool creating) {
  const std::string& text = db.LastError();
  FileStatus status;
  if (!GetFileStatus(path_, status)) {
    lastError_ = creating ? "cannot create the database " + path_ +
                                ": its folder is missing or this user may not write it"
                          : "no database at " + path_;
  } else if (Mentions(text, "readonly") || Mentions(text, "read-only")) {
    lastError_ = "cannot change the database " + path_ + ": this user may only read it";
  } else if (Mentions(text, "locked") || Mentions(text, "busy")) {
    lastError_ = "the database " + path_ + " is busy (another program is writing it); try again";
  } else if (Mentions(text, "not a database") || Mentions(text, "malformed") ||
             Mentions(text, "no such table") || Mentions(text, "no such column")) {
    lastError_ = path_ + " is not a zelm-mserver database, or it is damaged";
  } else if (Mentions(text, "disk") || Mentions(text, "full")) {
    lastError_ = "cannot write the database " + path_ + ": the disk is full or failing";
  } else if (Mentions(text, "unable to open") || Mentions(text, "cannot open")) {
    lastError_ = "cannot open the database " + path_ + " (no right to read it, or its folder)";
  } else {
    lastError_ = "the database " + path_ + " could not be read or written";
  }
}

bool CAccountStore::Initialise() {
  CSqliteDatabase db;
  if (!db.Open(path_, CSqliteDatabase::Mode::kCreate) || !db.Exec(kSchema)) {
    Fail(db, true);
    return false;
  }
  return true;
}

bool CAccountStore::Exists() {
  FileStatus status;
  if (!GetFileStatus(path_, status)) {
    lastError_ = "no database at " + path_;
    return false;
  }
  CSqliteDatabase db;
  if (!db.Open(path_, CSqliteDatabase::Mode::kReadOnly)) {
    Fail(db);
    return false;
  }
  if (!db.HasTable("accounts")) {
    if (db.LastError().empty()) {
      lastError_ = path_ + " is not a zelm-mserver database, or it is damaged";
    } else {
      Fail(db);
    }
    return false;
  }
  return true;
}

bool CAccountStore::AddAccount(const Account& account, std::string_view password) {
  const std::string exists = "user " + account.name + " exists already";
  if (FindAccount(account.name)) {
    lastError_ = exists;
    return false;
  }
  const std::string hash = HashPassword(password, hashing_);
  CSqliteDatabase db;
  if (hash.empty()) {
    lastError_ = "cannot hash the password";
    return false;
  }
  if (!db.Open(path_, CSqliteDatabase::Mode::kReadWrite)) {
    Fail(db);
    return false;
  }
  CSqliteDatabase::Statement s(
      db,
      "INSERT INTO accounts (name, home, quota, bandwidth, sessions,"
      " rights, enabled, password) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
  BindAccount(s, account);
  s.Bind(8, hash);
  if (!s.Run()) {
    // Another writer may have taken the name since the look above.
    if (Mentions(db.LastError(), "UNIQUE")) {
      lastError_ = exists;
    } else {
      Fail(db);
    }
    return false;
  }
  return true;
}

bool CAccountStore::UpdateAccount(const Account& account,
                                  const std::optional<std::string>& password) {
  CSqliteDatabase db;
  if (!db.Open(path_, CSqliteDatabase::Mode::kReadWrite)) {
    Fail(db);
    return false;
  }
  CSqliteDatabase::Statement s(db,
                               "UPDATE accounts SET home = ?2, quota = ?3, bandwidth = ?4,"
                               " sessions = ?5, rights = ?6, enabled = ?7,"
                               " password = COALESCE(?8, password) WHERE name = ?1");
  BindAccount(s, account);
  if (password) {
    const std::string hash = HashPassword(*password, hashing_);
    if (hash.empty()) {
      lastError_ = "cannot hash the password";
      return false;
    }
    s.Bind(8, hash);
  }
  if (!s.Run()) {
    Fail(db);
    return false;
  }
  if (db.Changes() == 0) {
    lastError_ = "no user named " + account.name;
    return false;
  }
  return true;
}

bool CAccountStore::DeleteAccount(std::string_view name) {
  return DeleteOne("DELETE FROM accounts WHERE name = ?1", name,
                   "no user named " + std::string(name));
}

bool CAccountStore::DeleteOne(const char* sql, std::string_view key, const std::string& missing) {
  CSqliteDatabase db;
  if (!db.Open(path_, CSqliteDatabase::Mode::kReadWrite)) {
    Fail(db);
    return false;
  }
  CSqliteDatabase::Statement s(db, sql);
  s.Bind(1, key);
  if (!s.Run()) {
    Fail(db);
    return false;
  }
  if (db.Changes() == 0) {
    lastError_ = missing;
    return false;
  }
  return true;
}

std::optional<Account> CAccountStore::FindAccount(std::string_view name) {
  CSqliteDatabase db;
  if (!db.Open(path_, CSqliteDatabase::Mode::kReadOnly)) return std::nullopt;
  CSqliteDatabase::Statement s(db, (std::string(kAccountColumns) + " WHERE name = ?1").c_str());
  s.Bind(1, name);
  if (s.Next() != Step::kRow) return std::nullopt;
  return AccountOf(s);
}

std::vector<Account> CAccountStore::ListAccounts() {
  std::vector<Account> accounts;
  CSqliteDatabase db;
  if (!db.Open(path_, CSqliteDatabase::Mode::kReadOnly)) return accounts;
  CSqliteDatabase::Statement s(
      db, (std::string(kAccountColumns) + " ORDER BY name COLLATE NOCASE").c_str());
  while (s.Next() == Step::kRow) accounts.push_back(AccountOf(s));
  return accounts;
}

std::optional<Account> CAccountStore::CheckLogin(std::string_view name, std::string_view password) {
  CSqliteDatabase db;
  if (!db.Open(path_, CSqliteDatabase::Mode::kReadOnly)) return std::nullopt;
  CSqliteDatabase::Statement s(db, (std::string(kAccountColumns) + " WHERE name = ?1").c_str());
  s.Bind(1, name);
  if (s.Next() != Step::kRow) {
    // Spend the same work as for a real account, so that timing does not tell which names
    // exist.
    static const std::string kDummy = HashPassword("", hashing_);
    VerifyPassword(password, kDummy);
    return std::nullopt;
  }
  Account account = AccountOf(s);
  const bool matches = verified_.Verify(password, s.Text(7));
  if (!matches || !account.enabled) return std::nullopt;
  return account;
}

bool CAccountStore::AddRule(Rule& rule) {
  CSqliteDatabase db;
  if (!db.Open(path_, CSqliteDatabase::Mode::kReadWrite)) {
    Fail(db);
    return false;
  }
  CSqliteDatabase::Statement s(db, "INSERT INTO rules (user, prefix, rights) VALUES (?1, ?2, ?3)");
  s.Bind(1, rule.user);
  s.Bind(2, rule.prefix);
  s.Bind(3, int64_t{rule.rights});
  if (!s.Run()) {
    Fail(db);
    return false;
  }
  rule.id = db.LastInsertId();
  return true;
}

bool CAccountStore::DeleteRule(int64_t id) {
  return DeleteOne("DELETE FROM rules WHERE id = CAST(?1 AS INTEGER)", std::to_string(id),
                   "no rule " + std::to_string(id));
}

std::vector<Rule> CAccountStore::ListRules() {
  std::vector<Rule> rules;
  CSqliteDatabase db;
  if (!db.Open(path_, CSqliteDatabase::Mode::kReadOnly)) return rules;
  CSqliteDatabase::Statement s(db, "SELECT id, user, prefix, rights FROM rules ORDER BY id");
  while (s.Next() == Step::kRow) {
    rules.push_back({s.Int(0), s.Text(1), s.Text(2), static_cast<uint32_t>(s.Int(3))});
  }
  return rules;
}

uint32_t CAccountStore::RightsFor(std::string_view user, std::string_view path) {
  CSqliteDatabase db;
  if (!db.Open(path_, CSqliteDatabase::Mode::kReadOnly)) return 0;
  CSqliteDatabase::Statement s(db, "SELECT prefix, rights FROM rules WHERE user = ?1");
  s.Bind(1, user);
  size_t best = 0;
  uint32_t rights = 0;
  while (s.Next() == Step::kRow) {
    const std::string prefix = s.Text(0);
    const size_t length = TrimSlashes(prefix).size();
    if (PathHasPrefix(path, prefix) && (best == 0 || length > best)) {
      best = length;
      rights = static_cast<uint32_t>(s.Int(1));
    }
  }
  return rights;
}

ServerConfig CAccountStore::GetConfig() {
  ServerConfig config;
  CSqliteDatabase db;
  if (!db.Open(path_, CSqliteDatabase::Mode::kReadOnly)) return config;
  CSqliteDatabase::Statement s(db, "SELECT key, value FROM config");
  while (s.Next() == Step::kRow) {
    const std::string key = s.Text(0);
    const std::string value = s.Text(1);
    uint32_t number = 0;
    const bool isNumber = ParseU32(value, number);
    if (key == "active" && isNumber) config.active = number;
    if (key == "max-connection" && isNumber) config.maxConnection = number;
    if (key == "main-path") config.mainPath = value;
  }
  return config;
}

bool CAccountStore::SetConfig(const ServerConfig& config) {
  CSqliteDatabase db;
  if (!db.Open(path_, CSqliteDatabase::Mode::kReadWrite)) {
    Fail(db);
    return false;
  }
  const auto put = [&db](const char* key, const std::string& value) {
    CSqliteDatabase::Statement s(db, "INSERT OR REPLACE INTO config (key, value) VALUES (?1, ?2)");
    s.Bind(1, key);
    s.Bind(2, value);
    return s.Run();
  };
  bool ok = true;
  if (config.active) ok = ok && put("active", std::to_string(*config.active));
  if (config.maxConnection) ok = ok && put("max-connection", std::to_string(*config.maxConnection));
  if (config.mainPath) ok = ok && put("main-path", *config.mainPath);
  if (!ok) Fail(db);
  return ok;
}

}  // namespace zelm
