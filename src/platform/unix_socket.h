// Unix-domain stream sockets: the local control channel of a daemon and its command-line tool.
//
// The socket file is created readable and writable by its owner only (mode 0600), and the
// listener also checks each client's credentials, so only the owner (or root) can talk to the
// daemon even when the folder around the socket is more open than it should be. The client
// side can learn who serves a socket (`GetPeerUserId`) and who owns the folder it lies in
// (`GetFolderOwnership`), so that it sends nothing to a socket another user put there.
// Descriptors are non-blocking and close-on-exec; `ReceiveSocket`, `SendSocket`,
// `WaitReadable`, `WaitWritable` and `CloseSocket` of platform/socket.h work on them.
//
// Thread safety: every function may be called from any thread; a descriptor's owner decides
// who uses it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/socket.h"

namespace zelm {

// The longest socket path the system accepts (the sun_path field, without its terminator).
size_t MaxUnixSocketPath();

// Creates the socket file at `path` (mode 0600) and listens on it. A file left behind by a
// listener that is gone is replaced; a socket on which a listener still answers makes the
// call fail with kWsaEaddrinuse, and a path that exists but is not a socket with kWsaEaddrinuse
// too (it is never removed). A path longer than `MaxUnixSocketPath` fails with
// kWsaEnametoolong.
SocketHandle ListenUnixSocket(const std::string& path, int& error);
// Accepts one pending client (non-blocking, close-on-exec); kInvalidSocket with `error` set
// (kWsaEwouldblock when none is pending).
SocketHandle AcceptUnixSocket(SocketHandle listener, int& error);
// Connects to the listener at `path`. kInvalidSocket with `error` set when nobody listens
// there (kWsaEconnrefused, or the system's "no such file" code).
SocketHandle ConnectUnixSocket(const std::string& path, int& error);
// True when the process at the other end runs as the same user as this one, or as root.
bool PeerIsSameUser(SocketHandle socket);
// The user id of the process at the other end: for an accepted client, the client's; for a
// connected client, the listener's as it was when it began to listen. False when the system
// cannot tell.
bool GetPeerUserId(SocketHandle socket, uint32_t& uid);
// The (effective) user id this process acts as.
uint32_t ProcessUserId();

// Who owns a folder and who may write into it (symbolic links followed).
struct FolderOwnership {
  bool isFolder = false;
  uint32_t owner = 0;
  uint32_t mode = 0;  // the permission bits, sticky bit included (e.g. 01777)
  bool groupMayWrite = false;
  bool othersMayWrite = false;
};
// False with `error` set when `path` cannot be examined.
bool GetFolderOwnership(const std::string& path, FolderOwnership& ownership, int& error);
// Removes the socket file at `path` when it is a socket; anything else is left alone.
void RemoveUnixSocketFile(const std::string& path);

}  // namespace zelm
