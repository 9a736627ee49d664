// Owns the console's request checks: Host, token, origin and the administrator's login.
#include "ui/console_access.h"

#include <cctype>
#include <charconv>

namespace zelm {
namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

// Splits "name:port", "[v6]:port", "name" or "[v6]" into the name (brackets kept).
bool HostName(std::string_view host, std::string_view& name) {
  if (host.empty()) return false;
  if (host.front() == '[') {
    const size_t close = host.find(']');
    if (close == std::string_view::npos) return false;
    name = host.substr(0, close + 1);
    host.remove_prefix(close + 1);
  } else {
    const size_t colon = host.find(':');
    name = host.substr(0, colon);
    host.remove_prefix(colon == std::string_view::npos ? host.size() : colon);
  }
  if (host.empty()) return !name.empty();
  if (host.front() != ':' || host.size() < 2 || host.size() > 6) return false;
  for (char c : host.substr(1)) {
    if (c < '0' || c > '9') return false;
  }
  return !name.empty();
}

// A strict dotted quad ("127.0.0.1"); fills the first octet.
bool DottedQuad(std::string_view text, unsigned& first) {
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (text.empty() || text.front() != '.') return false;
      text.remove_prefix(1);
    }
    unsigned octet = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), octet);
    const size_t digits = static_cast<size_t>(end - text.data());
    if (ec != std::errc() || digits == 0 || digits > 3 || octet > 255) return false;
    if (digits > 1 && text.front() == '0') return false;  // no octal-looking octets
    if (i == 0) first = octet;
    text.remove_prefix(digits);
  }
  return text.empty();
}

}  // namespace

bool IsLoopbackAddress(std::string_view address) {
  unsigned first = 0;
  if (DottedQuad(address, first)) return first == 127;
  const std::string lower = Lower(address);
  return lower == "::1" || lower == "[::1]";
}

bool IsAllowedConsoleHost(std::string_view host, std::string_view consoleAddress) {
  std::string_view name;
  if (!HostName(host, name)) return false;
  const std::string lower = Lower(name);
  if (lower == "localhost" || lower == "localhost.") return true;
  if (IsLoopbackAddress(lower)) return true;
  if (consoleAddress.empty()) return false;
  const std::string own = Lower(consoleAddress);
  return lower == own || lower == "[" + own + "]";
}

bool SameSecret(std::string_view a, std::string_view b) {
  unsigned char difference = a.size() == b.size() ? 0 : 1;
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return difference == 0;
}

bool IsPublicConsolePath(std::string_view method, std::string_view path) {
  if (method == "GET") {
    return path == "/login" || path == "/login.js" || path == "/console.css";
  }
  return method == "POST" && path == "/login";
}

CConsoleAccess::CConsoleAccess(std::string token, std::string consoleAddress)
    : token_(std::move(token)), consoleAddress_(std::move(consoleAddress)) {}

bool CConsoleAccess::HasToken(const HttpRequest& request) const {
  return !token_.empty() && request.HasHeader(kConsoleTokenHeader) &&
         SameSecret(request.Header(kConsoleTokenHeader), token_);
}

ConsoleAccess CConsoleAccess::Check(const HttpRequest& request, bool browserSession) const {
  // SECURITY: a page on another site may make a browser send requests here; only requests
  // that name this console as their host are looked at.
  if (!request.HasHeader("Host") ||
      !IsAllowedConsoleHost(request.Header("Host"), consoleAddress_)) {
    return ConsoleAccess::kForbidden;
  }
  if (request.method == "POST" && request.HasHeader("Origin") &&
      Lower(request.Header("Origin")) != "http://" + Lower(request.Header("Host"))) {
    return ConsoleAccess::kForbidden;
  }
  if (IsPublicConsolePath(request.method, request.path)) return ConsoleAccess::kAllowed;
  if (request.path.rfind("/api/", 0) == 0 || request.path == "/metrics") {
    // SECURITY: the interface (and the metrics) serve a caller that proved itself: the token
    // file's reader or a browser session; reading the page gives neither.
    return HasToken(request) || browserSession ? ConsoleAccess::kAllowed
                                               : ConsoleAccess::kUnauthorized;
  }
  // The console page (a browser without a session gets the login page instead) and its
  // script; nothing else is served.
  if (request.method != "GET") return ConsoleAccess::kForbidden;
  return ConsoleAccess::kAllowed;
}

}  // namespace zelm
