#include "server/settings_command.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "platform/settings_store.h"
#include "platform/temp_folder.h"
#include "server/settings.h"

namespace zelm {
namespace {

namespace fs = std::filesystem;

class SettingsCommandTest : public ::testing::Test {
 protected:
  void TearDown() override { UseSettingsStore(""); }

  int Run(std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    return RunSettingsCommand(path_, args, out_, err_);
  }

  // The line of `name` in `settings list --all`.
  std::string ListedAll(const std::string& name) {
    EXPECT_EQ(Run({"list", "--all"}), 0);
    std::istringstream lines(out_.str());
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with(name + "\t")) return line;
    }
    return "(no line for " + name + ")";
  }

  CTempFolder folder_{"ctl"};
  std::string path_ = folder_ / "settings.db";
  std::ostringstream out_;
  std::ostringstream err_;
};

TEST_F(SettingsCommandTest, SetGetListUnset) {
  EXPECT_EQ(Run({"list"}), 0);
  EXPECT_EQ(out_.str(), "");
  EXPECT_EQ(Run({"set-dword", "max connection", "2"}), 0);  // stored as the server spells it
  EXPECT_EQ(Run({"set-dword", "MServer IP", "127.0.0.1"}), 0);
  EXPECT_EQ(Run({"set-dword", "MServer Port", "0x1F90"}), 0);
  EXPECT_EQ(Run({"set-string", "Main Path", "/srv/ftp"}), 0);
  EXPECT_EQ(Run({"set-string", "drive d", "/srv/d"}), 0);
  EXPECT_EQ(Run({"get", "MAX CONNECTION"}), 0);
  EXPECT_EQ(out_.str(), "2\n");
  EXPECT_EQ(Run({"get", "MServer IP"}), 0);
  EXPECT_EQ(out_.str(), "127.0.0.1\n");
  // Stored as the number "MServer IP" expects: the bytes 127, 0, 0, 1 in memory order.
  EXPECT_EQ(CSettingsStore(path_).Read("MServer IP")->bytes, std::string("\x7f\0\0\x01", 4));
  EXPECT_EQ(Run({"list"}), 0);
  EXPECT_EQ(out_.str(),
            "Drive D\tstring\t/srv/d\nMain Path\tstring\t/srv/ftp\nMax Connection\tdword\t2\n"
            "MServer IP\tdword\t127.0.0.1\nMServer Port\tdword\t8080\n");
  EXPECT_EQ(Run({"unset", "MAIN PATH"}), 0);
  EXPECT_EQ(Run({"get", "Main Path"}), 1);
  EXPECT_NE(err_.str().find("is not set"), std::string::npos) << err_.str();
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
      {"get", "--force", "Max Connection"},
      {"list", "--all", "--all", "x"},
  };
  for (const auto& args : cases) {
    EXPECT_EQ(Run(args), 2) << (args.empty() ? "(none)" : args[0]);
    EXPECT_FALSE(err_.str().empty());
  }
  EXPECT_FALSE(fs::exists(path_));
}

