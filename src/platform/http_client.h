// HttpCall: one HTTP/1.1 request to a server on this machine (the operator's tool talking to
// the console), with plain structs in and out.
//
// Thread safety: re-entrant.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zelm {

struct HttpCallResult {
  bool reached = false;  // false: no connection, or no complete answer in time
  int status = 0;
  std::string body;
};

// Sends `method` ("GET" or "POST") for `path` (with its query) to `address`:`port` with the
// given extra headers and, for POST, `body` as JSON. Waits at most `timeoutMs` for the answer.
HttpCallResult HttpCall(const std::string& address, uint16_t port, const std::string& method,
                        const std::string& path,
                        const std::vector<std::pair<std::string, std::string>>& headers,
                        const std::string& body, int timeoutMs);

}  // namespace zelm
