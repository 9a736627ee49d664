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

// The log entries of an /api/log answer as lines "(address)(user): text".
std::string Text(const nlohmann::json& log) {
  std::string text;
  for (const auto& entry : log["entries"]) {
    text += "(" + entry["address"].get<std::string>() + ")(" + entry["user"].get<std::string>() +
            "): " + entry["text"].get<std::string>() + "\n";
  }
  return text;
}

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

  // Who calls: `zelmftpctl` with the token (kTool), a browser with a session cookie, or a
  // browser with neither (kNobody).
  static constexpr const char* kTool = "tool";
  static constexpr const char* kNobody = "";

  HttpResponse Call(const char* method, const std::string& target, const Json& body = nullptr,
                    const std::string& who = kTool) {
    HttpRequest request;
    request.method = method;
    const size_t query = target.find('?');
    request.path = target.substr(0, query);
    if (query != std::string::npos) {
      std::string rest = target.substr(query + 1);
      while (!rest.empty()) {
        const std::string pair = rest.substr(0, rest.find('&'));
        rest = pair.size() < rest.size() ? rest.substr(pair.size() + 1) : "";
        request.query.emplace_back(pair.substr(0, pair.find('=')), pair.substr(pair.find('=') + 1));
      }
    }
    request.headers = {{"Host", "127.0.0.1:8021"}};
    if (who == kTool) {
      request.headers.emplace_back("X-Console-Token", dialog_->Token());
    } else if (!who.empty()) {
      request.headers.emplace_back("Cookie", "theme=dark; " + who);
    }
    request.remoteAddress = "127.0.0.1";
    request.remotePort = 50000;
    if (!body.is_null()) request.body = body.is_string() ? body.get<std::string>() : body.dump();
    HttpResponse response;
    dialog_->Handle(request, response);
    return response;
  }
  Json CallJson(const char* method, const std::string& target, const Json& body = nullptr,
                const std::string& who = kTool) {
    const HttpResponse response = Call(method, target, body, who);
    EXPECT_EQ(response.status, 200) << target << ": " << response.body;
    return Json::parse(response.body, nullptr, false);
  }
  static std::string CookieOf(const HttpResponse& response) {
    for (const auto& [name, value] : response.headers) {
      if (name == "Set-Cookie") return value.substr(0, value.find(';'));
    }
    return {};
  }
  // A browser signed in with a one-time link from `zelmftpctl console`: its cookie.
  std::string SignIn() {
    const Json link = CallJson("POST", "/api/login-link", Json::object());
    const HttpResponse redeemed = Call("GET", link["path"], nullptr, kNobody);
    EXPECT_EQ(redeemed.status, 303);
    return CookieOf(redeemed);
  }
  // The console's own log, flushed.
  std::string LogText() {
    dialog_->OnTimer();
    return Text(CallJson("GET", "/api/log"));
  }

  CManualClock clock_;
  ScopedClockOverride useClock_{clock_};
  CTempFolder folder_{"console"};
  CFakeHost host_;
  std::unique_ptr<CControlDlg> dialog_;
};

