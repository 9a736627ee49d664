// TLS for the server's connections, on OpenSSL: one `CTlsServer` per certificate and key (the
// context every connection of the service shares), one `CTlsConnection` per protected socket.
//
// The floor: TLS 1.2 and 1.3 only, OpenSSL's default cipher list, stateless session tickets
// and the server's session cache. A connection is told a session context (a byte string); a
// session can be resumed only on a connection told the same bytes, so that a control
// connection's data connections (told its token) resume its session and no other's.
//
// Threads: `CTlsServer` is immutable after `Load` and shared by every thread. A
// `CTlsConnection` may be used by two threads (the socket's owner and the upload worker, one
// of them reading, the other closing): every call takes the connection's own lock, and no call
// blocks except `Accept` and `Connect`, which wait for the peer at most their time-out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/socket.h"
#include "platform/thread_annotations.h"

namespace zelm {

class CTlsServer {
 public:
  // Reads the PEM certificate (chain) and private key; nullptr with `error` set when either
  // cannot be read, they do not belong together, or the library refuses them.
  static std::shared_ptr<CTlsServer> Load(const std::string& certificatePath,
                                          const std::string& keyPath, std::string& error);
  // A client context for tests and tools that speak TLS to the server: trusts `caPath` (a
  // PEM file; empty: trusts nothing and verifies nothing).
  static std::shared_ptr<CTlsServer> LoadClient(const std::string& caPath, std::string& error);
  ~CTlsServer();
  CTlsServer(const CTlsServer&) = delete;
  CTlsServer& operator=(const CTlsServer&) = delete;

  void* Context() const { return context_; }  // the library's SSL_CTX
  bool IsClient() const { return client_; }

 private:
  CTlsServer(void* context, bool client) : context_(context), client_(client) {}
  void* context_;
  bool client_;
};

// Results of `CTlsConnection::Read` and `Write` other than a byte count.
inline constexpr long kTlsWouldBlock = -1;  // with error kWsaEwouldblock

class CTlsConnection {
 public:
  // A TLS connection over `socket` (which stays the caller's to close) with the role of
  // `context` (server or client). `sessionContext`: see the header comment. Without
  // `issueTickets` a server sends no session tickets after its handshake (a data
  // connection's client resumes the control connection's session and reads nothing more).
  CTlsConnection(std::shared_ptr<CTlsServer> context, SocketHandle socket,
                 std::string_view sessionContext, bool issueTickets = true);
  ~CTlsConnection();
  CTlsConnection(const CTlsConnection&) = delete;
  CTlsConnection& operator=(const CTlsConnection&) = delete;

  // Runs the server's handshake to its end, waiting for the peer at most `timeoutMs` in all
  // (real time). False with `error` set (the library's reason, or "timed out").
  bool Accept(int timeoutMs, std::string& error);
  // The client's handshake (tests and tools); `resumeFrom`: a connection whose session to
  // offer (null: none).
  bool Connect(int timeoutMs, const CTlsConnection* resumeFrom, std::string& error);
  // The handshake resumed an earlier session (of the same session context).
  bool IsResumed() const;
  // "TLSv1.3 TLS_AES_256_GCM_SHA384"
  std::string Description() const;

  // One read as `ReceiveSocket` does it: decrypted bytes; 0 when the peer ended the stream
  // (its close_notify, or the connection's end without one); -1 with `error` set
  // (kWsaEwouldblock while no whole record has come; a broken stream's error, again at every
  // later read). Never blocks.
  long Read(void* buffer, size_t length, int& error);
  // As `Read`, reading record after record until `length` bytes are there or none is left
  // (the upload worker's large reads): the bytes read, 0 at the end, -1 with `error`.
  long ReadMany(void* buffer, size_t length, int& error);
  // One send as `SendSocket` does it: plaintext bytes taken (whole records), or -1 with
  // `error` set (kWsaEwouldblock while the socket is full: the next call must offer the same
  // bytes again first, as every sender here does). Never blocks.
  long Write(const void* data, size_t length, int& error);
  // Decrypted bytes, or the end of the stream, wait in the library to be read (the socket
  // may have nothing left to signal them).
  bool HasBufferedInput() const;
  // Sends close_notify once (without waiting for the peer's) and refuses further reads and
  // writes.
  void Shutdown();

 private:
  struct State;
  // Maps the library's verdict on a call that returned `result`: true to wait and retry
  // (`wantWrite` tells which way), false with `error` set.
  bool ShouldRetry(int result, bool& wantWrite, int& error) ZELM_REQUIRES(mutex_);
  bool Handshake(bool server, int timeoutMs, std::string& error);

  mutable CMutex mutex_;
  std::unique_ptr<State> state_ ZELM_GUARDED_BY(mutex_);
  SocketHandle socket_;
};

// The library's last error as text ("" when none), and clears its queue.
std::string TakeTlsErrorText();
// Fresh random bytes to serve as one control connection's session context.
std::string NewTlsSessionContext();

}  // namespace zelm
