#include "ui/control_dlg.h"

#include <gtest/gtest.h>

#include <atomic>
#include <nlohmann/json.hpp>

#include "ftp/session_log.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/http_client.h"
#include "platform/password_hash.h"
#include "platform/small_file.h"
#include "platform/temp_folder.h"
#include "server/settings.h"
#include "service/ftp_app.h"
#include "ui/console_service.h"
#include "ui/password_dlg.h"

namespace zelm {
namespace {

using Json = nlohmann::json;

constexpr uint32_t kPeer = 0x0100007F;

class CFakeHost final : public CConsoleHost {
 public:
  bool StartStopServer(bool stop) override {
    stop ? ++stops : ++starts;
    active = !stop;
    return true;
  }
  bool IsServerActive() override { return active; }
  std::string StatusText() override { return active ? "Listening on port 2121" : "Not listening"; }
  bool IsServiceRunning() override { return running; }
  void RequestStop() override { ++stopRequests; }

  std::atomic<bool> active{true};
  std::atomic<bool> running{true};
  std::atomic<int> starts{0}, stops{0}, stopRequests{0};
};

class ControlDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetJournalLogging(false);
    UseSettingsStore(folder_ / "settings.db");
    const std::string hash = HashPassword("letmein", {1024, 8, 1});
    ASSERT_TRUE(WriteSetting(kAdminPasswordSettings[0], hash.data(),
                             static_cast<uint32_t>(hash.size()), SETTING_STRING | SETTING_CREATE));
    ConsoleOptions options;
    options.port = 0;
    options.runTimer = false;
    options.tokenPath = folder_ / "console.token";
    options.version = "9.9";
    dialog_ = std::make_unique<CControlDlg>(host_, options);
    ASSERT_TRUE(dialog_->Create()) << dialog_->Error();
  }
  void TearDown() override {
    dialog_.reset();
    UseSettingsStore("");
    SetJournalLogging(true);
  }

  HttpResponse Call(const char* method, const std::string& target, const Json& body = nullptr) {
    HttpRequest request;
    request.method = method;
    const size_t query = target.find('?');
    request.path = target.substr(0, query);
    if (query != std::string::npos) {
      const std::string pair = target.substr(query + 1);
      request.query.emplace_back(pair.substr(0, pair.find('=')), pair.substr(pair.find('=') + 1));
    }
    request.headers = {{"Host", "127.0.0.1:8021"}, {"X-Console-Token", dialog_->Token()}};
    if (!body.is_null()) request.body = body.dump();
    HttpResponse response;
    dialog_->Handle(request, response);
    return response;
  }
  Json CallJson(const char* method, const std::string& target, const Json& body = nullptr) {
    const HttpResponse response = Call(method, target, body);
    EXPECT_EQ(response.status, 200) << target << ": " << response.body;
    return Json::parse(response.body, nullptr, false);
  }

  CManualClock clock_;
  ScopedClockOverride useClock_{clock_};
  CTempFolder folder_{"console"};
  CFakeHost host_;
  std::unique_ptr<CControlDlg> dialog_;
};

TEST_F(ControlDlgTest, SessionEntriesReachTheLogAtTheFlushAndPasswordsOnlyWhileAuthenticated) {
  PostLog("USER bob\r\n", "", kPeer);
  PostLog("PASS ******\r\n", "", kPeer, "PASS ******\r\n");
  EXPECT_EQ(CallJson("GET", "/api/log")["text"], "");  // not flushed yet
  dialog_->OnTimer();
  Json log = CallJson("GET", "/api/log");
  EXPECT_EQ(
      log["text"],
      "(127.0.0.1)(<Not logged>):\r\nUSER bob\r\n(127.0.0.1)(<Not logged>):\r\nPASS ******\r\n");
  EXPECT_FALSE(IsAdministratorAuthenticated());

  EXPECT_EQ(CallJson("POST", "/api/authenticate", {{"password", "letmein"}})["result"], "accepted");
  EXPECT_TRUE(IsAdministratorAuthenticated());
  EXPECT_TRUE(CallJson("GET", "/api/state")["authenticated"]);
  // What a session posts while the flag is set (see ftp_session.cpp).
  PostLog("PASS hunter2\r\n", "bob", kPeer, "PASS ******\r\n");
  dialog_->OnTimer();
  const uint64_t position = log["next"];
  log = CallJson("GET", "/api/log?since=" + std::to_string(position));
  EXPECT_EQ(log["text"], "(127.0.0.1)(bob):\r\nPASS hunter2\r\n");

  clock_.AdvanceMilliseconds(kAuthenticationMs);
  dialog_->OnTimer();
  EXPECT_TRUE(IsAdministratorAuthenticated());  // exactly 300000 ms: not yet
  clock_.AdvanceMilliseconds(1);
  dialog_->OnTimer();
  EXPECT_FALSE(IsAdministratorAuthenticated());
  // The password shown before is masked for every reader from now on.
  log = CallJson("GET", "/api/log");
  EXPECT_EQ(log["text"].get<std::string>().find("hunter2"), std::string::npos);

  EXPECT_EQ(CallJson("POST", "/api/clear", Json::object())["cleared"], true);
  log = CallJson("GET", "/api/log?since=" + std::to_string(log["next"].get<uint64_t>()));
  EXPECT_TRUE(log["reset"]);
  EXPECT_EQ(log["text"], "");
}

