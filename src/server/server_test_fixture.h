// A running listener on 127.0.0.1 with its settings in a temporary folder and a scripted
// management server that knows a few accounts: the fixture of the server's tests.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ftp/session_log.h"
#include "platform/temp_folder.h"
#include "server/ftp_listener.h"
#include "server/listener_test_util.h"
#include "server/settings.h"

namespace zelm::testing {

// Keeps the log entries posted while it is installed (the console's view of them).
class RecordingLogSink final : public CLogSink {
 public:
  RecordingLogSink() { SetLogSink(this); }
  ~RecordingLogSink() override { SetLogSink(nullptr); }
  RecordingLogSink(const RecordingLogSink&) = delete;
  RecordingLogSink& operator=(const RecordingLogSink&) = delete;

  void AddLog(const LogRecord& record) override {
    std::lock_guard lock(mutex_);
    records_.push_back(record);
  }
  // The texts of the entries at `priority`, one line each as the journal shows them.
  std::vector<std::string> Texts(LogPriority priority) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> texts;
    for (const LogRecord& r : records_) {
      if (r.priority == priority) texts.push_back(FormatLogLine(r));
    }
    return texts;
  }
  // Whether an entry at `priority` holds `part`.
  bool Has(LogPriority priority, const std::string& part) {
    for (const std::string& text : Texts(priority)) {
      if (text.find(part) != std::string::npos) return true;
    }
    return false;
  }

 private:
  std::mutex mutex_;
  std::vector<LogRecord> records_;
};

struct TestAccount {
  std::string password;
  std::string home;
  uint32_t rights = 0x100000;
  uint32_t sessions = 0;
  uint64_t quota = 0;
  uint32_t bandwidth = 0;
};

class ListenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetJournalLogging(false);
    UseSettingsStore(folder_ / "settings.db");
    ASSERT_TRUE(SetMainPath((folder_ / "main").c_str()));
    SetDword("MServer IP", 0x0100007F);
    SetDword("MServer Port", peer_.Port());
    // The original command table and replies, which these tests check to the byte; tests of
    // the extensions turn them on.
    SetDword("Extensions", 0);
    // The transfer log in the test's folder, never the service's default.
    const std::string transferLog = folder_ / "xferlog";
    ASSERT_TRUE(WriteSetting("Transfer Log", transferLog.c_str(),
                             static_cast<uint32_t>(transferLog.size()),
                             SETTING_STRING | SETTING_CREATE));
    peer_.onLogin = [this](const LoginRequest& request, const std::string& password) {
      return Answer(request, password);
    };
  }
  void TearDown() override {
    listener_.reset();
    UseSettingsStore("");
    SetJournalLogging(true);
  }

  static void SetDword(const char* name, uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    ASSERT_TRUE(WriteSetting(name, bytes, 4, SETTING_DWORD | SETTING_CREATE));
  }

  std::optional<LoginAnswer> Answer(const LoginRequest& request, const std::string& password) {
    if (silent_) return std::nullopt;
    LoginAnswer answer;
    answer.sessionId = request.sessionId;
    const auto it = accounts_.find(request.userName);
    const bool ok = it != accounts_.end() && it->second.password == password;
    answer.result = ok ? 1 : 0;
    if (ok) {
      answer.parameters = AccountParameters{it->second.quota, it->second.bandwidth,
                                            it->second.sessions, it->second.rights, 0};
      answer.homeFolder = it->second.home;
    }
    return answer;
  }

  // Starts the listener on a free port of 127.0.0.1 and waits for the management link.
  void Start(bool waitForLink = true) {
    listener_ = std::make_unique<CFtpListener>();
    listener_->OverrideListenAddress(kAnyPort, kLoopback);
    ASSERT_TRUE(listener_->StartListening(false));
    if (waitForLink) {
      ASSERT_TRUE(WaitUntil([this] { return listener_->Link().IsReady(); }));
    }
  }

  std::unique_ptr<FtpTestClient> Connect(uint32_t localAddress = 0) {
    auto client = std::make_unique<FtpTestClient>(port_ = listener_->GetListenPort(), localAddress);
    EXPECT_EQ(client->ReadReply(), "220 Service ready for new user.\r\n");
    return client;
  }

  void Login(FtpTestClient& client, const std::string& user, const std::string& password) {
    EXPECT_EQ(client.Command("USER " + user), "331 Password required for user " + user + "\r\n");
    EXPECT_EQ(client.Command("PASS " + password), "230 " + user + " user logged in.\r\n");
  }

  // Wakes every session of `user` (after the test moved the clock).
  void WakeSessions(const std::string& user) {
    listener_->Sessions().ForEachSessionOfUser(user, [](CFtpSession& s) { s.WakeEventThread(); });
  }

  CTempFolder folder_{"listener"};
  ScriptedManagementPeer peer_;
  std::map<std::string, TestAccount> accounts_{{"bob", {"secret", "bob"}},
                                               {"alice", {"wonderland", "alice"}}};
  std::atomic<bool> silent_{false};
  std::unique_ptr<CFtpListener> listener_;
  uint16_t port_ = 0;
};

}  // namespace zelm::testing
