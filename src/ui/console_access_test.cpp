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

TEST(ConsoleAccess, TheInterfaceServesTheTokenOrASessionNeverThePage) {
  CConsoleAccess access("t0ken", "127.0.0.1");
  const std::pair<std::string, std::string> host{"Host", "127.0.0.1:8021"};
  const std::pair<std::string, std::string> token{"X-Console-Token", "t0ken"};
  const std::pair<std::string, std::string> ownOrigin{"Origin", "http://127.0.0.1:8021"};
  struct Case {
    const char* name;
    HttpRequest request;
    bool session;
    ConsoleAccess expected;
  };
  const Case cases[] = {
      {"page (sign-in or console)", Request("GET", "/", {host}), false, ConsoleAccess::kAllowed},
      {"sign-in page", Request("GET", "/login", {host}), false, ConsoleAccess::kAllowed},
      {"password sign-in", Request("POST", "/login", {host, ownOrigin}), false,
       ConsoleAccess::kAllowed},
      {"password sign-in from another site",
       Request("POST", "/login", {host, {"Origin", "http://evil.example"}}), false,
       ConsoleAccess::kForbidden},
      {"page for another host", Request("GET", "/", {{"Host", "evil.example"}}), false,
       ConsoleAccess::kForbidden},
      {"no Host at all", Request("GET", "/", {}), false, ConsoleAccess::kForbidden},
      {"log with nothing", Request("GET", "/api/log", {host}), false, ConsoleAccess::kUnauthorized},
      {"log with a session", Request("GET", "/api/log", {host}), true, ConsoleAccess::kAllowed},
      {"state with token", Request("GET", "/api/state", {host, token}), false,
       ConsoleAccess::kAllowed},
      {"stop without token", Request("POST", "/api/stop", {host}), false,
       ConsoleAccess::kUnauthorized},
      {"stop with a wrong token",
       Request("POST", "/api/stop", {host, {"X-Console-Token", "t0kem"}}), false,
       ConsoleAccess::kUnauthorized},
      {"stop with a longer token",
       Request("POST", "/api/stop", {host, {"X-Console-Token", "t0ken1"}}), false,
       ConsoleAccess::kUnauthorized},
      {"stop from the page", Request("POST", "/api/stop", {host, ownOrigin}), true,
       ConsoleAccess::kAllowed},
      {"stop from the tool (no Origin)", Request("POST", "/api/stop", {host, token}), false,
       ConsoleAccess::kAllowed},
      {"stop from another site",
       Request("POST", "/api/stop", {host, {"Origin", "http://evil.example"}}), true,
       ConsoleAccess::kForbidden},
      {"session but rebound host", Request("POST", "/api/stop", {{"Host", "evil.example"}}), true,
       ConsoleAccess::kForbidden},
      {"post to the page", Request("POST", "/", {host, token}), false, ConsoleAccess::kForbidden},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(access.Check(c.request, c.session), c.expected) << c.name;
  }
  // Off loopback the same rules hold for the console's own address.
  CConsoleAccess lan("t0ken", "192.168.1.5");
  EXPECT_EQ(lan.Check(Request("GET", "/api/log", {{"Host", "192.168.1.5:8021"}}), false),
            ConsoleAccess::kUnauthorized);
  EXPECT_EQ(lan.Check(Request("GET", "/login", {{"Host", "192.168.1.5:8021"}}), false),
            ConsoleAccess::kAllowed);
}

}  // namespace
}  // namespace zelm
