// Owns the administrator-password check and the process-wide failure counter.
#include "ui/password_dlg.h"

#include "platform/password_hash.h"
#include "server/settings.h"

namespace zelm {

std::atomic<int>& ProcessPasswordFailures() {
  static std::atomic<int> failures{0};
  return failures;
}

bool CPasswordDlg::Matches(std::string_view entered) {
  if (entered.empty()) return false;  // an empty entry is a wrong entry
  for (const char* name : kAdminPasswordSettings) {
    const std::string stored = ReadSettingString(name);
    if (!stored.empty() && VerifyPassword(entered, stored)) return true;
  }
  return false;
}

bool CPasswordDlg::AnyPasswordSet() {
  for (const char* name : kAdminPasswordSettings) {
    if (!ReadSettingString(name).empty()) return true;
  }
  return false;
}

PasswordResult CPasswordDlg::Check(std::string_view entered) {
  if (Matches(entered)) return PasswordResult::kAccepted;
  const int before = failures_.fetch_add(1);
  return before < kPasswordTries - 1 ? PasswordResult::kRetry : PasswordResult::kCancelled;
}

}  // namespace zelm
