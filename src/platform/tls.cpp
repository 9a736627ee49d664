// Owns the use of OpenSSL's libssl: the server context, the connections and the socket glue.
#include "platform/tls.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "platform/clock.h"
#include "platform/error.h"

namespace zelm {

namespace {

// The connection's bytes go through the platform's own socket calls (never SIGPIPE, errors
// mapped once), not through the library's descriptor code.
int SocketBioWrite(BIO* bio, const char* data, int length) {
  int error = 0;
  BIO_clear_retry_flags(bio);
  const long n = SendSocket(static_cast<SocketHandle>(BIO_get_fd(bio, nullptr)), data,
                            static_cast<size_t>(length), error);
  if (n < 0 && error == kWsaEwouldblock) BIO_set_retry_write(bio);
  return static_cast<int>(n);
}

// The socket error of the last failed read on this thread (a reset tells a broken connection
// from an end without close_notify, which the library reports alike).
thread_local int lastReadError = 0;

int SocketBioRead(BIO* bio, char* buffer, int length) {
  int error = 0;
  BIO_clear_retry_flags(bio);
  const long n = ReceiveSocket(static_cast<SocketHandle>(BIO_get_fd(bio, nullptr)), buffer,
                               static_cast<size_t>(length), false, error);
  if (n < 0 && error == kWsaEwouldblock) BIO_set_retry_read(bio);
  if (n < 0 && error != kWsaEwouldblock) lastReadError = error;
  return static_cast<int>(n);
}

long SocketBioControl(BIO* bio, int command, long number, void* pointer) {
  switch (command) {
    case BIO_C_SET_FD:
      BIO_set_data(bio,
                   reinterpret_cast<void*>(static_cast<intptr_t>(*static_cast<int*>(pointer))));
      BIO_set_init(bio, 1);
      (void)number;
      return 1;
    case BIO_C_GET_FD:
      return static_cast<long>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
    case BIO_CTRL_FLUSH:
      return 1;
    default:
      return 0;
  }
}

BIO_METHOD* SocketBioMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "zelm socket");
    BIO_meth_set_write(m, SocketBioWrite);
    BIO_meth_set_read(m, SocketBioRead);
    BIO_meth_set_ctrl(m, SocketBioControl);
    return m;
  }();
  return method;
}

SSL_CTX* NewContext(bool server) {
  SSL_CTX* context = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
  if (context == nullptr) return nullptr;
  // SECURITY: nothing older than TLS 1.2; the library's default ciphers.
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  // Sends may stop after any whole record (the sockets are non-blocking), and the senders
  // offer the rest again from a buffer that may have moved.
  SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                                SSL_MODE_RELEASE_BUFFERS);
  return context;
}

}  // namespace

std::string TakeTlsErrorText() {
  std::string text;
  char line[256];
  while (const unsigned long code = ERR_get_error()) {
    if (text.empty()) {
      ERR_error_string_n(code, line, sizeof line);
      text = line;
    }
  }
  return text;
}

std::string NewTlsSessionContext() {
  unsigned char bytes[16] = {};
  // A library that cannot give 16 random bytes is a broken installation, not bad input:
  // without them one connection's sessions could not be told from another's.
  if (RAND_bytes(bytes, sizeof bytes) != 1) std::abort();
  return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

// ---- Contexts ----

std::shared_ptr<CTlsServer> CTlsServer::Load(const std::string& certificatePath,
                                             const std::string& keyPath, std::string& error) {
  ERR_clear_error();
  SSL_CTX* context = NewContext(true);
  if (context == nullptr) {
    error = "the TLS library could not start: " + TakeTlsErrorText();
    return nullptr;
  }
  std::shared_ptr<CTlsServer> server(new CTlsServer(context, false));
  if (SSL_CTX_use_certificate_chain_file(context, certificatePath.c_str()) != 1) {
    error = "cannot use the certificate " + certificatePath + ": " + TakeTlsErrorText();
    return nullptr;
  }
  if (SSL_CTX_use_PrivateKey_file(context, keyPath.c_str(), SSL_FILETYPE_PEM) != 1) {
    error = "cannot use the key " + keyPath + ": " + TakeTlsErrorText();
    return nullptr;
  }
  if (SSL_CTX_check_private_key(context) != 1) {
    error = "the key " + keyPath + " does not belong to the certificate " + certificatePath;
    TakeTlsErrorText();
    return nullptr;
  }
  // Resumption for the data connections: the server's cache and stateless tickets, both
  // bound to the session context each connection is given.
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_SERVER);
  SSL_CTX_sess_set_cache_size(context, 4096);
  SSL_CTX_set_timeout(context, 24 * 3600);
  return server;
}

