// Who may use the console: the checks every request passes before it is served.
//
// - DNS rebinding: the Host header must name this machine's loopback ("localhost",
//   127.0.0.0/8, [::1]) or the console's own address literally; anything else is 403.
// - The caller, not the page: the page holds no secret. An /api/ request is served for
//   `zelmftpctl` when it carries the per-process token of the 0600 token file (header
//   `X-Console-Token`), and for a browser when it carries the cookie of a console session
//   (console_sessions.h); otherwise 401. The login page, its script and style sheet, and
//   the login requests themselves are open to anyone who names the right host.
// - Cross-site requests: a POST whose Origin header is present must come from the console's
//   own origin (the session cookie is SameSite=Strict besides); otherwise 403.
//
// Thread safety: the functions are pure and `CConsoleAccess` is immutable: any thread.
#pragma once

#include <string>
#include <string_view>

#include "platform/http_server.h"

namespace zelm {

inline constexpr const char* kConsoleTokenHeader = "X-Console-Token";

// Whether `host` (a Host header: name or address, with or without ":port") names this
// machine's loopback or is the literal `consoleAddress`.
bool IsAllowedConsoleHost(std::string_view host, std::string_view consoleAddress);
// Whether `address` (a literal) is a loopback address.
bool IsLoopbackAddress(std::string_view address);
// Compares two secrets in a time that does not depend on where they differ.
bool SameSecret(std::string_view a, std::string_view b);

enum class ConsoleAccess { kAllowed, kForbidden, kUnauthorized };

// Paths anyone may fetch: the login page and what it needs.
bool IsPublicConsolePath(std::string_view method, std::string_view path);

class CConsoleAccess final {
 public:
  CConsoleAccess(std::string token, std::string consoleAddress);

  // `browserSession`: the request carries the cookie of a live console session.
  ConsoleAccess Check(const HttpRequest& request, bool browserSession) const;
  // The request carries the right token (`zelmftpctl`).
  bool HasToken(const HttpRequest& request) const;
  const std::string& Token() const { return token_; }

 private:
  const std::string token_;
  const std::string consoleAddress_;
};

}  // namespace zelm
