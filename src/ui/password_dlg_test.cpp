#include "ui/password_dlg.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

#include "platform/password_hash.h"
#include "platform/temp_folder.h"
#include "server/settings.h"
#include "ui/console_command.h"

namespace zelm {
namespace {

class PasswordDlgTest : public ::testing::Test {
 protected:
  void SetUp() override { UseSettingsStore(folder_ / "settings.db"); }
  void TearDown() override { UseSettingsStore(""); }

  static void Store(const char* name, std::string_view password) {
    const std::string hash = HashPassword(password, {1024, 8, 1});
    ASSERT_TRUE(WriteSetting(name, hash.data(), static_cast<uint32_t>(hash.size()),
                             SETTING_STRING | SETTING_CREATE));
  }

  CTempFolder folder_{"password-dlg"};
  std::atomic<int> failures_{0};
};

TEST_F(PasswordDlgTest, WithoutStoredPasswordsEveryEntryFails) {
  CPasswordDlg dialog(failures_);
  EXPECT_FALSE(CPasswordDlg::AnyPasswordSet());
  for (const char* entry : {"", "admin", "scrypt$1$1$1$00$00"}) {
    EXPECT_NE(dialog.Check(entry), PasswordResult::kAccepted) << entry;
  }
}

TEST_F(PasswordDlgTest, FifthWrongEntryOfTheProcessClosesAndRightOnesAlwaysPass) {
  Store(kAdminPasswordSettings[0], "first-admin");
  Store(kAdminPasswordSettings[1], "second");
  CPasswordDlg dialog(failures_);
  EXPECT_EQ(dialog.Check("second"), PasswordResult::kAccepted);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(dialog.Check("wrong"), PasswordResult::kRetry) << i;
  EXPECT_EQ(dialog.Check(""), PasswordResult::kCancelled);  // empty counts as wrong
  // A new dialog in the same process closes on the first wrong entry...
  CPasswordDlg again(failures_);
  EXPECT_EQ(again.Check("First-admin"), PasswordResult::kCancelled);  // case matters
  // ...but a right entry is still accepted.
  EXPECT_EQ(again.Check("first-admin"), PasswordResult::kAccepted);
  EXPECT_EQ(failures_.load(), 6);
}

TEST_F(PasswordDlgTest, AdminPasswordCommandStoresAHashReadFromStandardInput) {
  std::istringstream input("s3cret pass\n");
  std::streambuf* saved = std::cin.rdbuf(input.rdbuf());
  std::ostringstream out;
  std::ostringstream err;
  const int status = RunConsoleCommand(folder_ / "settings.db", {"admin-password", "2"}, out, err);
  std::cin.rdbuf(saved);
  ASSERT_EQ(status, 0) << err.str();

  const std::string stored = ReadSettingString(kAdminPasswordSettings[1]);
  EXPECT_EQ(stored.rfind("scrypt$", 0), 0u);
  EXPECT_EQ(stored.find("s3cret"), std::string::npos);
  EXPECT_TRUE(VerifyPassword("s3cret pass", stored));
  EXPECT_TRUE(ReadSettingString(kAdminPasswordSettings[0]).empty());
  CPasswordDlg dialog(failures_);
  EXPECT_EQ(dialog.Check("s3cret pass"), PasswordResult::kAccepted);

  struct Bad {
    std::vector<std::string> args;
    const char* input;
  };
  for (const Bad& bad : {Bad{{"admin-password", "3"}, "x\n"}, Bad{{"admin-password"}, ""},
                         Bad{{"admin-password", "1"}, "\n"}}) {
    std::istringstream in(bad.input);
    saved = std::cin.rdbuf(in.rdbuf());
    EXPECT_EQ(RunConsoleCommand(folder_ / "settings.db", bad.args, out, err), 2);
    std::cin.rdbuf(saved);
  }
  EXPECT_TRUE(ReadSettingString(kAdminPasswordSettings[0]).empty());
}

}  // namespace
}  // namespace zelm
