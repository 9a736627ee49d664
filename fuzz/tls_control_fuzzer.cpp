// Fuzz target: control lines that arrive through TLS, on a real loopback connection.
//
// A control session runs on its own event thread as the listener starts one, with TLS offered
// and required ("TLS Mode" 2) and a scratch home with every right. The fuzzer is its client:
// it reads the greeting, sends AUTH TLS, makes the handshake, sends the input through the
// protected connection in pieces of the first byte's choice, then QUIT, and reads replies to
// the end of the connection. The handshake itself is the library's; what is fuzzed is
// everything after it: the TLS read path of the socket, the line handling behind it, and
// AUTH, PBSZ, PROT and CCC on a protected connection. Nothing may crash, leak or hang, and
// nothing beside the home folder may change.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "ftp/account.h"
#include "ftp/ftp_session.h"
#include "ftp/session_log.h"
#include "ftp/session_owner.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/socket.h"
#include "platform/tls.h"
#include "platform/tls_certificate.h"
#include "scratch_home.h"

namespace {

constexpr uint32_t kLoopback = 0x7F000001;
constexpr int kWaitMs = 10000;

class CTlsOwner final : public zelm::CSessionOwner {
 public:
  CTlsOwner() {
    std::string error;
    if (!zelm::GenerateSelfSignedCertificate(home_.Outside() + "/cert.pem",
                                             home_.Outside() + "/key.pem", "127.0.0.1", 2, error) ||
        !(server_ = zelm::CTlsServer::Load(home_.Outside() + "/cert.pem",
                                           home_.Outside() + "/key.pem", error)) ||
        !(client_ = zelm::CTlsServer::LoadClient("", error))) {
      std::fprintf(stderr, "TLS set-up failed: %s\n", error.c_str());
      std::abort();
    }
    int socketError = 0;
    listener_ = zelm::OpenSocket(zelm::kSocketStream, zelm::kProtocolTcp, socketError);
    zelm::SocketAddress local;
    if (!zelm::BindSocket(listener_, kLoopback, 0, socketError) ||
        !zelm::ListenSocket(listener_, 16, socketError) ||
        !zelm::GetSocketName(listener_, local, socketError)) {
      std::abort();
    }
    port_ = zelm::NetworkToHost16(local.port);
  }
  ~CTlsOwner() override { zelm::CloseSocket(listener_); }

  int ValidateLogin(zelm::CFtpSession& session) override {
    home_.LogIn(session);
    return zelm::kLoginAccepted;
  }
  bool RequestPathAccess(zelm::CFtpSession&, const std::string&, uint32_t) override {
    return false;
  }
  void OnSessionClosed(zelm::CFtpSession&) override {}
  bool CheckSessionLimit(zelm::CFtpSession&, uint32_t, bool) override { return true; }
  std::string GetQuitText() override { return "bye"; }
  zelm::ShortcutContext GetShortcutContext() override { return {}; }
  bool ExtensionsOn() override { return true; }
  std::shared_ptr<zelm::CTlsServer> TlsContext() override { return server_; }
  uint32_t TlsMode() override { return 2; }

  const std::shared_ptr<zelm::CTlsServer>& Client() const { return client_; }

  // A connection to the listener: the client's end and the accepted one.
  bool Connect(zelm::SocketHandle& client, zelm::SocketHandle& accepted) const {
    int error = 0;
    client = zelm::OpenSocket(zelm::kSocketStream, zelm::kProtocolTcp, error);
    zelm::ConnectSocket(client, kLoopback, port_, error);
    zelm::SocketAddress peer;
    if (zelm::WaitReadable(listener_, kWaitMs, error) != 1) return false;
    accepted = zelm::AcceptSocket(listener_, peer, error);
    return accepted != zelm::kInvalidSocket && zelm::WaitWritable(client, kWaitMs, error) == 1;
  }

  // The folder beside the home holds the certificate and key still; the next input starts
  // alike.
  void CheckOutsideAndReset() const {
    home_.CheckOutside(2);
    home_.Reset();
  }

