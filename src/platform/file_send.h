// Sending an open file's bytes straight to a socket, without copying them through the
// process (sendfile).
//
// Thread safety: re-entrant; a file and a socket are used by one thread at a time.
#pragma once

#include <cstddef>

#include "platform/files.h"
#include "platform/socket.h"

namespace zelm {

// Sends up to `length` bytes of `file` from its current position to `socket` and advances
// the position by what was sent. Returns the count (possibly fewer than `length`), 0 at the
// end of the file, or -1 with `error` set: kWsaEwouldblock when the send buffer is full,
// kWsaEopnotsupp when this file or socket cannot be sent this way (the caller then reads and
// sends instead), any other code for a failed read or send. Never blocks, never raises
// SIGPIPE.
long SendFileToSocket(SocketHandle socket, CFile& file, size_t length, int& error);

// The same, except that the call waits in the kernel for room in the send buffer, at most
// `timeoutMs` (then it returns what went, or -1 with kWsaEwouldblock when nothing did). The
// socket is non-blocking again when it returns. A waiting caller is woken as soon as there
// is any room, where `WaitWritable` waits for a third of the buffer: the peer finds the
// buffer full, not drained, whenever it reads.
long SendFileToSocketWaiting(SocketHandle socket, CFile& file, size_t length, int timeoutMs,
                             int& error);

}  // namespace zelm