TEST_F(ControlDlgTest,
       SessionEntriesReachTheLogAtTheFlushAndPasswordsOnlyForTheAuthenticatedBrowser) {
  const std::string browser = SignIn();
  const std::string other = SignIn();
  ASSERT_FALSE(browser.empty());
  ASSERT_NE(browser, other);
  dialog_->OnTimer();  // the sign-ins' own lines
  const uint64_t start = CallJson("GET", "/api/log")["next"];
  PostLog("USER bob\r\n", "", kPeer);
  PostLog("PASS ******\r\n", "", kPeer, "PASS ******\r\n");
  EXPECT_EQ(Text(CallJson("GET", "/api/log?since=" + std::to_string(start))), "");  // not yet
  dialog_->OnTimer();
  Json log = CallJson("GET", "/api/log?since=" + std::to_string(start), nullptr, browser);
  EXPECT_EQ(Text(log),
            "(127.0.0.1)(<Not logged>): USER bob\n(127.0.0.1)(<Not logged>): PASS ******\n");
  EXPECT_FALSE(IsAdministratorAuthenticated());

  EXPECT_EQ(CallJson("POST", "/api/authenticate", {{"password", "letmein"}}, browser)["result"],
            "accepted");
  EXPECT_TRUE(IsAdministratorAuthenticated());  // sessions keep clear-text entries now
  EXPECT_TRUE(CallJson("GET", "/api/state", nullptr, browser)["authenticated"]);
  EXPECT_FALSE(CallJson("GET", "/api/state", nullptr, other)["authenticated"]);
  dialog_->OnTimer();  // the authentication's own line
  const uint64_t position = CallJson("GET", "/api/log")["next"];
  // What a session posts while the flag is set (see ftp_session.cpp).
  PostLog("PASS hunter2\r\n", "bob", kPeer, "PASS ******\r\n");
  dialog_->OnTimer();
  const std::string since = "/api/log?since=" + std::to_string(position);
  EXPECT_EQ(Text(CallJson("GET", since, nullptr, browser)), "(127.0.0.1)(bob): PASS hunter2\n");
  // Only that browser: another one, and zelmftpctl, get the masked entry.
  EXPECT_EQ(Text(CallJson("GET", since, nullptr, other)), "(127.0.0.1)(bob): PASS ******\n");
  EXPECT_EQ(Text(CallJson("GET", since)), "(127.0.0.1)(bob): PASS ******\n");
  // Passwords in clear for zelmftpctl are root's only (this caller's end is nobody's).
  EXPECT_EQ(Call("GET", since + "&passwords=1").status, 403);
  // A token caller cannot authenticate: it has no session to hold the window.
  EXPECT_EQ(Call("POST", "/api/authenticate", {{"password", "letmein"}}).status, 400);

  clock_.AdvanceMilliseconds(kAuthenticationMs);
  dialog_->OnTimer();
  EXPECT_TRUE(IsAdministratorAuthenticated());  // exactly 300000 ms: not yet
  clock_.AdvanceMilliseconds(1);
  dialog_->OnTimer();
  EXPECT_FALSE(IsAdministratorAuthenticated());
  // The password shown before is masked for that browser too from now on.
  log = CallJson("GET", "/api/log", nullptr, browser);
  EXPECT_EQ(Text(log).find("hunter2"), std::string::npos);

  EXPECT_EQ(CallJson("POST", "/api/clear", Json::object(), browser)["cleared"], true);
  log = CallJson("GET", "/api/log?since=" + std::to_string(log["next"].get<uint64_t>()));
  EXPECT_TRUE(log["reset"]);
  dialog_->OnTimer();
  // The clear itself is logged, with who did it.
  log = CallJson("GET", "/api/log");
  EXPECT_NE(Text(log).find("Console: log cleared by browser session 1 from "
                           "127.0.0.1:50000"),
            std::string::npos)
      << Text(log);
}

TEST_F(ControlDlgTest, FifthWrongPasswordClosesTheDialogAndLocksTheSourceOutForAWhile) {
  const std::string browser = SignIn();
  EXPECT_EQ(CallJson("POST", "/api/authenticate", {{"password", "letmein"}}, browser)["result"],
            "accepted");
  for (int i = 0; i < 4; ++i) {
    const Json answer = CallJson("POST", "/api/authenticate", {{"password", "nope"}}, browser);
    EXPECT_EQ(answer["result"], "retry");
    EXPECT_EQ(answer["message"], "Invalid password!");
    EXPECT_TRUE(IsAdministratorAuthenticated());  // the dialog is still open
  }
  EXPECT_EQ(CallJson("POST", "/api/authenticate", {{"password", "nope"}}, browser)["result"],
            "closed");
  EXPECT_FALSE(IsAdministratorAuthenticated());
  // Five failures from this address: even the right password waits five minutes, and so
  // does the sign-in form.
  HttpResponse locked = Call("POST", "/api/authenticate", {{"password", "letmein"}}, browser);
  EXPECT_EQ(locked.status, 429);
  EXPECT_EQ(Json::parse(locked.body)["message"], "Too many wrong passwords: try again in 300 s");
  EXPECT_EQ(Call("POST", "/login", {{"password", "letmein"}}, kNobody).status, 429);
  clock_.AdvanceMilliseconds(kConsoleLockoutMs);
  EXPECT_EQ(CallJson("POST", "/api/authenticate", {{"password", ""}}, browser)["result"], "closed");
  EXPECT_EQ(CallJson("POST", "/api/authenticate", {{"password", "letmein"}}, browser)["result"],
            "accepted");
  EXPECT_EQ(CallJson("POST", "/api/authenticate", {{"cancel", true}}, browser)["result"], "closed");
  EXPECT_FALSE(IsAdministratorAuthenticated());
  EXPECT_EQ(Call("POST", "/api/authenticate", "not an object", browser).status, 400);
  const std::string log = LogText();
  EXPECT_NE(log.find("Console: wrong administrator password (Authenticate) by browser session 1"),
            std::string::npos);
  EXPECT_NE(log.find("locked for 300 s after 5 wrong passwords"), std::string::npos);
  EXPECT_NE(log.find("Console: administrator authenticated"), std::string::npos);
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
  const std::string log = LogText();
  for (const char* action :
       {"service deactivated", "service activated", "service stopped (End FTP Session)"}) {
    EXPECT_NE(log.find(std::string("Console: ") + action + " by zelmftpctl from 127.0.0.1:50000"),
              std::string::npos)
        << action << "\n"
        << log;
  }
}

