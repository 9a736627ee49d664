// Owns the console: its HTTP routes, the 500 ms flush and the administrator's authentication.
#include "ui/control_dlg.h"

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <nlohmann/json.hpp>

#include "net/zm_socket.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/secret_file.h"
#include "platform/small_file.h"
#include "platform/socket.h"
#include "platform/tcp_owner.h"
#include "server/settings.h"
#include "ui/console_page.h"
#include "ui/password_dlg.h"

namespace zelm {
namespace {

using Json = nlohmann::json;

constexpr size_t kTokenBytes = 32;

// Log text holds whatever bytes clients sent; invalid UTF-8 is replaced rather than refused.
std::string Dump(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void SetJson(HttpResponse& response, const Json& json, int status = 200) {
  response.status = status;
  response.contentType = "application/json";
  response.body = Dump(json);
}

void SetError(HttpResponse& response, int status, const char* text) {
  response.status = status;
  response.contentType = "text/plain; charset=utf-8";
  response.body = std::string(text) + "\n";
}

// Each entry as {"time": Unix ms, "address", "user", "text", "priority"}.
Json LogEntriesJson(const CConsoleLog::Slice& slice) {
  Json entries = Json::array();
  for (const LogRecord& record : slice.entries) {
    entries.push_back({{"time", record.timeMs},
                       {"address", CZmSocket::FormatIpAddress(record.peer)},
                       {"user", record.user},
                       {"text", record.text},
                       {"priority", static_cast<int>(record.priority)}});
  }
  return entries;
}

std::string Replace(std::string text, std::string_view from, std::string_view to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

}  // namespace

std::string ConsoleTokenPath(const std::string& settingsPath) {
  const char* configured = std::getenv("ZELMFTP_CONSOLE_TOKEN");
  if (configured != nullptr && *configured != '\0') return configured;
  const size_t slash = settingsPath.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : settingsPath.substr(0, slash);
  return (folder.empty() ? "/" : folder + "/") + "console.token";
}

CControlDlg::CControlDlg(CConsoleHost& host, ConsoleOptions options)
    : host_(host), options_(std::move(options)), log_(options_.logLimit) {
  access_ = std::make_unique<CConsoleAccess>(RandomHex(kTokenBytes), options_.address);
}

CControlDlg::~CControlDlg() { Close(); }

bool CControlDlg::Create() {
  if (created_) return true;
  if (Token().empty()) {
    error_ = "no random numbers for the console's token";
    return false;
  }
  if (!server_.Start(options_.address, options_.port,
                     [this](const HttpRequest& request, HttpResponse& response) {
                       Handle(request, response);
                     })) {
    error_ = server_.Error().empty()
                 ? "cannot listen on " + options_.address + " port " + std::to_string(options_.port)
                 : server_.Error();
    return false;
  }
  created_ = true;
  if (!options_.tokenPath.empty() && !WriteSecretFile(options_.tokenPath, Token() + "\n")) {
    error_ = "cannot write the token file " + options_.tokenPath +
             "; zelmftpctl cannot reach the console";
  }
  SetLogSink(this);
  if (options_.runTimer) {
    {
      CMutexLock lock(timerMutex_);
      stopTimer_ = false;
    }
    timer_ = std::thread([this] { TimerLoop(); });
  }
  return true;
}

void CControlDlg::Close() {
  if (!created_) return;
  created_ = false;
  closing_ = true;  // streams end at their next call
  SetLogSink(nullptr);
  log_.Shutdown();  // readers waiting for entries are answered now
  {
    CMutexLock lock(timerMutex_);
    stopTimer_ = true;
  }
  timerWake_.notify_all();
  if (timer_.joinable()) timer_.join();
  server_.Stop();
  rootReaderUntilMs_.store(0);
  if (!options_.tokenPath.empty()) {
    std::string content;
    // Another zelmftp may have taken the file over since; only our own token is removed.
    if (ReadSmallFile(options_.tokenPath, 4096, content) == SmallFileResult::kOk &&
        content == Token() + "\n") {
      RemoveFile(options_.tokenPath);
    }
  }
  CMutexLock lock(flagMutex_);
  clearText_ = false;
  SetAdministratorAuthenticated(false);
}

void CControlDlg::AddLog(const LogRecord& record) { log_.AddLog(record); }

void CControlDlg::TimerLoop() {
  while (WaitForTimerTick()) OnTimer();
}

bool CControlDlg::WaitForTimerTick() {
  CMutexLock lock(timerMutex_);
  if (stopTimer_) return false;
  // The wait lets go of the timer's lock and takes it back; `lock` holds it again afterwards.
  std::unique_lock native(timerMutex_.Native(), std::adopt_lock);
  timerWake_.wait_for(native, std::chrono::milliseconds(kConsoleFlushMs));
  native.release();
  return !stopTimer_;
}

void CControlDlg::OnTimer() {
  log_.Flush();
  sessions_.ExpireAuthentications(MonotonicMilliseconds());
  UpdateClearTextFlag();
}

void CControlDlg::UpdateClearTextFlag() {
  const int64_t now = MonotonicMilliseconds();
  const bool wanted = sessions_.AnyAuthenticated(now) || now < rootReaderUntilMs_.load();
  CMutexLock lock(flagMutex_);
  if (wanted == clearText_) return;
  clearText_ = wanted;
  SetAdministratorAuthenticated(wanted);
  log_.Wake();  // waiting readers learn whether passwords are shown or masked now
}

CControlDlg::Caller CControlDlg::Identify(const HttpRequest& request) {
  Caller caller;
  caller.request = &request;
  caller.token = access_->HasToken(request);
  caller.where = request.remoteAddress + ":" + std::to_string(request.remotePort);
  const std::string cookies = request.Header("Cookie");
  const std::string name = std::string(kConsoleCookie) + "=";
  for (size_t at = 0; at < cookies.size();) {
    size_t end = cookies.find(';', at);
    if (end == std::string::npos) end = cookies.size();
    std::string_view part(cookies.data() + at, end - at);
    while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
    if (part.substr(0, name.size()) == name) {
      caller.session =
          sessions_.Find(std::string(part.substr(name.size())), MonotonicMilliseconds());
      if (caller.session) break;
    }
    at = end + 1;
  }
  return caller;
}

std::string CControlDlg::Describe(const Caller& caller) const {
  if (caller.session)
    return "browser session " + std::to_string(*caller.session) + " from " + caller.where;
  if (caller.token) {
    std::string who = "zelmftpctl";
    if (caller.request != nullptr) {
      if (const auto uid =
              FindTcpSocketOwner(caller.request->remoteAddress, caller.request->remotePort,
                                 caller.request->localPort)) {
        who += " (uid " + std::to_string(*uid) + ")";
      }
    }
    return who + " from " + caller.where;
  }
  return "a browser from " + caller.where;
}

void CControlDlg::LogAction(const Caller& caller, const std::string& what) const {
  uint32_t address = 0;
  if (caller.request != nullptr &&
      ParseDottedAddress(caller.request->remoteAddress.c_str(), address)) {
    address = HostToNetwork32(address);
  }
  PostEvent(LogPriority::kNotice, "Console: " + what + " by " + Describe(caller) + "\r\n",
            "console", address);
}

bool CControlDlg::IsRootCaller(const Caller& caller) const {
  if (!caller.token || caller.request == nullptr) return false;
  const auto uid = FindTcpSocketOwner(caller.request->remoteAddress, caller.request->remotePort,
                                      caller.request->localPort);
  return uid && *uid == 0;
}

void CControlDlg::Handle(const HttpRequest& request, HttpResponse& response) {
  const Caller caller = Identify(request);
  switch (access_->Check(request, caller.session.has_value())) {
    case ConsoleAccess::kForbidden:
      SetError(response, 403, "Forbidden");
      break;
    case ConsoleAccess::kUnauthorized:
      SetError(response, 401, "Sign in to the console first");
      break;
    case ConsoleAccess::kAllowed:
      Serve(caller, response);
      break;
  }
  // The page is never framed by another site, nor cached.
  response.headers.emplace_back("Cache-Control", "no-store");
  response.headers.emplace_back("X-Content-Type-Options", "nosniff");
  response.headers.emplace_back("X-Frame-Options", "DENY");
  response.headers.emplace_back("Referrer-Policy", "no-referrer");
  response.headers.emplace_back("Content-Security-Policy",
                                "default-src 'self'; frame-ancestors 'none'; form-action 'none'");
}

std::string CControlDlg::StateJson(const Caller& caller) {
  const bool active = host_.IsServerActive();
  const int64_t remaining =
      caller.session ? sessions_.AuthenticatedMsLeft(*caller.session, MonotonicMilliseconds()) : 0;
  Json state = {
      {"active", active},
      {"status", active ? "Service Active" : "Service Inactive!"},
      {"button", active ? "Deactivate Service" : "Activate Service"},
      {"detail", host_.StatusText()},
      {"running", host_.IsServiceRunning()},
      {"authenticated", remaining > 0},
      {"authenticatedMs", remaining},
      {"passwordSet", CPasswordDlg::AnyPasswordSet()},
      {"banSeconds", GetBanTime()},
  };
  return Dump(state);
}

nlohmann::json CControlDlg::SessionsJson() {
  return sessionView_.Rows(host_.ListSessions(), MonotonicMilliseconds(), UnixMilliseconds());
}

void CControlDlg::StartEvents(const Caller& caller, HttpResponse& response) {
  // One page's stream: the whole log first, then what each flush adds; the state and the
  // sessions every kEventLookMs. A call waits at most kEventWaitMs, so a stop is seen soon.
  struct Follower {
    std::optional<uint64_t> session;
    uint64_t position = 0;
    bool fromStart = true;
    bool showPasswords = false;
    int64_t nextLookMs = 0;
  };
  auto follower = std::make_shared<Follower>();
  follower->session = caller.session;
  response.contentType = "text/event-stream";
  response.stream = [this, follower](std::string& out) {
    Follower& f = *follower;
    auto event = [&out](const char* name, const Json& data) {
      out += "event: ";
      out += name;
      out += "\ndata: " + Dump(data) + "\n\n";
    };
    if (stopping_ || closing_) {
      event("stopped", Json::object());
      return false;
    }
    if (!f.fromStart) log_.WaitForChange(f.position, kEventWaitMs);
    const int64_t now = MonotonicMilliseconds();
    if (f.session && !sessions_.Touch(*f.session, now)) return false;  // signed out
    bool showPasswords = f.session && sessions_.AuthenticatedMsLeft(*f.session, now) > 0;
    // When the authentication ends, the passwords shown are masked again: the whole log anew.
    if (f.showPasswords && !showPasswords) f.fromStart = true;
    f.showPasswords = showPasswords;
    const CConsoleLog::Slice slice = log_.Read(f.position, f.fromStart, showPasswords);
    if (f.fromStart || slice.reset || !slice.entries.empty()) {
      event("log", {{"reset", slice.reset || f.fromStart},
                    {"entries", LogEntriesJson(slice)},
                    {"next", slice.next},
                    {"authenticated", showPasswords}});
    }
    f.position = slice.next;
    f.fromStart = false;
    if (now >= f.nextLookMs) {
      Caller who;
      who.session = f.session;
      event("state", Json::parse(StateJson(who), nullptr, false));
      Json bans = Json::array();
      for (const auto& [address, seconds] : host_.ListBans()) {
        bans.push_back({{"address", address}, {"seconds", seconds}});
      }
      event("sessions", {{"sessions", SessionsJson()}, {"bans", bans}});
      f.nextLookMs = now + kEventLookMs;
    }
    return true;
  };
}

void CControlDlg::Kick(const Caller& caller, HttpResponse& response) {
  const Json body = Json::parse(caller.request->body, nullptr, false);
  if (!body.is_object()) return SetError(response, 400, "Bad request");
  const std::string byWhom = "the operator (" + Describe(caller) + ")";
  size_t kicked = 0;
  std::string what;
  if (const auto id = body.find("id");
      id != body.end() && id->is_number_unsigned() && id->get<uint64_t>() <= UINT32_MAX) {
    what = "session " + std::to_string(id->get<uint64_t>());
    kicked = host_.KickSession(static_cast<uint32_t>(id->get<uint64_t>()), byWhom);
  } else if (const auto user = body.find("user");
             user != body.end() && user->is_string() && !user->get<std::string>().empty()) {
    what = "the sessions of " + EscapeLogText(user->get<std::string>(), false);
    kicked = host_.KickUser(user->get<std::string>(), byWhom);
  } else {
    return SetError(response, 400, "Bad request: give \"id\" or \"user\"");
  }
  if (kicked > 0) LogAction(caller, "kicked " + what + " (" + std::to_string(kicked) + ")");
  SetJson(response, {{"kicked", kicked}});
}

void CControlDlg::Ban(const Caller& caller, HttpResponse& response) {
  const Json body = Json::parse(caller.request->body, nullptr, false);
  const std::string address = body.is_object() ? body.value("address", "") : "";
  int64_t seconds = 0;
  if (body.is_object() && body.contains("seconds")) {
    const Json& given = body["seconds"];
    if (!given.is_number_integer() || given.get<int64_t>() < 0 ||
        given.get<int64_t>() > kMaxOperatorBanSeconds) {
      return SetError(response, 400, "Bad request: \"seconds\" is a whole number up to a year");
    }
    seconds = given.get<int64_t>();
  }
  size_t ended = 0;
  if (address.empty() ||
      !host_.BanAddress(address, seconds, "the operator (" + Describe(caller) + ")", ended)) {
    return SetError(response, 400, "Bad request: not an IPv4 address");
  }
  SetJson(response, {{"banned", true}, {"ended", ended}});
}

bool CControlDlg::AllowPasswordTry(const Caller& caller, HttpResponse& response) {
  int64_t waitMs = 0;
  const std::string source = caller.request->remoteAddress;
  if (sessions_.MayTryPassword(source, MonotonicMilliseconds(), waitMs)) return true;
  const int64_t seconds = (waitMs + 999) / 1000;
  SetJson(response,
          {{"result", "locked"},
           {"message", "Too many wrong passwords: try again in " + std::to_string(seconds) + " s"}},
          429);
  return false;
}

void CControlDlg::CountPasswordFailure(const Caller& caller, const char* where) {
  const bool locked =
      sessions_.RecordFailure(caller.request->remoteAddress, MonotonicMilliseconds());
  LogAction(caller, std::string("wrong administrator password (") + where + ")");
  if (locked) {
    LogAction(caller, "password tries from " + caller.request->remoteAddress + " locked for " +
                          std::to_string(kConsoleLockoutMs / 1000) + " s after " +
                          std::to_string(kConsoleFailureLimit) + " wrong passwords;");
  }
}

void CControlDlg::Authenticate(const Caller& caller, HttpResponse& response) {
  const Json request = Json::parse(caller.request->body, nullptr, false);
  if (!request.is_object()) return SetError(response, 400, "Bad request");
  // SECURITY: the clear-text window belongs to one browser session; a token caller has none.
  if (!caller.session) return SetError(response, 400, "Only a browser session authenticates");
  if (request.value("cancel", false)) {
    sessions_.SetAuthenticated(*caller.session, false, MonotonicMilliseconds());
    UpdateClearTextFlag();
    return SetJson(response, {{"result", "closed"}});
  }
  const auto password = request.find("password");
  if (password == request.end() || !password->is_string()) {
    return SetError(response, 400, "Bad request");
  }
  if (!AllowPasswordTry(caller, response)) return;
  CPasswordDlg dialog;
  const PasswordResult result = dialog.Check(password->get<std::string>());
  if (result == PasswordResult::kAccepted) {
    sessions_.RecordSuccess(caller.request->remoteAddress);
    sessions_.SetAuthenticated(*caller.session, true, MonotonicMilliseconds());
    UpdateClearTextFlag();
    LogAction(caller, "administrator authenticated (passwords shown to this session for " +
                          std::to_string(kAuthenticationMs / 1000) + " s)");
    return SetJson(response, {{"result", "accepted"}});
  }
  CountPasswordFailure(caller, "Authenticate");
  if (result == PasswordResult::kRetry) {
    return SetJson(response, {{"result", "retry"}, {"message", "Invalid password!"}});
  }
  sessions_.SetAuthenticated(*caller.session, false, MonotonicMilliseconds());
  UpdateClearTextFlag();
  SetJson(response, {{"result", "closed"}, {"message", "Invalid password!"}});
}

void CControlDlg::ServeLoginPage(const std::string& message, int status,
                                 HttpResponse& response) const {
  std::string_view content;
  std::string_view type;
  if (!ConsolePageAsset("/login.html", content, type)) return SetError(response, 500, "No page");
  response.status = status;
  response.contentType = std::string(type);
  // The message is one of ours; nothing the request sent goes into the page.
  response.body = Replace(
      Replace(Replace(std::string(content), "{{MESSAGE_HIDDEN}}", message.empty() ? " hidden" : ""),
              "{{MESSAGE}}", message),
      "{{VERSION}}", options_.version);
}

void CControlDlg::RedeemLoginKey(const Caller& caller, HttpResponse& response) {
  const std::string key = caller.request->Query("key");
  const auto cookie = sessions_.RedeemLoginKey(key, caller.where, MonotonicMilliseconds());
  if (!cookie) {
    LogAction(caller, "login link refused (used already, expired or unknown)");
    return ServeLoginPage("This login link was used already or has expired.", 403, response);
  }
  const auto session = sessions_.Find(*cookie, MonotonicMilliseconds());
  Caller signedIn = caller;
  signedIn.session = session;
  LogAction(signedIn, "signed in with a login link");
  response.status = 303;
  response.headers.emplace_back("Location", "/");
  response.headers.emplace_back("Set-Cookie", std::string(kConsoleCookie) + "=" + *cookie +
                                                  "; Path=/; HttpOnly; SameSite=Strict");
  response.body = "Signed in\n";
}

void CControlDlg::PasswordLogin(const Caller& caller, HttpResponse& response) {
  const Json request = Json::parse(caller.request->body, nullptr, false);
  const auto password = request.is_object() ? request.find("password") : request.end();
  if (!request.is_object() || password == request.end() || !password->is_string()) {
    return SetError(response, 400, "Bad request");
  }
  if (!AllowPasswordTry(caller, response)) return;
  if (!CPasswordDlg::Matches(password->get<std::string>())) {
    CountPasswordFailure(caller, "sign-in");
    return SetJson(response, {{"result", "retry"}, {"message", "Invalid password!"}});
  }
  sessions_.RecordSuccess(caller.request->remoteAddress);
  const auto cookie = sessions_.OpenSession(caller.where, MonotonicMilliseconds());
  if (!cookie) return SetError(response, 500, "No random numbers for a session");
  Caller signedIn = caller;
  signedIn.session = sessions_.Find(*cookie, MonotonicMilliseconds());
  LogAction(signedIn, "signed in with an administrator password");
  response.headers.emplace_back("Set-Cookie", std::string(kConsoleCookie) + "=" + *cookie +
                                                  "; Path=/; HttpOnly; SameSite=Strict");
  SetJson(response, {{"result", "accepted"}});
}

void CControlDlg::Serve(const Caller& caller, HttpResponse& response) {
  const HttpRequest& request = *caller.request;
  const std::string& path = request.path;
  if (request.method == "GET") {
    if (path == "/login") {
      if (!request.Query("key").empty()) return RedeemLoginKey(caller, response);
      return ServeLoginPage("", 200, response);
    }
    if (path == "/api/state") {
      response.contentType = "application/json";
      response.body = StateJson(caller);
      return;
    }
    if (path == "/api/sessions") return SetJson(response, {{"sessions", SessionsJson()}});
    if (path == "/api/events") return StartEvents(caller, response);
    if (path == "/metrics") {
      response.contentType = "text/plain; version=0.0.4; charset=utf-8";
      response.body = host_.MetricsText();
      return;
    }
    if (path == "/api/bans") {
      Json bans = Json::array();
      for (const auto& [address, seconds] : host_.ListBans()) {
        bans.push_back({{"address", address}, {"seconds", seconds}});
      }
      return SetJson(response, {{"bans", bans}});
    }
    if (path == "/api/log") {
      const std::string since = request.Query("since");
      char* end = nullptr;
      const uint64_t position = since.empty() ? 0 : std::strtoull(since.c_str(), &end, 10);
      const bool fromStart = since.empty() || end == nullptr || *end != '\0';
      bool showPasswords = false;
      if (caller.session) {
        showPasswords = sessions_.AuthenticatedMsLeft(*caller.session, MonotonicMilliseconds()) > 0;
      } else if (request.Query("passwords") == "1") {
        // SECURITY: only root's reader sees passwords in clear; it keeps them coming while
        // it follows the log (a long poll lasts 10 s).
        if (!IsRootCaller(caller)) return SetError(response, 403, "Passwords are for root only");
        if (fromStart) LogAction(caller, "log with passwords in clear opened");
        rootReaderUntilMs_.store(MonotonicMilliseconds() + 3 * kLongPollMs);
        UpdateClearTextFlag();
        showPasswords = true;
      }
      if (!fromStart && request.Query("wait") == "1") {
        // The wait holds a thread beside the pool's; past the bound it answers at once.
        CHttpLongWait wait;
        if (wait.Granted()) log_.WaitForChange(position, kLongPollMs);
      }
      const CConsoleLog::Slice slice = log_.Read(position, fromStart, showPasswords);
      return SetJson(response, {{"reset", slice.reset},
                                {"entries", LogEntriesJson(slice)},
                                {"next", slice.next},
                                {"limit", log_.Limit()},
                                {"authenticated", showPasswords}});
    }
    std::string_view content;
    std::string_view type;
    if (path == "/" && !caller.session && !caller.token) return ServeLoginPage("", 200, response);
    const std::string asset = path == "/" ? "/index.html" : path;
    if (asset != "/login.html" && ConsolePageAsset(asset, content, type)) {
      response.contentType = std::string(type);
      response.body = std::string(content);
      if (asset == "/index.html")
        response.body = Replace(response.body, "{{VERSION}}", options_.version);
      return;
    }
    return SetError(response, 404, "Not found");
  }
  // POST
  if (path == "/login") return PasswordLogin(caller, response);
  if (path == "/api/listener") {
    const Json body = Json::parse(request.body, nullptr, false);
    const std::string action = body.is_object() ? body.value("action", "") : "";
    bool stop;
    if (action == "toggle") {
      stop = host_.IsServerActive();
    } else if (action == "activate" || action == "deactivate") {
      stop = action == "deactivate";
    } else {
      return SetError(response, 400, "Bad request");
    }
    const bool done = host_.StartStopServer(stop);
    LogAction(caller, std::string(stop ? "service deactivated" : "service activated") +
                          (done ? "" : " (failed)"));
    response.status = done ? 200 : 500;
    response.contentType = "application/json";
    response.body = StateJson(caller);
    return;
  }
  if (path == "/api/clear") {
    log_.Clear();
    LogAction(caller, "log cleared");
    return SetJson(response, {{"cleared", true}});
  }
  if (path == "/api/stop") {
    const bool running = host_.IsServiceRunning();
    LogAction(caller, "service stopped (End FTP Session)");
    if (running) stopping_ = true;  // open pages hear of it before the console closes
    if (running) host_.RequestStop();
    return SetJson(response, {{"stopping", running}});
  }
  if (path == "/api/sessions/kick") return Kick(caller, response);
  if (path == "/api/bans/add") return Ban(caller, response);
  if (path == "/api/bans/lift") {
    const Json body = Json::parse(request.body, nullptr, false);
    const std::string address = body.is_object() ? body.value("address", "") : "";
    if (address.empty()) return SetError(response, 400, "Bad request");
    const bool lifted = host_.LiftBan(address);
    if (lifted) LogAction(caller, "ban of " + address + " lifted");
    return SetJson(response, {{"lifted", lifted}});
  }
  if (path == "/api/login-link") {
    // SECURITY: a link is handed only to the token file's reader, never to a browser.
    if (!caller.token) return SetError(response, 403, "Forbidden");
    const std::string key = sessions_.IssueLoginKey(MonotonicMilliseconds());
    if (key.empty()) return SetError(response, 500, "No random numbers for a key");
    LogAction(caller, "one-time login link issued");
    return SetJson(response,
                   {{"path", "/login?key=" + key}, {"seconds", kLoginKeyLifetimeMs / 1000}});
  }
  if (path == "/api/logout") {
    if (caller.session) {
      LogAction(caller, "signed out");
      sessions_.CloseSession(*caller.session);
      UpdateClearTextFlag();
    }
    response.headers.emplace_back(
        "Set-Cookie",
        std::string(kConsoleCookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
    return SetJson(response, {{"signedOut", true}});
  }
  if (path == "/api/authenticate") return Authenticate(caller, response);
  SetError(response, 404, "Not found");
}

}  // namespace zelm
