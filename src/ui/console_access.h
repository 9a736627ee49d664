// Who may use the console: the checks every request passes before it is served.
//
// - DNS rebinding: the Host header must name this machine's loopback ("localhost",
//   127.0.0.0/8, [::1]) or the console's own address literally; anything else is 403.
// - Cross-site requests: every /api/ request carries the per-process token (header
//   `X-Console-Token`) that the page embeds and zelmftp writes to the token file; a POST whose
//   Origin header is present must come from the console's own origin. Otherwise 403.
// - A console bound to an address other than loopback is reachable from the network, and its
//   log shows user names and addresses: then every request also needs HTTP Basic
//   authentication with an administrator password (any user name); otherwise 401.
//
// Thread safety: the functions are pure; `CConsoleAccess` may be used from any thread, its
// remembered login guarded by `loginMutex_`.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/http_server.h"
#include "platform/thread_annotations.h"

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

class CConsoleAccess final {
 public:
  // `verifyPassword` checks an administrator password (used when `requireLogin`);
  // `passwordState` returns something that changes whenever the stored passwords change, so
  // that a login verified once is verified again after a change (scrypt is slow on purpose,
  // and the page asks twice a second).
  CConsoleAccess(std::string token, std::string consoleAddress, bool requireLogin,
                 std::function<bool(std::string_view)> verifyPassword,
                 std::function<std::string()> passwordState);

  ConsoleAccess Check(const HttpRequest& request);
  const std::string& Token() const { return token_; }

 private:
  bool LoginAccepted(const std::string& authorization);

  const std::string token_;
  const std::string consoleAddress_;
  const bool requireLogin_;
  std::function<bool(std::string_view)> verifyPassword_;
  std::function<std::string()> passwordState_;
  CMutex loginMutex_;  // never held while a password is verified
  // The last Authorization value that verified, and the password state it verified against.
  std::string acceptedLogin_ ZELM_GUARDED_BY(loginMutex_);
  std::string acceptedState_ ZELM_GUARDED_BY(loginMutex_);
};

}  // namespace zelm
