#include <gtest/gtest.h>

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

UnitOptions Options() {
  UnitOptions options;
  options.executablePath = "/usr/local/bin/zelmftp";
  options.settingsPath = "/var/lib/zelmftp/settings.db";
  options.mainPath = "/srv/cafe";
  return options;
}

TEST(UnitFileTest, DefaultInstallation) {
  const std::string unit = BuildUnitFile(Options());
  for (const char* line :
       {"[Unit]\n", "Description=ZelmNetCafe FTP Server\n", "StartLimitIntervalSec=120\n",
        "StartLimitBurst=3\n", "[Service]\nType=notify\n", "ExecStart=/usr/local/bin/zelmftp\n",
        "Environment=ZELMFTP_SETTINGS=/var/lib/zelmftp/settings.db\n", "User=zelmftp\n",
        "Restart=on-failure\n", "RestartSec=15s\n", "AmbientCapabilities=CAP_NET_BIND_SERVICE\n",
        "NoNewPrivileges=yes\n", "ProtectSystem=strict\n",
        "ReadWritePaths=/var/lib/zelmftp /srv/cafe\n", "ProtectHome=yes\n", "PrivateTmp=yes\n",
        "[Install]\nWantedBy=multi-user.target\n"}) {
    EXPECT_NE(unit.find(line), std::string::npos) << line << "in:\n" << unit;
  }
}

TEST(UnitFileTest, HomeFoldersQuotingAndUnusablePaths) {
  UnitOptions options = Options();
  options.mainPath = "/home/cafe/ftp";
  EXPECT_NE(BuildUnitFile(options).find("ProtectHome=no\n"), std::string::npos);
  options = Options();
  options.executablePath = "/root/build/zelmftp";
  EXPECT_NE(BuildUnitFile(options).find("ProtectHome=read-only\n"), std::string::npos);
  options = Options();
  options.mainPath.clear();
  EXPECT_NE(BuildUnitFile(options).find("ReadWritePaths=/var/lib/zelmftp\n"), std::string::npos);

  options = Options();
  options.executablePath = "/opt/zelm ftp/zelmftp";
  options.mainPath = "/srv/100%";
  const std::string unit = BuildUnitFile(options);
  EXPECT_NE(unit.find("ExecStart=\"/opt/zelm ftp/zelmftp\"\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("ReadWritePaths=/var/lib/zelmftp /srv/100%%\n"), std::string::npos);

  for (const char* bad : {"relative/settings.db", "/var/lib/a\nb/settings.db", ""}) {
    options = Options();
    options.settingsPath = bad;
    EXPECT_EQ(BuildUnitFile(options), "") << bad;
  }
}

// The default transfer log's folder is the one systemd makes for the service; another one must
// be opened up through ProtectSystem=strict, and may not exist yet.
TEST(UnitFileTest, TheTransferLogsFolderIsWritable) {
  const struct {
    const char* transferLog;
    const char* writable;
  } cases[] = {
      {"/var/log/zelmftp/xferlog", "ReadWritePaths=/var/lib/zelmftp /srv/cafe\n"},
      {"", "ReadWritePaths=/var/lib/zelmftp /srv/cafe\n"},
      {"/var/lib/zelmftp/xferlog", "ReadWritePaths=/var/lib/zelmftp /srv/cafe\n"},
      {"/srv/cafe logs/xferlog", "ReadWritePaths=/var/lib/zelmftp /srv/cafe \"-/srv/cafe logs\"\n"},
  };
  for (const auto& c : cases) {
    UnitOptions options = Options();
    options.transferLogPath = c.transferLog;
    const std::string unit = BuildUnitFile(options);
    EXPECT_NE(unit.find(c.writable), std::string::npos) << c.transferLog << " in:\n" << unit;
    EXPECT_NE(unit.find("LogsDirectory=zelmftp\nLogsDirectoryMode=0750\n"), std::string::npos);
  }
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
