#include "server/settings_command.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "platform/temp_folder.h"

namespace zelm {
namespace {

namespace fs = std::filesystem;

class SettingsCommandTest : public ::testing::Test {
 protected:
  int Run(std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    return RunSettingsCommand(path_, args, out_, err_);
  }

  CTempFolder folder_{"ctl"};
  std::string path_ = folder_ / "settings.db";
  std::ostringstream out_;
  std::ostringstream err_;
};

TEST_F(SettingsCommandTest, SetGetListUnset) {
  EXPECT_EQ(Run({"list"}), 0);
  EXPECT_EQ(out_.str(), "");
  EXPECT_EQ(Run({"set-dword", "Max Connection", "2"}), 0);
  EXPECT_EQ(Run({"set-dword", "MServer IP", "127.0.0.1"}), 0);
  EXPECT_EQ(Run({"set-dword", "MServer Port", "0x1F90"}), 0);
  EXPECT_EQ(Run({"set-string", "Main Path", "/srv/ftp"}), 0);
  EXPECT_EQ(Run({"get", "max connection"}), 0);
  EXPECT_EQ(out_.str(), "2\n");
  EXPECT_EQ(Run({"get", "MServer IP"}), 0);
  EXPECT_EQ(out_.str(), "16777343\n");  // 0x0100007F: the bytes 127, 0, 0, 1 in memory order
  EXPECT_EQ(Run({"list"}), 0);
  EXPECT_EQ(out_.str(),
            "Main Path\tstring\t/srv/ftp\nMax Connection\tdword\t2\nMServer IP\tdword\t16777343\n"
            "MServer Port\tdword\t8080\n");
  EXPECT_EQ(Run({"unset", "MAIN PATH"}), 0);
  EXPECT_EQ(Run({"get", "Main Path"}), 1);
  EXPECT_NE(err_.str().find("is not set"), std::string::npos);
}

TEST_F(SettingsCommandTest, BadInputExitsWith2AndWritesNothing) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"get"},
      {"set-dword", "Max Connection"},
      {"set-dword", "Max Connection", "12x"},
      {"set-dword", "Max Connection", "-1"},
      {"set-dword", "Max Connection", "4294967296"},
      {"set-dword", "MServer IP", "1.2.3.256"},
      {"set-dword", "MServer IP", "1.2.3"},
      {"set-dword", "", "5"},
      {"set-string", "", "x"},
      {"unset", ""},
      {"list", "extra"},
  };
  for (const auto& args : cases) {
    EXPECT_EQ(Run(args), 2) << (args.empty() ? "(none)" : args[0]);
    EXPECT_FALSE(err_.str().empty());
  }
  EXPECT_FALSE(fs::exists(path_));
}

TEST_F(SettingsCommandTest, DwordArgumentForms) {
  const struct {
    const char* text;
    uint32_t value;
  } cases[] = {{"0", 0}, {"4294967295", 0xFFFFFFFFu}, {"0xff", 255}, {"192.168.1.10", 0x0A01A8C0u}};
  for (const auto& c : cases) {
    uint32_t value = 1;
    EXPECT_TRUE(ParseDwordArgument(c.text, value)) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
}

}  // namespace
}  // namespace zelm