// Each refusal names what the setting takes; --force stores the same value anyway.
TEST_F(SettingsCommandTest, ValuesOutOfRangeOrOfTheWrongKindAreRefusedUnlessForced) {
  const struct {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"set-dword", "ServicePort", "70000"}, "from 1 to 65535, not 70000"},
      {{"set-dword", "ServicePort", "0"}, "from 1 to 65535"},
      {{"set-dword", "Passive Port Min", "80"}, "from 1024 to 65535"},
      {{"set-dword", "Ban Time", "0"}, "from 1 to 604800"},
      {{"set-dword", "TLS Mode", "3"}, "from 0 to 2"},
      {{"set-dword", "Discovery", "2"}, "from 0 to 1"},
      {{"set-dword", "Code Page", "1234"}, "code page"},
      {{"set-dword", "Main Path", "5"}, "is a text: use set-string"},
      {{"set-string", "Max Connection", "5"}, "is a number: use set-dword"},
      {{"set-string", "Main Path", "srv/ftp"}, "absolute path"},
      {{"set-string", "Main Path", "/srv/ftp/../../etc"}, "\"..\""},
      {{"set-string", "Main Path", "/srv/./ftp"}, "\".\""},
      {{"set-string", "Main Path", "/etc/ftp"}, "system folder"},
      {{"set-string", "Main Path", "/"}, "system folder"},
      {{"set-string", "Main Path", "E:\\ftp"}, "\"Drive E\""},
      {{"set-string", "Main Path", "D:\\ftp\\..\\..\\x"}, "\"..\""},
      {{"set-string", "Drive D", "d"}, "absolute path"},
      {{"set-string", "Transfer Log", "xferlog"}, "absolute path"},
      {{"set-string", "TLS Key", "/etc/../key.pem"}, "\"..\""},
      {{"set-string", "Main Path Roots", "/srv;games"}, "\"games\" is not"},
      {{"set-string", "Passive Address", "192.0.2"}, "dotted IPv4 address"},
      {{"set-string", "Console Address", "localhost"}, "IPv4 or IPv6 address"},
      {{"set-string", "Admin Password 1", "secret"}, "admin-password 1"},
      {{"set-string", "Service User", "Bob Smith"}, "user name"},
      {{"set-string", "FTP Welcome", "hello\r\n230 forged"}, "control characters"},
      {{"set-string", "FTP Quit", std::string(201, 'x')}, "at most 200 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[1] + " " + c.args[2]);
    EXPECT_EQ(Run(c.args), 2);
    EXPECT_NE(err_.str().find(c.says), std::string::npos) << err_.str();
    EXPECT_NE(err_.str().find("--force"), std::string::npos) << err_.str();
    EXPECT_FALSE(CSettingsStore(path_).Read(c.args[1]));
    std::vector<std::string> forced = c.args;
    forced.insert(forced.begin() + 1, "--force");
    EXPECT_EQ(Run(forced), 0) << err_.str();
    EXPECT_TRUE(CSettingsStore(path_).Read(c.args[1]));
    EXPECT_EQ(Run({"unset", c.args[1]}), 0);
  }
}

TEST_F(SettingsCommandTest, ValuesAtTheirBoundsAreStored) {
  ASSERT_EQ(Run({"set-string", "Drive D", "/srv/d"}), 0);
  const std::vector<std::vector<std::string>> cases = {
      {"set-dword", "ServicePort", "1"},
      {"set-dword", "ServicePort", "65535"},
      {"set-dword", "Console Port", "0"},
      {"set-dword", "Max Connection", "0"},
      {"set-dword", "Login Timeout", "86400"},
      {"set-dword", "ServiceIP", "0.0.0.0"},
      {"set-dword", "Code Page", "1252"},
      {"set-string", "Main Path", "/srv/zelmftp"},
      {"set-string", "Main Path", "D:\\ftp"},
      {"set-string", "Main Path", "/srv/..hidden"},  // a name, not a climb
      {"set-string", "Main Path Roots", "/srv;D:\\games;"},
      {"set-string", "Transfer Log", ""},  // no transfer log
      {"set-string", "Passive Address", ""},
      {"set-string", "Passive Address", "192.0.2.7"},
      {"set-string", "Console Address", "::1"},
      {"set-string", "Service User", "root"},
      {"set-string", "FTP Quit", std::string(200, 'x')},
  };
  for (const auto& args : cases) {
    EXPECT_EQ(Run(args), 0) << args[1] << " " << args[2] << ": " << err_.str();
  }
}

TEST_F(SettingsCommandTest, UnknownNamesSuggestTheClosestKnownOne) {
  EXPECT_EQ(Run({"set-dword", "Maxx Connection", "10"}), 2);
  EXPECT_NE(err_.str().find("did you mean \"Max Connection\"?"), std::string::npos) << err_.str();
  EXPECT_FALSE(fs::exists(path_));
  EXPECT_EQ(Run({"set-string", "Frobnicate", "x"}), 2);
  EXPECT_EQ(err_.str().find("did you mean"), std::string::npos) << err_.str();
  EXPECT_NE(err_.str().find("list --all"), std::string::npos) << err_.str();

  EXPECT_EQ(Run({"get", "servceport"}), 1);
  EXPECT_NE(err_.str().find("did you mean \"ServicePort\"?"), std::string::npos) << err_.str();

  // --force stores a name the server does not read; get and list show it as it is.
  EXPECT_EQ(Run({"set-dword", "Maxx Connection", "10", "--force"}), 0);
  EXPECT_EQ(Run({"get", "maxx connection"}), 0);
  EXPECT_EQ(out_.str(), "10\n");
  EXPECT_EQ(ListedAll("Maxx Connection"),
            "Maxx Connection\tdword\t10\t-\t- (the server does not read it)");
}

