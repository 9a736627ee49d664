// CPasswordDlg: the check behind the console's "Enter Administrator Password" dialog.
//
// Up to two administrator passwords are stored as salted scrypt hashes in the settings
// "Admin Password 1" and "Admin Password 2" (`zelmftpctl admin-password [1|2]`); they are read
// at every check, so a new password takes effect at once. With none stored every entry fails.
//
// Failures are counted process-wide and the count never goes back: the first four wrong
// entries of the process keep the dialog open (with an empty field), the fifth and every later
// one closes it. A right entry is always accepted.
//
// Thread safety: `Check` may be called from any thread (the counter is atomic).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace zelm {

inline constexpr const char* kAdminPasswordSettings[] = {"Admin Password 1", "Admin Password 2"};
// Wrong entries of a process after which every wrong entry closes the dialog.
inline constexpr int kPasswordTries = 5;
// How long an authentication lets the log show passwords.
inline constexpr int64_t kAuthenticationMs = 300000;

// Results as the dialog ends (or stays open).
enum class PasswordResult : int {
  kRetry = 0,       // "Invalid password!", the dialog stays open with an empty field
  kCancelled = 2,   // "Invalid password!" once too often, or Cancel
  kAccepted = 512,  // a stored administrator password
};

// The failure counter of this process.
std::atomic<int>& ProcessPasswordFailures();

class CPasswordDlg final {
 public:
  explicit CPasswordDlg(std::atomic<int>& failures = ProcessPasswordFailures())
      : failures_(failures) {}

  // One press of OK with `entered` in the field.
  PasswordResult Check(std::string_view entered);
  // Whether `entered` is one of the stored passwords (counts nothing).
  static bool Matches(std::string_view entered);
  // Whether any administrator password is stored.
  static bool AnyPasswordSet();

 private:
  std::atomic<int>& failures_;
};

}  // namespace zelm
