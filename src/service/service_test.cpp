#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "service/command_line.h"
#include "service/service_module.h"

namespace zelm {
namespace {

// Exactly the words it knows, one at a time: "-run" or "/restart" must not remove the service
// (as a test of one character would), nor "fix" install it.
TEST(CommandLineTest, OnlyWholeKnownWordsCount) {
  using Args = std::vector<std::string>;
  const struct {
    Args args;
    ServiceCommand command;
  } cases[] = {
      {{}, ServiceCommand::kRun},
      {{"/I"}, ServiceCommand::kInstall},
      {{"/i"}, ServiceCommand::kInstall},
      {{"install"}, ServiceCommand::kInstall},
      {{"/R"}, ServiceCommand::kRemove},
      {{"remove"}, ServiceCommand::kRemove},
      {{"/?"}, ServiceCommand::kUsage},
      {{"--help"}, ServiceCommand::kUsage},
      {{"--version"}, ServiceCommand::kVersion},
      {{"-run"}, ServiceCommand::kUsageError},
      {{"-restart"}, ServiceCommand::kUsageError},
      {{"/restart"}, ServiceCommand::kUsageError},
      {{"fix"}, ServiceCommand::kUsageError},
      {{"/install"}, ServiceCommand::kUsageError},
      {{"-x"}, ServiceCommand::kUsageError},
      {{""}, ServiceCommand::kUsageError},
      {{"/I", "/R"}, ServiceCommand::kUsageError},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseServiceCommand(c.args), c.command) << (c.args.empty() ? "" : c.args[0]);
  }
  const char* argv[] = {"/usr/bin/zelm ftp", "/", "r"};
  EXPECT_EQ(Arguments(3, argv), (Args{"/", "r"}));
  EXPECT_EQ(std::string(kUsageText).find("1.00"), std::string::npos);
  EXPECT_NE(std::string(kUsageText).find(ZELM_VERSION), std::string::npos);
}

// The options a package installation has: the package's paths and settings.
UnitOptions PackagedOptions() {
  UnitOptions options;
  options.executablePath = kPackagedExecutable;
  options.settingsPath = kPackagedSettings;
  options.mainPath = "/srv/zelmftp/home";
  options.transferLogPath = "/var/log/zelmftp/xferlog";
  return options;
}

UnitOptions Paths(const char* executable, const char* settings, const char* main,
                  const char* transferLog, const char* user) {
  UnitOptions options;
  options.executablePath = executable;
  options.settingsPath = settings;
  options.mainPath = main;
  options.transferLogPath = transferLog;
  options.user = user;
  return options;
}

std::string ReadShippedUnit() {
  std::ifstream file(ZELM_SHIPPED_UNIT);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// Each [Section] key=value of a unit file, as "Section/key=value"; comments and blank lines
// left out.
std::vector<std::string> UnitEntries(const std::string& unit) {
  std::vector<std::string> entries;
  std::istringstream lines(unit);
  std::string section;
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      section = line.substr(1, line.find(']') - 1);
      continue;
    }
    entries.push_back(section + "/" + line);
  }
  return entries;
}

bool HasEntry(const std::vector<std::string>& entries, const std::string& entry) {
  return std::find(entries.begin(), entries.end(), entry) != entries.end();
}

// The unit "zelmftp /I" writes for the package's paths is the file the package ships, to the
// byte; the file in the tree is the one compiled in.
TEST(UnitFileTest, PackagedPathsGiveTheShippedUnit) {
  const std::string shipped = ReadShippedUnit();
  ASSERT_FALSE(shipped.empty()) << ZELM_SHIPPED_UNIT;
  EXPECT_EQ(std::string(ShippedUnitText()), shipped);
  EXPECT_EQ(BuildUnitFile(PackagedOptions()), shipped);
}