 private:
  zelm::fuzz::CScratchHome home_{"zelm-fuzz-tls-"};
  std::shared_ptr<zelm::CTlsServer> server_;
  std::shared_ptr<zelm::CTlsServer> client_;
  zelm::SocketHandle listener_ = zelm::kInvalidSocket;
  uint16_t port_ = 0;
};

CTlsOwner& TheOwner() {
  static CTlsOwner* owner = [] {
    zelm::SetJournalLogging(false);
    return new CTlsOwner();
  }();
  return *owner;
}

// Reads clear bytes until `text` has come (false at the end or after the wait).
bool ReadClearUntil(zelm::SocketHandle socket, const std::string& text) {
  std::string got;
  const int64_t deadline = zelm::MonotonicMilliseconds() + kWaitMs;
  while (got.find(text) == std::string::npos) {
    int error = 0;
    char buffer[512];
    const long n = zelm::ReceiveSocket(socket, buffer, sizeof buffer, false, error);
    if (n > 0) {
      got.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || error != zelm::kWsaEwouldblock ||
               zelm::MonotonicMilliseconds() > deadline ||
               zelm::WaitReadable(socket, kWaitMs, error) != 1) {
      return false;
    }
  }
  return true;
}

// Sends through TLS, reading (and dropping) replies meanwhile so that neither side blocks.
bool SendProtected(zelm::CTlsConnection& tls, zelm::SocketHandle socket, const char* data,
                   size_t length) {
  size_t sent = 0;
  const int64_t deadline = zelm::MonotonicMilliseconds() + kWaitMs;
  while (sent < length) {
    int error = 0;
    char sink[4096];
    while (tls.Read(sink, sizeof sink, error) > 0) {
    }
    const long n = tls.Write(data + sent, length - sent, error);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (error != zelm::kWsaEwouldblock || zelm::MonotonicMilliseconds() > deadline) {
      return false;  // the session closed the connection (a line without end, QUIT, ...)
    } else {
      zelm::WaitWritable(socket, 10, error);
    }
  }
  return true;
}

// Reads replies until the session ends the connection.
void ReadToTheEnd(zelm::CTlsConnection& tls, zelm::SocketHandle socket) {
  const int64_t deadline = zelm::MonotonicMilliseconds() + kWaitMs;
  for (;;) {
    int error = 0;
    char sink[4096];
    const long n = tls.Read(sink, sizeof sink, error);
    if (n > 0) continue;
    if (n == 0 || error != zelm::kWsaEwouldblock) return;
    if (zelm::MonotonicMilliseconds() > deadline) {
      std::fprintf(stderr, "the session did not end its connection after QUIT\n");
      std::abort();
    }
    zelm::WaitReadable(socket, kWaitMs, error);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CTlsOwner& owner = TheOwner();
  zelm::SocketHandle client = zelm::kInvalidSocket;
  zelm::SocketHandle accepted = zelm::kInvalidSocket;
  if (!owner.Connect(client, accepted)) std::abort();
  {
    auto session = std::make_unique<zelm::CFtpSession>(&owner, 1);
    session->Post([](zelm::CFtpSession& s) { s.Greet(); });
    if (!session->Attach(accepted)) std::abort();
    int error = 0;
    const std::string auth = "AUTH TLS\r\n";
    if (!ReadClearUntil(client, "220 ") ||
        zelm::SendSocket(client, auth.data(), auth.size(), error) !=
            static_cast<long>(auth.size()) ||
        !ReadClearUntil(client, "234 ")) {
      std::fprintf(stderr, "no AUTH TLS\n");
      std::abort();
    }
    zelm::CTlsConnection tls(owner.Client(), client, "");
    std::string why;
    if (!tls.Connect(kWaitMs, nullptr, why)) {
      std::fprintf(stderr, "handshake failed: %s\n", why.c_str());
      std::abort();
    }
    const std::string login = "USER fuzz\r\nPASS fuzz\r\n";
    bool open = SendProtected(tls, client, login.data(), login.size());
    const size_t piece = size == 0 ? 1 : (data[0] % 64) + 1;
    for (size_t at = size == 0 ? 0 : 1; open && at < size; at += piece) {
      open = SendProtected(tls, client, reinterpret_cast<const char*>(data) + at,
                           std::min(piece, size - at));
    }
    const std::string quit = "\r\nQUIT\r\n";
    if (open) SendProtected(tls, client, quit.data(), quit.size());
    ReadToTheEnd(tls, client);
    session->StopEventThread(true);
  }
  zelm::CloseSocket(client);
  owner.CheckOutsideAndReset();
  return 0;
}
