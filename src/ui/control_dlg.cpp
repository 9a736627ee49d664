// Owns the console: its HTTP routes, the 500 ms flush and the administrator's authentication.
#include "ui/control_dlg.h"

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <nlohmann/json.hpp>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/secret_file.h"
#include "platform/small_file.h"
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
  access_ = std::make_unique<CConsoleAccess>(
      RandomHex(kTokenBytes), options_.address, !IsLoopbackAddress(options_.address),
      [](std::string_view password) { return CPasswordDlg::Matches(password); },
      [] {
        std::string state;
        for (const char* name : kAdminPasswordSettings) state += ReadSettingString(name) + "\n";
        return state;
      });
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
    error_ = "cannot listen on " + options_.address + " port " + std::to_string(options_.port);
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
  SetLogSink(nullptr);
  log_.Shutdown();  // readers waiting for entries are answered now
  {
    CMutexLock lock(timerMutex_);
    stopTimer_ = true;
  }
  timerWake_.notify_all();
  if (timer_.joinable()) timer_.join();
  server_.Stop();
  if (!options_.tokenPath.empty()) {
    std::string content;
    // Another zelmftp may have taken the file over since; only our own token is removed.
    if (ReadSmallFile(options_.tokenPath, 4096, content) == SmallFileResult::kOk &&
        content == Token() + "\n") {
      RemoveFile(options_.tokenPath);
    }
  }
  SetAuthenticated(false);
}

void CControlDlg::AddLog(const std::string& entry, const std::string& maskedEntry) {
  log_.AddLog(entry, maskedEntry);
}

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
  CMutexLock lock(authMutex_);
  if (authenticated_ && MonotonicMilliseconds() - authTime_ > kAuthenticationMs) {
    SetAuthenticatedLocked(false);
  }
}

void CControlDlg::SetAuthenticated(bool authenticated) {
  CMutexLock lock(authMutex_);
  SetAuthenticatedLocked(authenticated);
}

void CControlDlg::SetAuthenticatedLocked(bool authenticated) {
  authenticated_ = authenticated;
  authTime_ = authenticated ? MonotonicMilliseconds() : 0;
  SetAdministratorAuthenticated(authenticated);
  log_.Wake();  // waiting readers learn whether passwords are shown or masked now
}

void CControlDlg::Handle(const HttpRequest& request, HttpResponse& response) {
  switch (access_->Check(request)) {
    case ConsoleAccess::kForbidden:
      SetError(response, 403, "Forbidden");
      break;
    case ConsoleAccess::kUnauthorized:
      SetError(response, 401, "The console asks for an administrator password");
      response.headers.emplace_back("WWW-Authenticate",
                                    "Basic realm=\"ZelmFTP Service\", charset=\"UTF-8\"");
      break;
    case ConsoleAccess::kAllowed:
      Serve(request, response);
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

std::string CControlDlg::StateJson() {
  const bool active = host_.IsServerActive();
  int64_t remaining = 0;
  bool authenticated = false;
  {
    CMutexLock lock(authMutex_);
    authenticated = authenticated_;
    if (authenticated) remaining = kAuthenticationMs - (MonotonicMilliseconds() - authTime_);
  }
  Json state = {
      {"active", active},
      {"status", active ? "Service Active" : "Service Inactive!"},
      {"button", active ? "Deactivate Service" : "Activate Service"},
      {"detail", host_.StatusText()},
      {"running", host_.IsServiceRunning()},
      {"authenticated", authenticated},
      {"authenticatedMs", remaining > 0 ? remaining : 0},
      {"passwordSet", CPasswordDlg::AnyPasswordSet()},
  };
  return Dump(state);
}

void CControlDlg::Authenticate(const std::string& body, HttpResponse& response) {
  const Json request = Json::parse(body, nullptr, false);
  if (!request.is_object()) return SetError(response, 400, "Bad request");
  if (request.value("cancel", false)) {
    SetAuthenticated(false);
    return SetJson(response, {{"result", "closed"}});
  }
  const auto password = request.find("password");
  if (password == request.end() || !password->is_string()) {
    return SetError(response, 400, "Bad request");
  }
  CPasswordDlg dialog;
  switch (dialog.Check(password->get<std::string>())) {
    case PasswordResult::kAccepted:
      SetAuthenticated(true);
      return SetJson(response, {{"result", "accepted"}});
    case PasswordResult::kRetry:
      return SetJson(response, {{"result", "retry"}, {"message", "Invalid password!"}});
    case PasswordResult::kCancelled:
      SetAuthenticated(false);
      return SetJson(response, {{"result", "closed"}, {"message", "Invalid password!"}});
  }
}

void CControlDlg::Serve(const HttpRequest& request, HttpResponse& response) {
  const std::string& path = request.path;
  if (request.method == "GET") {
    if (path == "/api/state") {
      response.contentType = "application/json";
      response.body = StateJson();
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
      if (!fromStart && request.Query("wait") == "1") log_.WaitForChange(position, kLongPollMs);
      const bool authenticated = IsAdministratorAuthenticated();
      const CConsoleLog::Slice slice = log_.Read(position, fromStart, authenticated);
      return SetJson(response, {{"reset", slice.reset},
                                {"text", slice.text},
                                {"next", slice.next},
                                {"limit", log_.Limit()},
                                {"authenticated", authenticated}});
    }
    std::string_view content;
    std::string_view type;
    const std::string asset = path == "/" ? "/index.html" : path;
    if (ConsolePageAsset(asset, content, type)) {
      response.contentType = std::string(type);
      response.body = std::string(content);
      if (asset == "/index.html") {
        response.body =
            Replace(Replace(response.body, "{{TOKEN}}", Token()), "{{VERSION}}", options_.version);
      }
      return;
    }
    return SetError(response, 404, "Not found");
  }
  // POST
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
    response.status = done ? 200 : 500;
    response.contentType = "application/json";
    response.body = StateJson();
    return;
  }
  if (path == "/api/clear") {
    log_.Clear();
    return SetJson(response, {{"cleared", true}});
  }
  if (path == "/api/stop") {
    const bool running = host_.IsServiceRunning();
    if (running) host_.RequestStop();
    return SetJson(response, {{"stopping", running}});
  }
  if (path == "/api/bans/lift") {
    const Json body = Json::parse(request.body, nullptr, false);
    const std::string address = body.is_object() ? body.value("address", "") : "";
    if (address.empty()) return SetError(response, 400, "Bad request");
    return SetJson(response, {{"lifted", host_.LiftBan(address)}});
  }
  if (path == "/api/authenticate") return Authenticate(request.body, response);
  SetError(response, 404, "Not found");
}

}  // namespace zelm
