// Owns the control channel's request and reply format and the operator's side of it.
#include "mserverd/control_channel.h"

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "platform/error.h"
#include "platform/socket.h"
#include "platform/unix_socket.h"

namespace zelm {

bool EncodeControlRequest(const std::vector<std::string>& words, std::string& request) {
  request.clear();
  for (const std::string& word : words) {
    if (word.find('\n') != std::string::npos || word.find('\0') != std::string::npos) {
      return false;
    }
    request += word;
    request += '\n';
  }
  request += '\n';
  return request.size() <= kMaxControlRequest;
}

ControlParse ParseControlRequest(std::string_view bytes, std::vector<std::string>& words) {
  if (bytes.find('\0') != std::string_view::npos) return ControlParse::kBad;
  words.clear();
  if (!bytes.empty() && bytes[0] == '\n') return ControlParse::kWhole;  // no words at all
  const size_t end = bytes.find("\n\n");
  if (end == std::string_view::npos) {
    return bytes.size() >= kMaxControlRequest ? ControlParse::kBad : ControlParse::kIncomplete;
  }
  if (end + 2 > kMaxControlRequest) return ControlParse::kBad;
  const std::string_view text = bytes.substr(0, end);
  size_t start = 0;
  for (;;) {
    const size_t line = text.find('\n', start);
    words.emplace_back(text.substr(start, line == std::string_view::npos ? line : line - start));
    if (line == std::string_view::npos) break;
    start = line + 1;
  }
  return ControlParse::kWhole;
}

std::string ControlReply(bool ok, std::string_view text) {
  std::string reply = ok ? "ok\n" : "error\n";
  reply += text;
  if (!text.empty() && text.back() != '\n') reply += '\n';
  return reply;
}

int RunControlCommand(const std::string& socketPath, const std::vector<std::string>& words,
                      std::ostream& out, std::ostream& err, int timeoutMs) {
  std::string request;
  if (!EncodeControlRequest(words, request)) {
    err << "zelm-mserver: a word of the command holds a line end or is too long\n";
    return 2;
  }
  int error = 0;
  const SocketHandle socket = ConnectUnixSocket(socketPath, error);
  if (socket == kInvalidSocket) {
    err << "zelm-mserver: the daemon does not answer at " << socketPath
        << " (is 'zelm-mserver serve' running with this database?)\n";
    return 1;
  }
  // SECURITY: nothing goes to a socket that someone else serves.
  uint32_t server = 0;
  const uint32_t self = ProcessUserId();
  std::string why;
  const bool known = GetPeerUserId(socket, server);
  if (!known || (server != self && server != 0 &&
                 !(self == 0 && ControlFolderBelongsTo(socketPath, server, why)))) {
    CloseSocket(socket);
    err << "zelm-mserver: refusing to talk to " << socketPath << ": ";
    if (known) {
      err << "it is served by user id " << server << ", neither this user (" << self
          << ") nor root";
      if (!why.empty()) err << ", and " << why;
      err << "; nothing was sent (is the socket's folder shared with other users?)\n";
    } else {
      err << "the system does not tell who serves it; nothing was sent\n";
    }
    return 1;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  const auto left = [deadline] {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
    return static_cast<int>(ms < 0 ? 0 : ms);
  };
  size_t sent = 0;
  while (sent < request.size()) {
    const long n = SendSocket(socket, request.data() + sent, request.size() - sent, error);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && error == kWsaEwouldblock && WaitWritable(socket, left(), error) == 1) {
      continue;
    } else {
      CloseSocket(socket);
      err << "zelm-mserver: the daemon closed the control connection\n";
      return 1;
    }
  }
  std::string reply;
  char buffer[4096];
  for (;;) {
    const long n = ReceiveSocket(socket, buffer, sizeof buffer, false, error);
    if (n > 0) {
      reply.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (error != kWsaEwouldblock || WaitReadable(socket, left(), error) != 1) {
      CloseSocket(socket);
      err << "zelm-mserver: no reply from the daemon\n";
      return 1;
    }
  }
  CloseSocket(socket);
  if (reply.rfind("ok\n", 0) == 0) {
    out << reply.substr(3);
    return 0;
  }
  if (reply.rfind("error\n", 0) == 0) {
    err << "zelm-mserver: " << reply.substr(6);
    return 1;
  }
  err << "zelm-mserver: the daemon's reply is not understood\n";
  return 1;
}

bool ControlFolderBelongsTo(const std::string& socketPath, uint32_t owner, std::string& why) {
  std::string folder = std::filesystem::path(socketPath).parent_path().string();
  if (folder.empty()) folder = ".";
  FolderOwnership ownership;
  int error = 0;
  if (!GetFolderOwnership(folder, ownership, error)) {
    std::string text;
    GetSystemErrorText(error, text);
    why = "its folder " + folder + " cannot be examined" + (text.empty() ? "" : ": " + text);
    return false;
  }
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", ownership.mode);
  if (!ownership.isFolder) {
    why = folder + " is not a folder";
  } else if (ownership.owner != owner) {
    why = "its folder " + folder + " belongs to user id " + std::to_string(ownership.owner) +
          ", not " + std::to_string(owner);
  } else if (ownership.groupMayWrite || ownership.othersMayWrite) {
    why = "its folder " + folder + " may be written by " +
          (ownership.othersMayWrite ? "other users" : "its group") + " (mode " + mode + ")";
  } else {
    why.clear();
    return true;
  }
  return false;
}

std::string ControlSocketFor(const std::string& database) {
  const std::filesystem::path folder = std::filesystem::path(database).parent_path();
  return (folder.empty() ? std::filesystem::path("control.sock") : folder / "control.sock")
      .string();
}

}  // namespace zelm
