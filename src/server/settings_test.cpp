#include "server/settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "platform/settings_store.h"
#include "platform/temp_folder.h"

namespace zelm {
namespace {

namespace fs = std::filesystem;

// Points the accessors at a store in a fresh temporary folder, below a folder that does not
// exist yet.
class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { UseSettingsStore(path_); }
  void TearDown() override { UseSettingsStore(""); }
  CSettingsStore Store() const { return CSettingsStore(path_); }

  CTempFolder folder_{"settings"};
  std::string path_ = folder_ / "etc/settings.db";
};

TEST_F(SettingsTest, MissingStoreGivesDefaults) {
  EXPECT_FALSE(Store().Exists());
  EXPECT_EQ(GetMaxConnection(), 50u);
  EXPECT_EQ(GetAnonymousAccess(), 0u);
  EXPECT_EQ(GetAnonymousMax(), 0u);
  EXPECT_EQ(GetDefaultBandwidth(), 128u);
  EXPECT_EQ(GetMainPath(), "");
  EXPECT_EQ(ReadSettingString("FTP Quit", "fallback"), "fallback");
  CFtpSettings settings;
  EXPECT_EQ(settings.port, 21u);
  settings.Load();
  EXPECT_EQ(settings.port, 0u);
  EXPECT_EQ(settings.address, 0u);
  EXPECT_EQ(settings.welcomeText, "Zelmar FTP Service ready for a new user");
  EXPECT_EQ(settings.quitText, "Thank you for using Zelmar FTP Service");
  EXPECT_EQ(settings.defaultPath, "");
}

TEST_F(SettingsTest, LanSafetySettingsHaveSafeDefaultsAndRejectNonsense) {
  EXPECT_EQ(GetPassivePortMin(), 1500u);
  EXPECT_EQ(GetPassivePortMax(), 65535u);
  EXPECT_EQ(GetPassiveAddress(), 0u);
  EXPECT_EQ(GetFailedLoginDelay(), 16u);
  EXPECT_EQ(GetBanFailures(), 10u);
  EXPECT_EQ(GetBanWindow(), 600u);
  EXPECT_EQ(GetBanTime(), 900u);
  EXPECT_EQ(GetMaxConnectionPerIp(), 8u);
  EXPECT_EQ(GetLoginTimeout(), 30u);
  EXPECT_TRUE(IsSameAddressLoginOn());

  CSettingsStore store = Store();
  ASSERT_TRUE(store.Write("Passive Port Min", SettingValue::Dword(40000), true));
  ASSERT_TRUE(store.Write("Passive Port Max", SettingValue::Dword(30000), true));
  EXPECT_EQ(GetPassivePortMin(), 40000u);
  EXPECT_EQ(GetPassivePortMax(), 65535u);  // below the minimum
  ASSERT_TRUE(store.Write("Passive Port Max", SettingValue::Dword(40010), true));
  EXPECT_EQ(GetPassivePortMax(), 40010u);
  ASSERT_TRUE(store.Write("Passive Port Min", SettingValue::Dword(70000), true));
  EXPECT_EQ(GetPassivePortMin(), 1500u);
  ASSERT_TRUE(store.Write("Login Timeout", SettingValue::Dword(0), true));
  EXPECT_EQ(GetLoginTimeout(), 30u);
  ASSERT_TRUE(store.Write("Same Address Login", SettingValue::Dword(0), true));
  EXPECT_FALSE(IsSameAddressLoginOn());

  const struct {
    const char* text;
    uint32_t expected;
  } addresses[] = {
      {"192.0.2.7", 0x070200C0u}, {"10.0.0.1", 0x0100000Au}, {"10.0.0", 0},
      {"10.0.0.256", 0},          {"10.0.0.1 ", 0},          {"a.b.c.d", 0},
  };
  for (const auto& c : addresses) {
    ASSERT_TRUE(store.Write("Passive Address", SettingValue::Text(c.text), true));
    EXPECT_EQ(GetPassiveAddress(), c.expected) << c.text;
  }
}

TEST_F(SettingsTest, NumbersReadFromDwordsAndShortTexts) {
  CSettingsStore store = Store();
  const struct {
    SettingValue stored;
    uint32_t expected;
  } cases[] = {
      {SettingValue::Dword(0), 4096},
      {SettingValue::Dword(7), 7},
      {SettingValue::Text("30"), 30},
      {SettingValue::Text("  42abc"), 42},
      {SettingValue::Text("abc"), 4096},  // no leading number reads as 0, which means 4096
      {SettingValue::Text(std::string(18, '1')), 2147483647},  // 19 bytes with terminator
      {SettingValue::Text(std::string(19, '1')), 50},          // 20 bytes: not a number
      {SettingValue::Text("-1"), 0xFFFFFFFFu},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(store.Write("max connection", c.stored, true));
    EXPECT_EQ(GetMaxConnection(), c.expected) << c.stored.bytes;
  }
}

TEST_F(SettingsTest, NamesIgnoreCaseAndTheLastSpellingWins) {
  ASSERT_TRUE(WriteSetting("FTP Quit", "Bye", 3, SETTING_STRING | SETTING_CREATE));
  ASSERT_TRUE(WriteSetting("ftp QUIT", "See you", 7, SETTING_STRING));
  EXPECT_EQ(ReadSettingString("Ftp Quit"), "See you");
  const auto values = Store().List();
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].first, "ftp QUIT");
}