std::shared_ptr<CTlsServer> CTlsServer::LoadClient(const std::string& caPath, std::string& error) {
  ERR_clear_error();
  SSL_CTX* context = NewContext(false);
  if (context == nullptr) {
    error = "the TLS library could not start: " + TakeTlsErrorText();
    return nullptr;
  }
  std::shared_ptr<CTlsServer> client(new CTlsServer(context, true));
  if (!caPath.empty()) {
    if (SSL_CTX_load_verify_locations(context, caPath.c_str(), nullptr) != 1) {
      error = "cannot read " + caPath + ": " + TakeTlsErrorText();
      return nullptr;
    }
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  }
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_CLIENT);
  return client;
}

CTlsServer::~CTlsServer() { SSL_CTX_free(static_cast<SSL_CTX*>(context_)); }

// ---- Connections ----

struct CTlsConnection::State {
  std::shared_ptr<CTlsServer> context;
  SSL* ssl = nullptr;
  bool shut = false;
  bool ended = false;
  int failure = 0;  // the error that broke the stream; reported by every later read
  ~State() { SSL_free(ssl); }
};

CTlsConnection::CTlsConnection(std::shared_ptr<CTlsServer> context, SocketHandle socket,
                               std::string_view sessionContext, bool issueTickets)
    : socket_(socket) {
  auto state = std::make_unique<State>();
  state->ssl = SSL_new(static_cast<SSL_CTX*>(context->Context()));
  state->context = std::move(context);
  if (state->ssl != nullptr) {
    BIO* bio = BIO_new(SocketBioMethod());
    int fd = socket;
    if (bio != nullptr) BIO_ctrl(bio, BIO_C_SET_FD, 0, &fd);
    SSL_set_bio(state->ssl, bio, bio);
    const size_t length = std::min<size_t>(sessionContext.size(), SSL_MAX_SID_CTX_LENGTH);
    // Tickets a client never reads (a data connection's after its resumption) would make its
    // close a reset, which can cost the last bytes of an upload.
    if (!issueTickets) SSL_set_num_tickets(state->ssl, 0);
    SSL_set_session_id_context(state->ssl,
                               reinterpret_cast<const unsigned char*>(sessionContext.data()),
                               static_cast<unsigned int>(length));
  }
  CMutexLock lock(mutex_);
  state_ = std::move(state);
}

CTlsConnection::~CTlsConnection() {
  CMutexLock lock(mutex_);
  state_.reset();
}

bool CTlsConnection::ShouldRetry(int result, bool& wantWrite, int& error) {
  const int reason = SSL_get_error(state_->ssl, result);
  if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) {
    wantWrite = reason == SSL_ERROR_WANT_WRITE;
    error = kWsaEwouldblock;
    return true;
  }
  error = reason == SSL_ERROR_ZERO_RETURN ? 0 : kWsaEconnaborted;
  return false;
}

bool CTlsConnection::Handshake(bool server, int timeoutMs, std::string& error) {
  const int64_t deadline = MonotonicMilliseconds() + timeoutMs;
  for (;;) {
    bool wantWrite = false;
    int code = 0;
    {
      CMutexLock lock(mutex_);
      if (state_->ssl == nullptr) {
        error = "the TLS library could not start";
        return false;
      }
      ERR_clear_error();
      const int result = server ? SSL_accept(state_->ssl) : SSL_connect(state_->ssl);
      if (result == 1) return true;
      if (!ShouldRetry(result, wantWrite, code)) {
        error = TakeTlsErrorText();
        if (error.empty()) error = "the peer ended the connection";
        return false;
      }
    }
    const int64_t left = deadline - MonotonicMilliseconds();
    if (left <= 0) {
      error = "timed out";
      return false;
    }
    int waitError = 0;
    const int ready = wantWrite ? WaitWritable(socket_, static_cast<int>(left), waitError)
                                : WaitReadable(socket_, static_cast<int>(left), waitError);
    if (ready < 0) {
      error = "the connection failed";
      return false;
    }
  }
}

