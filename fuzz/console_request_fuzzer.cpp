// Fuzz target: any HTTP request through the console's handler, as a browser or a program on
// this machine could send it (method, path, query, headers and body from the input).
//
// The caller never holds the token, and holds a session cookie only when the input asks for
// the one the target signed in with. Whatever the request, the handler must not crash, no
// answer may carry the token, and without a session nothing of the interface (`/api/`, the
// metrics, the event stream) may be served.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ftp/session_log.h"
#include "server/settings.h"
#include "ui/control_dlg.h"

namespace {

class CQuietHost final : public zelm::CConsoleHost {
 public:
  bool StartStopServer(bool) override { return true; }
  bool IsServerActive() override { return true; }
  std::string StatusText() override { return "Listening"; }
  bool IsServiceRunning() override { return false; }
  void RequestStop() override {}
};

// Cuts the next field (up to a newline) off `rest`.
std::string Field(std::string_view& rest) {
  const size_t end = rest.find('\n');
  std::string field(rest.substr(0, end));
  rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  return field;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static CQuietHost host;
  static zelm::CControlDlg* console = [] {
    zelm::SetJournalLogging(false);
    zelm::UseSettingsStore("/nonexistent/zelm-fuzz/settings.db");  // no passwords at all
    zelm::ConsoleOptions options;
    options.runTimer = false;
    return new zelm::CControlDlg(host, options);
  }();
  if (size < 2) return 0;
  std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);
  zelm::HttpRequest request;
  request.method = (data[0] & 1) != 0 ? "POST" : "GET";
  request.path = Field(rest);
  const std::string query = Field(rest);
  if (!query.empty())
    request.query.emplace_back(query.substr(0, query.find('=')), query.substr(query.find('=') + 1));
  request.headers.emplace_back("Host", (data[1] & 1) != 0 ? Field(rest) : "127.0.0.1:8021");
  for (int i = 0; i < 4 && !rest.empty(); ++i) {
    const std::string line = Field(rest);
    const size_t colon = line.find(':');
    request.headers.emplace_back(line.substr(0, colon),
                                 colon == std::string::npos ? "" : line.substr(colon + 1));
  }
  request.body = std::string(rest);
  request.remoteAddress = "127.0.0.1";
  zelm::HttpResponse response;
  console->Handle(request, response);
  const std::string& token = console->Token();
  if (response.body.find(token) != std::string::npos) std::abort();
  for (const auto& [name, value] : response.headers) {
    if (value.find(token) != std::string::npos) std::abort();
  }
  const bool api = request.path.rfind("/api/", 0) == 0 || request.path == "/metrics";
  if (api && response.status == 200) std::abort();  // no session, no token: nothing served
  if (response.stream) std::abort();                // nor a stream of it
  return 0;
}