TEST_F(SettingsTest, WritingWithoutCreateNeedsAnExistingStore) {
  const SettingValue address = SettingValue::Dword(0x0100007F);
  EXPECT_FALSE(WriteSetting("MServer IP", address.bytes.data(), 4, SETTING_DWORD));
  EXPECT_FALSE(Store().Exists());
  EXPECT_TRUE(SetMaxConnection(2));
  EXPECT_TRUE(Store().Exists());
  EXPECT_EQ(fs::status(folder_ / "etc").permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(fs::status(path_).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_TRUE(WriteSetting("MServer IP", address.bytes.data(), 4, SETTING_DWORD));
  EXPECT_EQ(ReadSettingDword("MServer IP", 0), 0x0100007Fu);
  EXPECT_EQ(GetMaxConnection(), 2u);
}

TEST_F(SettingsTest, NullMainPathStaysPresentAndEmpty) {
  ASSERT_TRUE(SetMainPath("/srv/ftp"));
  EXPECT_EQ(GetMainPath(), "/srv/ftp");
  ASSERT_TRUE(SetMainPath(nullptr));
  const auto stored = Store().Read("Main Path");
  ASSERT_TRUE(stored);
  EXPECT_TRUE(stored->bytes.empty());
  EXPECT_EQ(GetMainPath(), "");
}

TEST_F(SettingsTest, RecordLoadsAndEmptyTextsFallBack) {
  ASSERT_TRUE(WriteSetting("FTP Welcome", "", 0, SETTING_STRING | SETTING_CREATE));
  ASSERT_TRUE(WriteSetting("FTP Quit", "Goodbye", 7, SETTING_STRING));
  ASSERT_TRUE(WriteSetting("Default Path", "/srv/ftp/guest", 14, SETTING_STRING));
  const SettingValue port = SettingValue::Dword(2121);
  ASSERT_TRUE(WriteSetting("ServicePort", port.bytes.data(), 4, SETTING_DWORD));
  CFtpSettings settings;
  settings.Load();
  EXPECT_EQ(settings.welcomeText, "Zelmar FTP Service ready for a new user");
  EXPECT_EQ(settings.quitText, "Goodbye");
  EXPECT_EQ(settings.defaultPath, "/srv/ftp/guest");
  EXPECT_EQ(settings.port, 2121u);
}

TEST_F(SettingsTest, TextReadOfADwordStopsAtItsFirstZeroByte) {
  const SettingValue value = SettingValue::Dword(0x00004241);
  ASSERT_TRUE(WriteSetting("Main Path", value.bytes.data(), 4, SETTING_DWORD | SETTING_CREATE));
  EXPECT_EQ(GetMainPath(), "AB");
}

TEST_F(SettingsTest, AFileThatIsNotAStoreReadsAsMissing) {
  fs::create_directories(folder_ / "etc");
  {
    std::FILE* f = std::fopen(path_.c_str(), "w");
    std::fputs("not a database", f);
    std::fclose(f);
  }
  EXPECT_FALSE(Store().Exists());
  EXPECT_EQ(GetMaxConnection(), 50u);
  const SettingValue value = SettingValue::Dword(3);
  EXPECT_FALSE(WriteSetting("Max Connection", value.bytes.data(), 4, SETTING_DWORD));
  EXPECT_FALSE(SetMaxConnection(3));  // even a write that may create leaves the file alone
  EXPECT_EQ(fs::file_size(path_), std::string("not a database").size());
}

// ---- The table of known settings ----

// What an empty store gives is what the table says the default is: the table's defaults
// cannot drift from the accessors' own.
TEST_F(SettingsTest, KnownDefaultsAreWhatAnEmptyStoreReads) {
  for (const KnownSetting& setting : KnownSettings()) {
    const std::string shown = *setting.defaultText != '\0' ? setting.defaultText : "\"\"";
    EXPECT_EQ(EffectiveSettingText(setting, setting.name), shown) << setting.name;
    if (setting.kind == SETTING_DWORD && setting.effective == nullptr) {
      EXPECT_EQ(ShowSettingDword(&setting, setting.defaultDword), shown) << setting.name;
    }
  }
}

TEST(KnownSettings, NamesAreFoundWhateverTheirCaseAndSlipsFindTheNearest) {
  ASSERT_NE(FindKnownSetting("max connection"), nullptr);
  EXPECT_STREQ(FindKnownSetting("max connection")->name, "Max Connection");
  EXPECT_STREQ(FindKnownSetting("drive q")->name, "Drive X");
  EXPECT_EQ(FindKnownSetting("Drive 1"), nullptr);
  EXPECT_EQ(FindKnownSetting("Drive DD"), nullptr);
  EXPECT_EQ(CanonicalSettingName("drive q"), "Drive Q");
  EXPECT_EQ(CanonicalSettingName("mserver ip"), "MServer IP");
  EXPECT_EQ(CanonicalSettingName("Not Known"), "Not Known");
  const struct {
    const char* typed;
    const char* nearest;
  } cases[] = {
      {"Maxx Connection", "Max Connection"},
      {"Service Port", "ServicePort"},
      {"mserverip", "MServer IP"},
      {"Drvie D", "Drive D"},
      {"Ban Tim", "Ban Time"},
      {"TLS Mod", "TLS Mode"},
      {"Passive Port Mx", "Passive Port Max"},
      {"Frobnicate", ""},
      {"x", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ClosestKnownSetting(c.typed), c.nearest) << c.typed;
}

std::string SourceFile(const std::string& relative) {
  std::ifstream file(std::string(ZELM_SOURCE_DIR) + "/" + relative);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// A row of doc/settings.md's table of values: its cells, the first split at ", " into names.
struct DocumentedRow {
  std::vector<std::string> names;
  std::vector<std::string> cells;  // name, kind, default, accepted, meaning
};

std::vector<DocumentedRow> DocumentedRows() {
  std::istringstream lines(SourceFile("doc/settings.md"));
  std::vector<DocumentedRow> rows;
  bool inValues = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("## ")) inValues = line == "## The values";
    if (!inValues || !line.starts_with("| ") || line.starts_with("| name") ||
        line.starts_with("| ---")) {
      continue;
    }
    DocumentedRow row;
    for (size_t at = 2, bar; (bar = line.find(" |", at)) != std::string::npos; at = bar + 3) {
      row.cells.push_back(line.substr(at, bar - at));
    }
    std::string cell = row.cells.at(0);
    for (size_t comma; (comma = cell.find(", ")) != std::string::npos; cell.erase(0, comma + 2)) {
      row.names.push_back(cell.substr(0, comma));
    }
    row.names.push_back(cell);
    rows.push_back(row);
  }
  return rows;
}

// The setting names the code of src/ reads or writes as literals (tests aside).
std::set<std::string> NamesInTheSources() {
  static const std::regex kUses[] = {
      std::regex(
          R"re((?:ReadSetting(?:Dword|String)|WriteSetting|Store\(\)\.Read)\(\s*"([^"]+)")re"),
      std::regex(R"re(constexpr const char\*\s+k\w*Setting\s*=\s*"([^"]+)")re"),
  };
  static const std::regex kList(
      R"re(constexpr const char\*\s+k\w*Settings\[\]\s*=\s*\{([^}]*)\})re");
  static const std::regex kQuoted(R"re("([^"]+)")re");
  std::set<std::string> names;
  for (const auto& entry :
       fs::recursive_directory_iterator(std::string(ZELM_SOURCE_DIR) + "/src")) {
    const std::string file = entry.path().filename().string();
    if (!entry.is_regular_file() || file.find("test") != std::string::npos ||
        !(file.ends_with(".cpp") || file.ends_with(".h"))) {
      continue;
    }
    const std::string text = SourceFile(fs::relative(entry.path(), ZELM_SOURCE_DIR).string());
    for (const std::regex& use : kUses) {
      for (std::sregex_iterator it(text.begin(), text.end(), use), end; it != end; ++it) {
        names.insert((*it)[1]);
      }
    }
    for (std::sregex_iterator it(text.begin(), text.end(), kList), end; it != end; ++it) {
      const std::string list = (*it)[1];
      for (std::sregex_iterator q(list.begin(), list.end(), kQuoted); q != end; ++q) {
        names.insert((*q)[1]);
      }
    }
  }
  return names;
}

TEST(KnownSettings, TheTableTheDocumentAndTheCodeNameTheSameSettings) {
  std::set<std::string> table;
  for (const KnownSetting& setting : KnownSettings()) table.insert(setting.name);
  std::set<std::string> documented;
  for (const DocumentedRow& row : DocumentedRows()) {
    ASSERT_EQ(row.cells.size(), 5u) << row.cells[0];
    for (const std::string& name : row.names) {
      documented.insert(name);
      const KnownSetting* setting = FindKnownSetting(name);
      if (setting == nullptr) continue;
      EXPECT_EQ(row.cells[1], setting->kind == SETTING_DWORD ? "dword" : "string") << name;
      // "0 to 10000", "1024 to 65535", "a port 1 to 65535": the range the tool applies.
      std::smatch range;
      static const std::regex kRange(R"re((\d+) to (\d+))re");
      if (setting->rule == SettingRule::kNumber || setting->rule == SettingRule::kPort) {
        ASSERT_TRUE(std::regex_search(row.cells[3], range, kRange)) << name;
        EXPECT_EQ(range[1], std::to_string(setting->least)) << name;
        EXPECT_EQ(range[2], std::to_string(setting->most)) << name;
      }
    }
  }
  for (const std::string& name : table) {
    EXPECT_EQ(documented.count(name), 1u) << "not in doc/settings.md: " << name;
  }
  for (const std::string& name : documented) {
    EXPECT_EQ(table.count(name), 1u) << "in doc/settings.md but not in the table: " << name;
  }

  const std::set<std::string> used = NamesInTheSources();
  ASSERT_GT(used.size(), 20u) << "the scan of src/ found almost nothing: has the code moved?";
  for (const std::string& name : used) {
    EXPECT_NE(FindKnownSetting(name), nullptr) << "read in src/ but not in the table: " << name;
  }
  for (const std::string& name : table) {
    if (name == "Drive X") continue;  // read as "Drive " + letter
    EXPECT_EQ(used.count(name), 1u) << "in the table but read nowhere in src/: " << name;
  }
}

}  // namespace
}  // namespace zelm
