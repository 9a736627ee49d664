#include "ui/console_access.h"

#include <gtest/gtest.h>

namespace zelm {
namespace {

TEST(ConsoleAccess, HostHeaderMustNameLoopbackOrTheConsoleItself) {
  struct Case {
    const char* host;
    const char* consoleAddress;
    bool allowed;
  };
  const Case cases[] = {
      {"127.0.0.1:8021", "127.0.0.1", true},
      {"127.0.0.1", "127.0.0.1", true},
      {"127.44.0.9:1", "127.0.0.1", true},
      {"localhost:8021", "127.0.0.1", true},
      {"LocalHost", "127.0.0.1", true},
      {"[::1]:8021", "127.0.0.1", true},
      {"192.168.1.5:8021", "192.168.1.5", true},
      {"[fe80::1]:8021", "fe80::1", true},
      {"evil.example", "127.0.0.1", false},
      {"evil.example:8021", "127.0.0.1", false},
      {"127.0.0.1.evil.example", "127.0.0.1", false},
      {"localhost.evil.example:8021", "127.0.0.1", false},
      {"192.168.1.5:8021", "127.0.0.1", false},
      {"", "127.0.0.1", false},
      {":8021", "127.0.0.1", false},
      {"127.0.0.1:80x", "127.0.0.1", false},
      {"127.0.0.1:8021:1", "127.0.0.1", false},
      {"0177.0.0.1", "127.0.0.1", false},
      {"2130706433", "127.0.0.1", false},
      {"127.0.0.256", "127.0.0.1", false},
      {"[::1", "127.0.0.1", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsAllowedConsoleHost(c.host, c.consoleAddress), c.allowed)
        << c.host << " at " << c.consoleAddress;
  }
}

HttpRequest Request(const char* method, const char* path,
                    std::vector<std::pair<std::string, std::string>> headers) {
  HttpRequest request;
  request.method = method;
  request.path = path;
  request.headers = std::move(headers);
  return request;
}

TEST(ConsoleAccess, TokenAndOriginGuardTheInterface) {
  CConsoleAccess access("t0ken", "127.0.0.1", false, nullptr, nullptr);
  const std::pair<std::string, std::string> host{"Host", "127.0.0.1:8021"};
  const std::pair<std::string, std::string> token{"X-Console-Token", "t0ken"};
  struct Case {
    const char* name;
    HttpRequest request;
    ConsoleAccess expected;
  };
  const Case cases[] = {
      {"page without token", Request("GET", "/", {host}), ConsoleAccess::kAllowed},
      {"page for another host", Request("GET", "/", {{"Host", "evil.example"}}),
       ConsoleAccess::kForbidden},
      {"no Host at all", Request("GET", "/", {}), ConsoleAccess::kForbidden},
      {"state with token", Request("GET", "/api/state", {host, token}), ConsoleAccess::kAllowed},
      {"state without token", Request("GET", "/api/state", {host}), ConsoleAccess::kForbidden},
      {"stop without token", Request("POST", "/api/stop", {host}), ConsoleAccess::kForbidden},
      {"stop with a wrong token",
       Request("POST", "/api/stop", {host, {"X-Console-Token", "t0kem"}}),
       ConsoleAccess::kForbidden},
      {"stop with a longer token",
       Request("POST", "/api/stop", {host, {"X-Console-Token", "t0ken1"}}),
       ConsoleAccess::kForbidden},
      {"stop from the page",
       Request("POST", "/api/stop", {host, token, {"Origin", "http://127.0.0.1:8021"}}),
       ConsoleAccess::kAllowed},
      {"stop from the tool (no Origin)", Request("POST", "/api/stop", {host, token}),
       ConsoleAccess::kAllowed},
      {"stop from another site",
       Request("POST", "/api/stop", {host, token, {"Origin", "http://evil.example"}}),
       ConsoleAccess::kForbidden},
      {"token but rebound host", Request("POST", "/api/stop", {{"Host", "evil.example"}, token}),
       ConsoleAccess::kForbidden},
      {"post to the page", Request("POST", "/", {host, token}), ConsoleAccess::kForbidden},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(access.Check(c.request), c.expected) << c.name;
  }
}

TEST(ConsoleAccess, AConsoleOffLoopbackAsksForTheAdministratorsPassword) {
  int verified = 0;
  std::string state = "hash-1";
  CConsoleAccess access(
      "t0ken", "192.168.1.5", true,
      [&](std::string_view password) {
        ++verified;
        return password == "right";
      },
      [&] { return state; });
  const std::pair<std::string, std::string> host{"Host", "192.168.1.5:8021"};
  // "admin:right" and "admin:wrong" in Base64.
  const std::pair<std::string, std::string> right{"Authorization", "Basic YWRtaW46cmlnaHQ="};
  const std::pair<std::string, std::string> wrong{"Authorization", "Basic YWRtaW46d3Jvbmc="};
  EXPECT_EQ(access.Check(Request("GET", "/", {host})), ConsoleAccess::kUnauthorized);
  EXPECT_EQ(access.Check(Request("GET", "/", {host, wrong})), ConsoleAccess::kUnauthorized);
  EXPECT_EQ(access.Check(Request("GET", "/", {host, {"Authorization", "Bearer x"}})),
            ConsoleAccess::kUnauthorized);
  EXPECT_EQ(access.Check(Request("GET", "/", {host, right})), ConsoleAccess::kAllowed);
  EXPECT_EQ(access.Check(Request("GET", "/api/state", {host, right})),
            ConsoleAccess::kForbidden);  // the token is still needed
  const int before = verified;
  EXPECT_EQ(access.Check(Request("GET", "/", {host, right})), ConsoleAccess::kAllowed);
  EXPECT_EQ(verified, before);  // a verified login is not hashed again...
  state = "hash-2";
  EXPECT_EQ(access.Check(Request("GET", "/", {host, right})), ConsoleAccess::kAllowed);
  EXPECT_EQ(verified, before + 1);  // ...until the stored passwords change
  EXPECT_EQ(access.Check(Request("GET", "/", {{"Host", "evil.example"}, right})),
            ConsoleAccess::kForbidden);
}

}  // namespace
}  // namespace zelm