bool CTlsConnection::Accept(int timeoutMs, std::string& error) {
  return Handshake(true, timeoutMs, error);
}

bool CTlsConnection::Connect(int timeoutMs, const CTlsConnection* resumeFrom, std::string& error) {
  if (resumeFrom != nullptr && resumeFrom != this) {
    SSL_SESSION* session = nullptr;
    {
      CMutexLock other(resumeFrom->mutex_);
      if (resumeFrom->state_->ssl != nullptr) session = SSL_get1_session(resumeFrom->state_->ssl);
    }
    CMutexLock lock(mutex_);
    if (session != nullptr && state_->ssl != nullptr) SSL_set_session(state_->ssl, session);
    SSL_SESSION_free(session);
  }
  return Handshake(false, timeoutMs, error);
}

bool CTlsConnection::IsResumed() const {
  CMutexLock lock(mutex_);
  return state_->ssl != nullptr && SSL_session_reused(state_->ssl) == 1;
}

std::string CTlsConnection::Description() const {
  CMutexLock lock(mutex_);
  if (state_->ssl == nullptr) return {};
  return std::string(SSL_get_version(state_->ssl)) + " " +
         SSL_CIPHER_get_name(SSL_get_current_cipher(state_->ssl));
}

long CTlsConnection::Read(void* buffer, size_t length, int& error) {
  CMutexLock lock(mutex_);
  if (state_->ssl == nullptr || state_->shut || state_->ended) {
    error = state_->failure;
    return state_->failure != 0 ? -1 : 0;
  }
  ERR_clear_error();
  lastReadError = 0;
  size_t got = 0;
  const int result = SSL_read_ex(state_->ssl, buffer, length, &got);
  if (result == 1) return static_cast<long>(got);
  bool wantWrite = false;
  if (ShouldRetry(result, wantWrite, error)) return kTlsWouldBlock;
  const int reason = SSL_get_error(state_->ssl, result);
  const unsigned long detail = ERR_peek_last_error();
  ERR_clear_error();
  state_->ended = true;
  // The peer's close_notify, or the connection's end without one (which peer servers take as
  // the end too: many clients send no close_notify on a data connection). A record that
  // fails its check (bytes changed on the way) is a broken connection, never an end.
  const bool endWithoutNotify =
      (reason == SSL_ERROR_SYSCALL && lastReadError == 0) ||
      (reason == SSL_ERROR_SSL && ERR_GET_REASON(detail) == SSL_R_UNEXPECTED_EOF_WHILE_READING);
  if (reason == SSL_ERROR_ZERO_RETURN || endWithoutNotify) {
    error = 0;
    return 0;
  }
  error = lastReadError != 0 ? lastReadError : kWsaEconnreset;
  state_->failure = error;
  return -1;
}

long CTlsConnection::ReadMany(void* buffer, size_t length, int& error) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  size_t total = 0;
  while (total < length) {
    const long n = Read(bytes + total, length - total, error);
    if (n > 0) {
      total += static_cast<size_t>(n);
      continue;
    }
    if (total > 0) {
      error = 0;
      return static_cast<long>(total);
    }
    return n;
  }
  return static_cast<long>(total);
}

long CTlsConnection::Write(const void* data, size_t length, int& error) {
  CMutexLock lock(mutex_);
  if (state_->ssl == nullptr || state_->shut) {
    error = kWsaEshutdown;
    return -1;
  }
  ERR_clear_error();
  size_t taken = 0;
  const int result = SSL_write_ex(state_->ssl, data, length, &taken);
  if (result == 1) return static_cast<long>(taken);
  bool wantWrite = false;
  if (!ShouldRetry(result, wantWrite, error) && error == 0) error = kWsaEconnreset;
  ERR_clear_error();
  return -1;
}

bool CTlsConnection::HasBufferedInput() const {
  CMutexLock lock(mutex_);
  return state_->ssl != nullptr && !state_->shut && (state_->ended || SSL_pending(state_->ssl) > 0);
}

void CTlsConnection::Shutdown() {
  CMutexLock lock(mutex_);
  if (state_->ssl == nullptr || state_->shut) return;
  state_->shut = true;
  ERR_clear_error();
  SSL_shutdown(state_->ssl);  // our close_notify; the peer's is not waited for
  ERR_clear_error();
}

}  // namespace zelm
