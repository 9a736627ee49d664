// Owns the operator tool's HTTP requests to the console (cpp-httplib's client).
#include "platform/http_client.h"

#include <httplib.h>

namespace zelm {

HttpCallResult HttpCall(const std::string& address, uint16_t port, const std::string& method,
                        const std::string& path,
                        const std::vector<std::pair<std::string, std::string>>& headers,
                        const std::string& body, int timeoutMs) {
  HttpCallResult result;
  httplib::Client client(address, port);
  const time_t seconds = timeoutMs / 1000;
  const time_t microseconds = (timeoutMs % 1000) * 1000;
  client.set_connection_timeout(seconds, microseconds);
  client.set_read_timeout(seconds, microseconds);
  client.set_write_timeout(seconds, microseconds);
  httplib::Headers sent;
  for (const auto& [name, value] : headers) sent.emplace(name, value);
  httplib::Result answer = method == "POST"
                               ? client.Post(path.c_str(), sent, body, "application/json")
                               : client.Get(path.c_str(), sent);
  if (!answer) return result;
  result.reached = true;
  result.status = answer->status;
  result.body = answer->body;
  return result;
}

}  // namespace zelm