// What operations promise of the unit, each in the section where systemd reads it (a
// StartLimitIntervalSec= under [Service], say, is ignored).
TEST(UnitFileTest, ShippedUnitRestartsForeverAndServesAsItsUser) {
  const std::vector<std::string> entries = UnitEntries(ReadShippedUnit());
  for (const char* entry :
       {"Unit/StartLimitIntervalSec=0", "Service/Type=notify",
        "Service/ExecStart=/usr/sbin/zelmftp", "Service/User=zelmftp", "Service/Restart=always",
        "Service/RestartSec=15s", "Service/RestartPreventExitStatus=0",
        "Service/TimeoutStartSec=60", "Service/StateDirectory=zelmftp",
        "Service/LogsDirectory=zelmftp", "Service/ReadWritePaths=-/srv/zelmftp",
        "Service/UMask=0027", "Service/AmbientCapabilities=CAP_NET_BIND_SERVICE",
        "Service/CapabilityBoundingSet=CAP_NET_BIND_SERVICE", "Service/ProtectSystem=strict",
        "Service/ProtectHome=yes", "Service/PrivateTmp=yes", "Install/WantedBy=multi-user.target",
        "Install/Alias=ZelmFtpHost.service"}) {
    EXPECT_TRUE(HasEntry(entries, entry)) << entry;
  }
  // No line may undo these further down (systemd takes the last of a single-valued key).
  for (const char* key : {"Service/User=", "Service/Restart=", "Service/ProtectHome=",
                          "Service/ExecStart=", "Unit/StartLimitBurst="}) {
    EXPECT_LE(std::count_if(entries.begin(), entries.end(),
                            [&](const std::string& e) { return e.starts_with(key); }),
              1)
        << key;
  }
}

// Installed from source, the unit is the shipped one with the paths of that installation:
// only the lines that name them differ.
TEST(UnitFileTest, OtherPathsChangeOnlyTheLinesThatNameThem) {
  const struct {
    const char* what;
    UnitOptions options;
    std::vector<std::string> changed;  // the lines that replace (or join) the shipped ones
  } cases[] = {
      {"a source installation",
       Paths("/usr/local/sbin/zelmftp", kPackagedSettings, "", "", kServiceUser),
       {"ExecStart=/usr/local/sbin/zelmftp"}},
      {"a settings store of its own",
       Paths(kPackagedExecutable, "/etc/zelmftp/settings.db", "", "/etc/zelmftp/xferlog",
             kServiceUser),
       {"Environment=ZELMFTP_SETTINGS=/etc/zelmftp/settings.db",
        "ReadWritePaths=-/srv/zelmftp /etc/zelmftp"}},
      {"a main path elsewhere, a transfer log that may not exist yet",
       Paths(kPackagedExecutable, kPackagedSettings, "/data/cafe homes", "/data/logs/xferlog",
             kServiceUser),
       {"ReadWritePaths=-/srv/zelmftp \"/data/cafe homes\" -/data/logs"}},
      {"a main path beside the package's folder, not in it",
       Paths(kPackagedExecutable, kPackagedSettings, "/srv/zelmftp2", "", kServiceUser),
       {"ReadWritePaths=-/srv/zelmftp /srv/zelmftp2"}},
      {"folders inside those already writable",
       Paths(kPackagedExecutable, kPackagedSettings, "/srv/zelmftp/cafe/2",
             "/var/lib/zelmftp/xferlog", kServiceUser),
       {}},
      {"homes below /home",
       Paths(kPackagedExecutable, kPackagedSettings, "/home/cafe/ftp", "", kServiceUser),
       {"ReadWritePaths=-/srv/zelmftp /home/cafe/ftp", "ProtectHome=no"}},
      {"quotes and specifiers",
       Paths("/opt/zelm ftp/zelmftp", kPackagedSettings, "/srv/100%", "", "cafe"),
       {"ExecStart=\"/opt/zelm ftp/zelmftp\"", "ReadWritePaths=-/srv/zelmftp /srv/100%%",
        "User=cafe"}},
  };
  const std::vector<std::string> shipped = UnitEntries(ReadShippedUnit());
  for (const auto& c : cases) {
    const std::vector<std::string> built = UnitEntries(BuildUnitFile(c.options));
    ASSERT_FALSE(built.empty()) << c.what;
    // Each expected line is there, and apart from them the unit is the shipped one.
    std::vector<std::string> rest;
    for (const std::string& entry : built) {
      const std::string line = entry.substr(entry.find('/') + 1);
      if (std::find(c.changed.begin(), c.changed.end(), line) == c.changed.end()) {
        rest.push_back(entry);
      }
    }
    EXPECT_EQ(built.size() - rest.size(), c.changed.size()) << c.what;
    std::vector<std::string> shippedRest;
    for (const std::string& entry : shipped) {
      const std::string key = entry.substr(0, entry.find('=') + 1);
      const bool replaced = std::any_of(c.changed.begin(), c.changed.end(), [&](auto& line) {
        return "Service/" + line.substr(0, line.find('=') + 1) == key;
      });
      if (!replaced) shippedRest.push_back(entry);
    }
    EXPECT_EQ(rest, shippedRest) << c.what;
  }
}

