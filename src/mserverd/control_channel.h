// The control channel of the reference management server: the requests the operator's
// commands (`zelm-mserver sessions`, `kick`, `publish`, `status`) send to the running daemon
// over its Unix-domain socket, and the replies.
//
// A request is the words of the command, each ended by "\n", then an empty line; it is at
// most kMaxControlRequest bytes. A reply is "ok\n" or "error\n" followed by text for the
// operator; the daemon closes the connection after it.
// Thread safety: pure functions, apart from `RunControlCommand`, which uses its own socket.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace zelm {

inline constexpr size_t kMaxControlRequest = 8192;

// The words of a request; false when a word holds a line end (it could not be sent).
bool EncodeControlRequest(const std::vector<std::string>& words, std::string& request);

enum class ControlParse { kIncomplete, kWhole, kBad };
// Parses the bytes received so far: kWhole fills `words`; kBad for a request that is too
// long or holds a zero byte.
ControlParse ParseControlRequest(std::string_view bytes, std::vector<std::string>& words);

std::string ControlReply(bool ok, std::string_view text);

// Sends `words` to the daemon at `socketPath` and prints the reply's text: to `out` when it
// is "ok" (returns 0), to `err` when it is an error (returns 1). When no daemon answers there,
// says so on `err` and returns 1.
int RunControlCommand(const std::string& socketPath, const std::vector<std::string>& words,
                      std::ostream& out, std::ostream& err, int timeoutMs = 10000);

// The control socket that belongs to a database: "control.sock" in the database's folder.
std::string ControlSocketFor(const std::string& database);

}  // namespace zelm