TEST_F(ControlDlgTest, ThePageHoldsNoSecretAndABrowserSignsInWithALinkOnceOrAPassword) {
  // Without a session: the sign-in page, no token, no log.
  const HttpResponse page = Call("GET", "/", nullptr, kNobody);
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("zelmftpctl console"), std::string::npos);
  EXPECT_EQ(page.body.find(dialog_->Token()), std::string::npos);
  EXPECT_EQ(Call("GET", "/api/log", nullptr, kNobody).status, 401);
  EXPECT_EQ(Call("GET", "/api/log", nullptr, "zelm_console=guessed").status, 401);
  bool noFrames = false;
  for (const auto& [name, value] : page.headers) noFrames |= name == "X-Frame-Options";
  EXPECT_TRUE(noFrames);

  // A link works once; a browser never gets one.
  const Json link = CallJson("POST", "/api/login-link", Json::object());
  EXPECT_EQ(link["seconds"], 120);
  const std::string path = link["path"];
  EXPECT_EQ(Call("POST", "/api/login-link", Json::object(), kNobody).status, 401);
  const HttpResponse first = Call("GET", path, nullptr, kNobody);
  ASSERT_EQ(first.status, 303);
  const std::string cookie = CookieOf(first);
  bool strict = false;
  for (const auto& [name, value] : first.headers) {
    strict |= name == "Set-Cookie" && value.find("HttpOnly; SameSite=Strict") != std::string::npos;
  }
  EXPECT_TRUE(strict);
  const HttpResponse again = Call("GET", path, nullptr, kNobody);
  EXPECT_EQ(again.status, 403);
  EXPECT_NE(again.body.find("used already or has expired"), std::string::npos);
  EXPECT_TRUE(CookieOf(again).empty());

  // With the session: the console itself, still without the token.
  const HttpResponse console = Call("GET", "/", nullptr, cookie);
  EXPECT_NE(console.body.find("<title>ZelmFTP Service</title>"), std::string::npos);
  EXPECT_NE(console.body.find("version 9.9"), std::string::npos);
  EXPECT_EQ(console.body.find(dialog_->Token()), std::string::npos);
  EXPECT_EQ(Call("GET", "/api/log", nullptr, cookie).status, 200);
  EXPECT_EQ(Call("GET", "/console.js", nullptr, kNobody).status, 200);
  EXPECT_EQ(Call("GET", "/../etc/passwd", nullptr, cookie).status, 404);
  EXPECT_EQ(Call("GET", "/login.html", nullptr, cookie).status, 404);

  // Or with an administrator password; signing out ends the session.
  EXPECT_EQ(CallJson("POST", "/login", {{"password", "wrong"}}, kNobody)["result"], "retry");
  const HttpResponse byPassword = Call("POST", "/login", {{"password", "letmein"}}, kNobody);
  EXPECT_EQ(Json::parse(byPassword.body)["result"], "accepted");
  const std::string second = CookieOf(byPassword);
  EXPECT_EQ(Call("GET", "/api/state", nullptr, second).status, 200);
  EXPECT_EQ(CallJson("POST", "/api/logout", Json::object(), second)["signedOut"], true);
  EXPECT_EQ(Call("GET", "/api/state", nullptr, second).status, 401);
  const std::string log = LogText();
  EXPECT_NE(log.find("one-time login link issued by zelmftpctl"), std::string::npos);
  EXPECT_NE(log.find("signed in with a login link by browser session 1"), std::string::npos);
  EXPECT_NE(log.find("login link refused"), std::string::npos);
  EXPECT_NE(log.find("signed in with an administrator password by browser session 2"),
            std::string::npos);
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
      {"sign-in page", "GET", "/", {}, 200},
      {"page for evil.example", "GET", "/", {{"Host", "evil.example"}}, 403},
      {"state for evil.example",
       "GET",
       "/api/state",
       {{"Host", "evil.example"}, {"X-Console-Token", token}},
       403},
      {"state with the token", "GET", "/api/state", {{"X-Console-Token", token}}, 200},
      {"state without the token", "GET", "/api/state", {}, 401},
      {"stop without the token", "POST", "/api/stop", {}, 401},
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