TEST_F(SettingsCommandTest, ListAllShowsEverySettingWithItsDefaultAndTheValueInEffect) {
  EXPECT_EQ(Run({"list", "--all"}), 0);  // no store: every default
  EXPECT_NE(err_.str().find("no settings store"), std::string::npos);
  const std::string defaults = out_.str();
  EXPECT_TRUE(defaults.starts_with("NAME\tKIND\tSTORED\tDEFAULT\tEFFECTIVE\n")) << defaults;
  for (const KnownSetting& setting : KnownSettings()) {
    EXPECT_NE(defaults.find(std::string("\n") + setting.name + "\t"), std::string::npos)
        << setting.name;
  }
  EXPECT_FALSE(fs::exists(path_));

  ASSERT_EQ(Run({"set-dword", "Max Connection", "0"}), 0);
  ASSERT_EQ(Run({"set-dword", "MServer IP", "192.168.1.10"}), 0);
  ASSERT_EQ(Run({"set-dword", "Passive Port Min", "40000"}), 0);
  ASSERT_EQ(Run({"set-dword", "Passive Port Max", "30000"}), 0);
  EXPECT_NE(err_.str().find("below \"Passive Port Min\""), std::string::npos) << err_.str();
  ASSERT_EQ(Run({"set-string", "TLS Certificate", "/srv/cert.pem"}), 0);
  ASSERT_EQ(Run({"set-string", "Drive D", "/srv/d"}), 0);
  ASSERT_EQ(Run({"set-string", "Drive E", "/srv/e"}), 0);
  ASSERT_EQ(Run({"set-string", "Transfer Log", ""}), 0);

  const struct {
    const char* name;
    const char* line;
  } cases[] = {
      {"Max Connection", "Max Connection\tdword\t0\t50\t4096"},
      {"MServer IP", "MServer IP\tdword\t192.168.1.10\t0.0.0.0\t192.168.1.10"},
      {"Passive Port Max", "Passive Port Max\tdword\t30000\t65535\t65535"},
      {"TLS Mode", "TLS Mode\tdword\t-\t0\t1"},  // a certificate turns TLS on
      {"ServicePort", "ServicePort\tdword\t-\t21\t21"},
      {"Drive D", "Drive D\tstring\t/srv/d\t\"\"\t/srv/d"},
      {"Drive E", "Drive E\tstring\t/srv/e\t\"\"\t/srv/e"},
      {"Drive X", "(no line for Drive X)"},
      {"Transfer Log", "Transfer Log\tstring\t\"\"\t/var/log/zelmftp/xferlog\t\"\""},
      {"Main Path Roots", "Main Path Roots\tstring\t-\t/srv\t/srv"},
  };
  for (const auto& c : cases) EXPECT_EQ(ListedAll(c.name), c.line);
}

TEST_F(SettingsCommandTest, HelpOfEachCommandGoesToStandardOutput) {
  const struct {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"--help"}, "set-string [--force] NAME TEXT"},
      {{"list", "--help"}, "settings list [--all]"},
      {{"get", "-h"}, "settings get NAME"},
      {{"set-dword", "--help"}, "--force stores it anyway"},
      {{"set-string", "Main Path", "--help"}, "settings set-string [--force] NAME TEXT"},
      {{"unset", "--help"}, "settings unset NAME"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Run(c.args), 0) << c.args[0];
    EXPECT_NE(out_.str().find(c.says), std::string::npos) << out_.str();
    EXPECT_EQ(err_.str(), "");
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
