// CAccountStore: the reference management server's accounts, per-path rules and the
// configuration it pushes to FTP servers, in one SQLite database.
//
// Passwords are kept only as salted scrypt hashes. Every operation opens the database anew,
// so changes made by the administration commands take effect at the next login without a
// restart of the daemon.
// Thread safety: every operation may be called from any thread (SQLite serialises writers).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/password_hash.h"

namespace zelm {

class CSqliteDatabase;

// Rights flags of an account or a rule, as the FTP server reads them.
inline constexpr uint32_t kRightRead = 0x1;      // list, enter, download
inline constexpr uint32_t kRightWrite = 0x2;     // store (with kRightModify)
inline constexpr uint32_t kRightModify = 0x4;    // create, delete, remove, store
inline constexpr uint32_t kRightPerPath = 0x8;   // ask for each path
inline constexpr uint32_t kRightAll = 0x100000;  // everything

struct Account {
  std::string name;
  std::string home;        // folder name below the FTP server's main path
  uint64_t quota = 0;      // bytes, 0 = none
  uint32_t bandwidth = 0;  // KiB/s, 0 = unlimited
  uint32_t sessions = 0;   // per-user session limit, 0 = none
  uint32_t rights = 0;
  bool enabled = true;
};

struct Rule {
  int64_t id = 0;
  std::string user;
  std::string prefix;  // a path prefix, matched component by component
  uint32_t rights = 0;
};

// What the daemon pushes to an FTP server after its hello; unset fields are not sent.
struct ServerConfig {
  std::optional<uint32_t> active;
  std::optional<uint32_t> maxConnection;
  std::optional<std::string> mainPath;
};

// Password checks the store remembers (see CVerifiedPasswords): enough for every customer of
// a large café to log in again without another key derivation.
inline constexpr size_t kVerifiedLoginEntries = 4096;

class CAccountStore final {
 public:
  explicit CAccountStore(std::string path, ScryptParameters hashing = {})
      : path_(std::move(path)), hashing_(hashing) {}

  // Creates the database and its tables when missing.
  bool Initialise();
  // Whether the database exists and holds the accounts, without creating anything; false with
  // LastError() saying why ("no database at PATH", ...).
  bool Exists();

  // Refused with "user NAME exists already" when the name (letter case ignored) is taken.
  bool AddAccount(const Account& account, std::string_view password);
  // Replaces the account's fields (the name selects it); a password, when given, too.
  bool UpdateAccount(const Account& account, const std::optional<std::string>& password);
  bool DeleteAccount(std::string_view name);
  std::optional<Account> FindAccount(std::string_view name);
  std::vector<Account> ListAccounts();

  // The account when the name exists, is enabled and the password matches; nothing
  // otherwise (which of these failed is not told). A password that matched the account's
  // stored hash before is recognised without deriving the key again.
  std::optional<Account> CheckLogin(std::string_view name, std::string_view password);

  bool AddRule(Rule& rule);
  bool DeleteRule(int64_t id);
  std::vector<Rule> ListRules();
  // The rights of the most specific rule of `user` whose prefix contains `path`; 0 when no
  // rule matches.
  uint32_t RightsFor(std::string_view user, std::string_view path);

  ServerConfig GetConfig();
  bool SetConfig(const ServerConfig& config);

  // The last failure, as a sentence for the operator ("user bob exists already", "no
  // database at PATH"); the database library's own texts are never passed on.
  const std::string& LastError() const { return lastError_; }

 private:
  // Records the failure of `db` (opening, or a statement) as a sentence; `creating`: the
  // database was to be made.
  void Fail(const CSqliteDatabase& db, bool creating = false);

  // Runs a DELETE of one row selected by `key`; false (with `missing` as the error) when no
  // row was there.
  bool DeleteOne(const char* sql, std::string_view key, const std::string& missing);

  std::string path_;
  ScryptParameters hashing_;
  std::string lastError_;
  CVerifiedPasswords verified_{kVerifiedLoginEntries};
};

// True when `prefix` is `path` or one of its parent folders ("/a/b" contains "/a/b/c" but
// not "/a/bc"); a trailing "/" on either side does not matter.
bool PathHasPrefix(std::string_view path, std::string_view prefix);

}  // namespace zelm