TEST_F(ControlDlgTest, FifthWrongPasswordClosesTheDialogAndEndsAnAuthentication) {
  EXPECT_EQ(CallJson("POST", "/api/authenticate", {{"password", "letmein"}})["result"], "accepted");
  for (int i = 0; i < 4; ++i) {
    const Json answer = CallJson("POST", "/api/authenticate", {{"password", "nope"}});
    EXPECT_EQ(answer["result"], "retry");
    EXPECT_EQ(answer["message"], "Invalid password!");
    EXPECT_TRUE(IsAdministratorAuthenticated());  // the dialog is still open
  }
  EXPECT_EQ(CallJson("POST", "/api/authenticate", {{"password", "nope"}})["result"], "closed");
  EXPECT_FALSE(IsAdministratorAuthenticated());
  EXPECT_EQ(CallJson("POST", "/api/authenticate", {{"password", ""}})["result"], "closed");
  EXPECT_EQ(CallJson("POST", "/api/authenticate", {{"password", "letmein"}})["result"], "accepted");
  EXPECT_EQ(CallJson("POST", "/api/authenticate", {{"cancel", true}})["result"], "closed");
  EXPECT_FALSE(IsAdministratorAuthenticated());
  EXPECT_EQ(Call("POST", "/api/authenticate", "not an object").status, 400);
}

TEST_F(ControlDlgTest, ListenerStatusAndStopCommands) {
  Json state = CallJson("GET", "/api/state");
  EXPECT_EQ(state["status"], "Service Active");
  EXPECT_EQ(state["button"], "Deactivate Service");
  state = CallJson("POST", "/api/listener", {{"action", "toggle"}});
  EXPECT_EQ(host_.stops, 1);
  EXPECT_EQ(state["status"], "Service Inactive!");
  EXPECT_EQ(state["button"], "Activate Service");
  state = CallJson("POST", "/api/listener", {{"action", "toggle"}});
  EXPECT_EQ(host_.starts, 1);
  EXPECT_EQ(state["status"], "Service Active");
  CallJson("POST", "/api/listener", {{"action", "activate"}});  // explicit, not a toggle
  EXPECT_EQ(host_.starts, 2);
  EXPECT_TRUE(host_.active);
  EXPECT_EQ(Call("POST", "/api/listener", {{"action", "explode"}}).status, 400);

  EXPECT_EQ(CallJson("POST", "/api/stop", Json::object())["stopping"], true);
  EXPECT_EQ(host_.stopRequests, 1);
  host_.running = false;
  EXPECT_EQ(CallJson("POST", "/api/stop", Json::object())["stopping"], false);
  EXPECT_EQ(host_.stopRequests, 1);
}

TEST_F(ControlDlgTest, ThePageCarriesTheTokenAndRefusesToBeFramed) {
  const HttpResponse page = Call("GET", "/");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("<title>ZelmFTP Service</title>"), std::string::npos);
  EXPECT_NE(page.body.find("content=\"" + dialog_->Token() + "\""), std::string::npos);
  EXPECT_NE(page.body.find("version 9.9"), std::string::npos);
  bool noFrames = false;
  for (const auto& [name, value] : page.headers) noFrames |= name == "X-Frame-Options";
  EXPECT_TRUE(noFrames);
  EXPECT_EQ(Call("GET", "/console.js").status, 200);
  EXPECT_EQ(Call("GET", "/../etc/passwd").status, 404);
}

// Over real HTTP on 127.0.0.1: the refusals, and the token file.
TEST_F(ControlDlgTest, RequestsFromOtherHostsOrWithoutTheTokenAreRefused) {
  const uint16_t port = dialog_->Port();
  ASSERT_NE(port, 0);
  struct Case {
    const char* name;
    const char* method;
    const char* path;
    std::vector<std::pair<std::string, std::string>> headers;
    int status;
  };
  const std::string token = dialog_->Token();
  const Case cases[] = {
      {"page", "GET", "/", {}, 200},
      {"page for evil.example", "GET", "/", {{"Host", "evil.example"}}, 403},
      {"state for evil.example",
       "GET",
       "/api/state",
       {{"Host", "evil.example"}, {"X-Console-Token", token}},
       403},
      {"state with the token", "GET", "/api/state", {{"X-Console-Token", token}}, 200},
      {"state without the token", "GET", "/api/state", {}, 403},
      {"stop without the token", "POST", "/api/stop", {}, 403},
      {"clear from another origin",
       "POST",
       "/api/clear",
       {{"X-Console-Token", token}, {"Origin", "http://evil.example"}},
       403},
  };
  for (const Case& c : cases) {
    const HttpCallResult result =
        HttpCall("127.0.0.1", port, c.method, c.path, c.headers, "{}", 3000);
    ASSERT_TRUE(result.reached) << c.name;
    EXPECT_EQ(result.status, c.status) << c.name;
  }
  EXPECT_EQ(host_.stopRequests, 0);

  std::string content;
  ASSERT_EQ(ReadSmallFile(folder_ / "console.token", 4096, content), SmallFileResult::kOk);
  EXPECT_EQ(content, token + "\n");
  dialog_->Close();
  FileStatus status;
  EXPECT_FALSE(GetFileStatus(folder_ / "console.token", status));
  EXPECT_FALSE(HttpCall("127.0.0.1", port, "GET", "/", {}, "", 1000).reached);
}

TEST(ConsoleService, NothingIsServedWhenTheConsolePortIsZero) {
  CTempFolder folder("console-off");
  UseSettingsStore(folder / "settings.db");
  const uint32_t zero = 0;
  ASSERT_TRUE(WriteSetting(kConsolePortSetting, &zero, 4, SETTING_DWORD | SETTING_CREATE));
  CFtpApp app;
  EXPECT_EQ(CreateServiceConsole(app), nullptr);
  FileStatus status;
  EXPECT_FALSE(GetFileStatus(folder / "console.token", status));
  UseSettingsStore("");
}

}  // namespace
}  // namespace zelm
