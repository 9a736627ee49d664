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

bool DecodeBase64(std::string_view text, std::string& out) {
  out.clear();
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    int value;
    if (c >= 'A' && c <= 'Z')
      value = c - 'A';
    else if (c >= 'a' && c <= 'z')
      value = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      value = c - '0' + 52;
    else if (c == '+')
      value = 62;
    else if (c == '/')
      value = 63;
    else if (c == '=')
      break;
    else
      return false;
    bits = (bits << 6) | static_cast<uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return true;
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

CConsoleAccess::CConsoleAccess(std::string token, std::string consoleAddress, bool requireLogin,
                               std::function<bool(std::string_view)> verifyPassword,
                               std::function<std::string()> passwordState)
    : token_(std::move(token)),
      consoleAddress_(std::move(consoleAddress)),
      requireLogin_(requireLogin),
      verifyPassword_(std::move(verifyPassword)),
      passwordState_(std::move(passwordState)) {}

bool CConsoleAccess::LoginAccepted(const std::string& authorization) {
  constexpr std::string_view kBasic = "Basic ";
  if (authorization.size() <= kBasic.size() ||
      Lower(authorization.substr(0, kBasic.size())) != "basic ") {
    return false;
  }
  const std::string state = passwordState_ ? passwordState_() : std::string();
  {
    CMutexLock lock(loginMutex_);
    if (!acceptedLogin_.empty() && SameSecret(acceptedLogin_, authorization) &&
        acceptedState_ == state) {
      return true;
    }
  }
  std::string decoded;
  if (!DecodeBase64(std::string_view(authorization).substr(kBasic.size()), decoded)) return false;
  const size_t colon = decoded.find(':');
  if (colon == std::string::npos || !verifyPassword_ ||
      !verifyPassword_(decoded.substr(colon + 1))) {
    return false;
  }
  CMutexLock lock(loginMutex_);
  acceptedLogin_ = authorization;
  acceptedState_ = state;
  return true;
}

ConsoleAccess CConsoleAccess::Check(const HttpRequest& request) {
  // SECURITY: a page on another site may make a browser send requests here; only requests
  // that name this console as their host, and that carry its token, are served.
  if (!request.HasHeader("Host") ||
      !IsAllowedConsoleHost(request.Header("Host"), consoleAddress_)) {
    return ConsoleAccess::kForbidden;
  }
  if (requireLogin_ && !LoginAccepted(request.Header("Authorization"))) {
    return ConsoleAccess::kUnauthorized;
  }
  const bool api = request.path.rfind("/api/", 0) == 0;
  if (api && (token_.empty() || !SameSecret(request.Header(kConsoleTokenHeader), token_))) {
    return ConsoleAccess::kForbidden;
  }
  if (request.method == "POST" && request.HasHeader("Origin") &&
      Lower(request.Header("Origin")) != "http://" + Lower(request.Header("Host"))) {
    return ConsoleAccess::kForbidden;
  }
  if (request.method != "GET" && !api) return ConsoleAccess::kForbidden;
  return ConsoleAccess::kAllowed;
}

}  // namespace zelm