TEST(UnitFileTest, UnusablePathsWriteNoUnit) {
  const struct {
    const char* executable;
    const char* settings;
    const char* main;
    const char* user;
  } cases[] = {
      {"/usr/sbin/zelmftp", "relative/settings.db", "", "zelmftp"},
      {"/usr/sbin/zelmftp", "/var/lib/a\nb/settings.db", "", "zelmftp"},
      {"/usr/sbin/zelmftp", "", "", "zelmftp"},
      {"", kPackagedSettings, "", "zelmftp"},
      {"/usr/sbin/zelmftp", kPackagedSettings, "homes", "zelmftp"},
      {"/usr/sbin/zelmftp", kPackagedSettings, "/srv/a\rb", "zelmftp"},
      {"/usr/sbin/zelmftp", kPackagedSettings, "", ""},
      {"/usr/sbin/zelmftp", kPackagedSettings, "", "root\nExecStartPre=/bin/sh"},
  };
  for (const auto& c : cases) {
    UnitOptions options;
    options.executablePath = c.executable;
    options.settingsPath = c.settings;
    options.mainPath = c.main;
    options.user = c.user;
    EXPECT_EQ(BuildUnitFile(options), "") << c.executable << " " << c.settings << " " << c.main;
  }
}

// PrivateTmp= and ProtectHome= would hide these programs from the service they start.
TEST(UnitFileTest, FoldersTheSandboxHides) {
  const struct {
    const char* executable;
    const char* hidden;
  } cases[] = {
      {"/tmp/build/zelmftp", "/tmp"},
      {"/var/tmp/zelmftp", "/var/tmp"},
      {"/home/anna/src/build/zelmftp", "/home"},
      {"/root/build/zelmftp", "/root"},
      {"/run/user/1000/zelmftp", "/run/user"},
      {"/usr/sbin/zelmftp", ""},
      {"/usr/local/sbin/zelmftp", ""},
      {"/tmpfs/zelmftp", ""},
      {"/homes/zelmftp", ""},
      {"/srv/tmp/zelmftp", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(HiddenFolderOf(c.executable), c.hidden) << c.executable;
}

TEST(ServiceModuleTest, StopSequenceRunsOnceInOrder) {
  CServiceModule module;
  std::vector<std::string> events;
  module.SetNotifier([&](std::string_view report) {
    events.emplace_back(report);
    return true;
  });
  module.SetCallbacks(
      [&] {
        module.SetStatus(kStateRunning, "Listening on port 21");
        events.push_back("run");
        module.StopIfRunning();
        module.Stop();  // a second stop (another thread, another signal) changes nothing
        EXPECT_TRUE(module.StopRequested());
      },
      [&] { events.push_back("stop callback"); });
  module.SetConsoleCloser([&] { events.push_back("console closed"); });
  module.SetQuitHook([&] { events.push_back("quit"); });
  module.ServiceMain();
  const std::vector<std::string> expected = {
      "READY=1\nSTATUS=Listening on port 21",
      "run",
      "STOPPING=1\nSTATUS=Stopping",
      "stop callback",
      "console closed",
      "quit",
      "STATUS=Stopped",
  };
  EXPECT_EQ(events, expected);
  EXPECT_EQ(module.State(), kStateStopped);
}

TEST(ServiceModuleTest, StopIfRunningLeavesAStoppedServiceAlone) {
  CServiceModule module;
  int stops = 0;
  module.SetNotifier([](std::string_view) { return true; });
  module.SetCallbacks(nullptr, [&] { ++stops; });
  EXPECT_EQ(module.StopIfRunning(), 1);
  EXPECT_EQ(stops, 0);
  EXPECT_FALSE(module.StopRequested());
}

}  // namespace
}  // namespace zelm
