// The control channel of the reference management server: the requests the operator's
// commands (`zelm-mserver sessions`, `kick`, `publish`, `status`) send to the running daemon
// over its Unix-domain socket, and the replies.
//
// A request is the words of the command, each ended by "\n", then an empty line; it is at
// most kMaxControlRequest bytes. A reply is "ok\n" or "error\n" followed by text for the
// operator; the daemon closes the connection after it.
//
// Both ends check the other: the daemon serves only clients of its own user or root, and the
// operator's side sends nothing to a socket that another user serves (someone else's socket
// put in the path's place in a shared folder would otherwise take the order and forge the
// answer). The socket's folder must belong to the daemon's user alone.
// Thread safety: pure functions, apart from `RunControlCommand` and `ControlFolderBelongsTo`,
// which look at the system (their own socket; the folder).
#pragma once

#include <cstdint>
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
// says so on `err` and returns 1. Before it sends anything it asks who serves the socket:
// this process's own user, root, or (when this process is root) the user to whom the socket's
// folder belongs alone (`ControlFolderBelongsTo`: the systemd service's own user in its state
// folder); anyone else is refused on `err` with 1, and nothing is sent.
int RunControlCommand(const std::string& socketPath, const std::vector<std::string>& words,
                      std::ostream& out, std::ostream& err, int timeoutMs = 10000);

// True when the folder that holds `socketPath` ("." for a bare name) is a folder owned by
// `owner` that neither its group nor others may write: nobody else can put a socket there or
// take ours away. False with the reason, for the operator.
bool ControlFolderBelongsTo(const std::string& socketPath, uint32_t owner, std::string& why);

// The control socket that belongs to a database: "control.sock" in the database's folder.
std::string ControlSocketFor(const std::string& database);

}  // namespace zelm
