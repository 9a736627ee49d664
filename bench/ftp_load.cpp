// ftp_load: the load generator of the side-by-side benchmark (bench/run). A small FTP client
// that drives any server the same way and prints one JSON object with its measurement.
//
//   ftp_load HOST PORT USER PASS [--tls CERT] MODE ARGS...
//     download PATH               one RETR: bytes, seconds and this client's CPU seconds
//     upload PATH BYTES           one STOR of BYTES bytes (the same figures)
//     logins COUNT                COUNT x (connect, USER, PASS, QUIT): each login's time
//     idle COUNT SECONDS          COUNT sessions logged in, then held: prints "ready" and
//                                 "held" lines on standard error around the hold
//     retrs COUNT PATH            COUNT RETRs of PATH over one session
//     list PATH COUNT             COUNT LISTs of PATH over one session: each one's time
//     parallel COUNT PATH         COUNT sessions downloading PATH at once: aggregate rate
//     churn COUNT                 COUNT x (connect, USER, PASS, QUIT) that go on whatever
//                                 the answers: how many logins were accepted, refused, broken
//
// Passive mode, binary type. Data is read and written in 256 KiB blocks and never looked at,
// so the client costs little next to the server. Each call waits for its socket; one thread
// per session only in "parallel".
//
// --tls CERT: explicit FTPS. AUTH TLS right after the greeting, the server's certificate
// checked against CERT (a self-signed one: it is its own authority) for the address HOST;
// after the login PBSZ 0 and PROT P, and every data connection starts TLS after the 150
// reply, resuming the control connection's session (servers that insist on that, as vsftpd
// and ours do, refuse a data connection with a fresh session). The JSON then also names the
// protocol and cipher of the control and the last data connection, whether that one resumed
// the session and whether the server ended it with a close_notify. "logins" stops each
// login's clock at the 230 reply.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/resource.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/socket.h"

namespace {

using Clock = std::chrono::steady_clock;
using zelm::SocketHandle;

constexpr size_t kBlock = 256 * 1024;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error(what); }

// This process's CPU time so far, user and system.
double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The platform's socket calls never block; these wait for the socket instead (a minute at
// most). Receive: bytes read, 0 at the end of the stream, -1 on error.
long Receive(SocketHandle socket, void* buffer, size_t length) {
  for (;;) {
    int error = 0;
    const long got = zelm::ReceiveSocket(socket, buffer, length, false, error);
    if (got >= 0 || error != zelm::kWsaEwouldblock) return got;
    if (zelm::WaitReadable(socket, 60000, error) <= 0) return -1;
  }
}

// Sends everything; false on error.
bool SendAll(SocketHandle socket, const char* data, size_t length) {
  while (length > 0) {
    int error = 0;
    const long sent = zelm::SendSocket(socket, data, length, error);
    if (sent > 0) {
      data += sent;
      length -= size_t(sent);
    } else if (error != zelm::kWsaEwouldblock || zelm::WaitWritable(socket, 60000, error) <= 0) {
      return false;
    }
  }
  return true;
}

SocketHandle Connect(uint32_t address, uint16_t port) {
  int error = 0;
  SocketHandle socket = zelm::OpenSocket(zelm::kSocketStream, 0, error);
  if (socket == zelm::kInvalidSocket) Fail("socket: " + std::to_string(error));
  if (!zelm::ConnectSocket(socket, address, port, error) &&
      (error != zelm::kWsaEinprogress || zelm::WaitWritable(socket, 10000, error) <= 0 ||
       (error = zelm::TakeSocketError(socket)) != 0)) {
    zelm::CloseSocket(socket);
    Fail("connect to port " + std::to_string(port) + ": " + std::to_string(error));
  }
  return socket;
}

// ---- TLS (with --tls) ----

SSL_CTX* gTls = nullptr;  // null: plain FTP

std::string TlsErrorText() {
  char text[256] = "no detail";
  if (const unsigned long code = ERR_get_error()) ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return text;
}

void SetUpTls(const std::string& certificate, const std::string& host) {
  gTls = SSL_CTX_new(TLS_client_method());
  if (gTls == nullptr) Fail("SSL_CTX_new: " + TlsErrorText());
  SSL_CTX_set_min_proto_version(gTls, TLS1_2_VERSION);
  SSL_CTX_set_mode(gTls, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (SSL_CTX_load_verify_locations(gTls, certificate.c_str(), nullptr) != 1) {
    Fail("cannot read " + certificate + ": " + TlsErrorText());
  }
  SSL_CTX_set_verify(gTls, SSL_VERIFY_PEER, nullptr);
  X509_VERIFY_PARAM_set1_ip_asc(SSL_CTX_get0_param(gTls), host.c_str());
}

// Waits for what an SSL call that returned `result` is waiting for; false when the call
// failed for good (the caller decides what that means).
bool TlsWait(SSL* ssl, int result, SocketHandle socket) {
  int error = 0;
  switch (SSL_get_error(ssl, result)) {
    case SSL_ERROR_WANT_READ:
      return zelm::WaitReadable(socket, 60000, error) > 0;
    case SSL_ERROR_WANT_WRITE:
      return zelm::WaitWritable(socket, 60000, error) > 0;
    default:
      return false;
  }
}

SSL* StartTls(SocketHandle socket, SSL_SESSION* resume, const char* what) {
  SSL* ssl = SSL_new(gTls);
  if (ssl == nullptr || SSL_set_fd(ssl, socket) != 1) Fail("SSL_new: " + TlsErrorText());
  if (resume != nullptr) SSL_set_session(ssl, resume);
  for (;;) {
    const int result = SSL_connect(ssl);
    if (result == 1) return ssl;
    if (!TlsWait(ssl, result, socket)) {
      const std::string detail = TlsErrorText();
      SSL_free(ssl);
      Fail(std::string("TLS handshake of the ") + what + " connection failed: " + detail);
    }
  }
}

std::string TlsDescription(SSL* ssl) {
  return std::string(SSL_get_version(ssl)) + " " + SSL_CIPHER_get_name(SSL_get_current_cipher(ssl));
}

// A connection, in clear or protected.
struct Channel {
  SocketHandle socket = zelm::kInvalidSocket;
  SSL* ssl = nullptr;
  bool closeNotify = false;  // the peer ended its TLS stream properly

  // Bytes read, 0 at the end of the stream, -1 on error.
  long Read(void* buffer, size_t length) {
    if (ssl == nullptr) return Receive(socket, buffer, length);
    for (;;) {
      const int result = SSL_read(ssl, buffer, int(std::min<size_t>(length, 1 << 30)));
      if (result > 0) return result;
      const int reason = SSL_get_error(ssl, result);
      if (reason == SSL_ERROR_ZERO_RETURN) {
        closeNotify = true;
        return 0;
      }
      if (!TlsWait(ssl, result, socket)) {
        // An end of stream without close_notify, as some servers close their data
        // connections, is still an end here (the flag tells, and the caller counts the
        // bytes); any other failure is an error.
        const bool cut = reason == SSL_ERROR_SYSCALL ||
                         (reason == SSL_ERROR_SSL &&
                          ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING);
        ERR_clear_error();
        return cut ? 0 : -1;
      }
    }
  }

  bool Write(const char* data, size_t length) {
    if (ssl == nullptr) return SendAll(socket, data, length);
    while (length > 0) {
      const int result = SSL_write(ssl, data, int(std::min<size_t>(length, 1 << 30)));
      if (result > 0) {
        data += result;
        length -= size_t(result);
      } else if (!TlsWait(ssl, result, socket)) {
        return false;
      }
    }
    return true;
  }

  // Our close_notify, if TLS (waiting until it has gone out).
  void EndTls() {
    if (ssl == nullptr) return;
    for (int i = 0; i < 100; ++i) {
      const int result = SSL_shutdown(ssl);
      if (result >= 0 || !TlsWait(ssl, result, socket)) break;
    }
    ERR_clear_error();
  }

  void Close() {
    if (ssl != nullptr) SSL_free(ssl);
    ssl = nullptr;
    zelm::CloseSocket(socket);
    socket = zelm::kInvalidSocket;
  }
};

// One control connection.
class Control {
 public:
  Control(uint32_t address, uint16_t port) : address_(address) {
    control_.socket = Connect(address, port);
    Expect(220);
    if (gTls != nullptr) {
      Command("AUTH TLS", 234);
      control_.ssl = StartTls(control_.socket, nullptr, "control");
    }
  }
  ~Control() { control_.Close(); }
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  void Login(const std::string& user, const std::string& password) {
    Command("USER " + user, 331);
    Command("PASS " + password, 230);
  }

  void Send(const std::string& line) {
    const std::string text = line + "\r\n";
    if (!control_.Write(text.data(), text.size())) Fail("send failed: " + line);
  }

  // Reads one whole reply (multi-line replies included); returns its code.
  int Reply() {
    for (;;) {
      size_t start = 0;
      for (size_t end; (end = buffer_.find("\r\n", start)) != std::string::npos; start = end + 2) {
        const std::string line = buffer_.substr(start, end - start);
        if (line.size() >= 4 && std::isdigit(uint8_t(line[0])) && line[3] == ' ') {
          last_ = line;
          buffer_.erase(0, end + 2);
          return std::atoi(line.c_str());
        }
      }
      char chunk[4096];
      const long got = control_.Read(chunk, sizeof chunk);
      if (got <= 0) Fail("control connection closed after: " + last_);
      buffer_.append(chunk, size_t(got));
    }
  }

  void Expect(int code) {
    const int got = Reply();
    if (got != code) Fail("expected " + std::to_string(code) + ", got: " + last_);
  }
  void Command(const std::string& line, int code) {
    Send(line);
    Expect(code);
  }

  // PASV, then the data connection (TCP only: TLS starts after the 150, in Begin).
  SocketHandle OpenData() {
    Command("PASV", 227);
    const size_t open = last_.find('(');
    unsigned h[4], p[2];
    if (open == std::string::npos || std::sscanf(last_.c_str() + open + 1, "%u,%u,%u,%u,%u,%u",
                                                 &h[0], &h[1], &h[2], &h[3], &p[0], &p[1]) != 6) {
      Fail("bad PASV reply: " + last_);
    }
    return Connect(address_, uint16_t(p[0] * 256 + p[1]));
  }

  // A transfer command on a fresh data connection, up to its 150 (and the data connection's
  // TLS handshake, resuming the control connection's session).
  Channel Begin(const std::string& command) {
    Channel data;
    data.socket = OpenData();
    Send(command);
    const int code = Reply();
    if (code != 150 && code != 125) {
      data.Close();
      Fail(command + ": " + last_);
    }
    if (protected_) {
      SSL_SESSION* session = SSL_get1_session(control_.ssl);
      try {
        data.ssl = StartTls(data.socket, session, "data");
      } catch (...) {
        SSL_SESSION_free(session);
        data.Close();
        throw;
      }
      SSL_SESSION_free(session);
      dataTls_ = TlsDescription(data.ssl);
      resumed_ = SSL_session_reused(data.ssl) == 1;
    }
    return data;
  }

  // The data is drained here.
  uint64_t Retrieve(const std::string& command) {
    Channel data = Begin(command);
    std::unique_ptr<char[]> block(new char[kBlock]);
    uint64_t total = 0;
    for (;;) {
      const long got = data.Read(block.get(), kBlock);
      if (got <= 0) break;
      total += uint64_t(got);
    }
    closeNotify_ = data.closeNotify;
    data.EndTls();
    data.Close();
    Expect(226);
    return total;
  }

  void Store(const std::string& path, uint64_t bytes) {
    Channel data = Begin("STOR " + path);
    std::unique_ptr<char[]> block(new char[kBlock]);
    std::memset(block.get(), 'z', kBlock);
    for (uint64_t left = bytes; left > 0;) {
      const size_t piece = size_t(std::min<uint64_t>(left, kBlock));
      if (!data.Write(block.get(), piece)) Fail("upload send failed");
      left -= piece;
    }
    data.EndTls();
    zelm::ShutdownSocket(data.socket, zelm::ShutdownHow::kSend);
    // Whatever comes back (the server's close_notify, session tickets) is not looked at.
    char sink[4096];
    while (Receive(data.socket, sink, sizeof sink) > 0) {
    }
    data.Close();
    Expect(226);
  }

  // PBSZ 0 and PROT P, on a protected control connection.
  void ProtectData() {
    if (gTls == nullptr) return;
    Command("PBSZ 0", 200);
    Command("PROT P", 200);
    protected_ = true;
  }

  // The TLS figures of the JSON output (empty in clear).
  std::string TlsJson() const {
    if (control_.ssl == nullptr) return "";
    std::string json = ", \"tls\": \"" + TlsDescription(control_.ssl) + "\"";
    if (!dataTls_.empty()) {
      json += ", \"data_tls\": \"" + dataTls_ +
              "\", \"resumed\": " + (resumed_ ? "true" : "false") +
              ", \"close_notify\": " + (closeNotify_ ? "true" : "false");
    }
    return json;
  }

 private:
  uint32_t address_;
  Channel control_;
  bool protected_ = false;
  std::string dataTls_;
  bool resumed_ = false;
  bool closeNotify_ = false;
  std::string buffer_;
  std::string last_;
};

struct Target {
  uint32_t address = 0;
  uint16_t port = 0;
  std::string user;
  std::string password;
};

std::unique_ptr<Control> LoggedIn(const Target& target) {
  auto control = std::make_unique<Control>(target.address, target.port);
  control->Login(target.user, target.password);
  control->ProtectData();
  control->Command("TYPE I", 200);
  return control;
}

void Quit(Control& control) {
  control.Send("QUIT");
  control.Reply();
}

std::string Quantiles(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  auto at = [&](double q) {
    return values[std::min(values.size() - 1, size_t(q * values.size()))];
  };
  char text[160];
  std::snprintf(text, sizeof text, "\"median\": %.6f, \"p99\": %.6f, \"count\": %zu", at(0.5),
                at(0.99), values.size());
  return text;
}

int Run(const Target& target, const std::string& mode, char** args, int count) {
  auto arg = [&](int i) -> std::string {
    if (i >= count) Fail("missing argument for " + mode);
    return args[i];
  };
  if (mode == "download") {
    auto control = LoggedIn(target);
    const auto start = Clock::now();
    const double cpu = CpuSeconds();
    const uint64_t bytes = control->Retrieve("RETR " + arg(0));
    const double seconds = Seconds(start);
    const double clientCpu = CpuSeconds() - cpu;
    Quit(*control);
    std::printf("{\"bytes\": %llu, \"seconds\": %.6f, \"client_cpu\": %.6f%s}\n",
                (unsigned long long)bytes, seconds, clientCpu, control->TlsJson().c_str());
  } else if (mode == "upload") {
    auto control = LoggedIn(target);
    const uint64_t bytes = std::strtoull(arg(1).c_str(), nullptr, 10);
    const auto start = Clock::now();
    const double cpu = CpuSeconds();
    control->Store(arg(0), bytes);
    const double seconds = Seconds(start);
    const double clientCpu = CpuSeconds() - cpu;
    Quit(*control);
    std::printf("{\"bytes\": %llu, \"seconds\": %.6f, \"client_cpu\": %.6f%s}\n",
                (unsigned long long)bytes, seconds, clientCpu, control->TlsJson().c_str());
  } else if (mode == "logins") {
    const int logins = std::atoi(arg(0).c_str());
    std::vector<double> times;
    std::string tls;
    for (int i = 0; i < logins; ++i) {
      const auto start = Clock::now();
      Control control(target.address, target.port);
      control.Login(target.user, target.password);
      // In clear the QUIT is timed too, as before; with TLS the clock stops at the 230.
      if (gTls != nullptr) times.push_back(Seconds(start));
      Quit(control);
      if (gTls == nullptr) times.push_back(Seconds(start));
      tls = control.TlsJson();
    }
    std::printf("{%s%s}\n", Quantiles(times).c_str(), tls.c_str());
  } else if (mode == "idle") {
    const int sessions = std::atoi(arg(0).c_str());
    const int hold = std::atoi(arg(1).c_str());
    std::vector<std::unique_ptr<Control>> held;
    const auto start = Clock::now();
    for (int i = 0; i < sessions; ++i) held.push_back(LoggedIn(target));
    const double loginSeconds = Seconds(start);
    std::fprintf(stderr, "ready\n");
    std::this_thread::sleep_for(std::chrono::seconds(hold));
    std::fprintf(stderr, "held\n");
    for (auto& control : held) Quit(*control);
    std::printf("{\"sessions\": %d, \"login_seconds\": %.3f}\n", sessions, loginSeconds);
  } else if (mode == "retrs") {
    const int files = std::atoi(arg(0).c_str());
    auto control = LoggedIn(target);
    const auto start = Clock::now();
    uint64_t bytes = 0;
    for (int i = 0; i < files; ++i) bytes += control->Retrieve("RETR " + arg(1));
    const double seconds = Seconds(start);
    Quit(*control);
    std::printf("{\"files\": %d, \"bytes\": %llu, \"seconds\": %.6f}\n", files,
                (unsigned long long)bytes, seconds);
  } else if (mode == "list") {
    const int lists = std::atoi(arg(1).c_str());
    auto control = LoggedIn(target);
    std::vector<double> times;
    uint64_t bytes = 0;
    for (int i = 0; i < lists; ++i) {
      const auto start = Clock::now();
      bytes = control->Retrieve("LIST " + arg(0));
      times.push_back(Seconds(start));
    }
    Quit(*control);
    std::printf("{\"bytes\": %llu, %s}\n", (unsigned long long)bytes, Quantiles(times).c_str());
  } else if (mode == "parallel") {
    const int sessions = std::atoi(arg(0).c_str());
    std::vector<std::unique_ptr<Control>> controls;
    for (int i = 0; i < sessions; ++i) controls.push_back(LoggedIn(target));
    std::vector<uint64_t> bytes(static_cast<size_t>(sessions), 0);
    std::vector<std::string> errors(static_cast<size_t>(sessions));
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (int i = 0; i < sessions; ++i) {
      threads.emplace_back([&, i] {
        try {
          bytes[size_t(i)] = controls[size_t(i)]->Retrieve("RETR " + arg(1));
        } catch (const std::exception& e) {
          errors[size_t(i)] = e.what();
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    const double seconds = Seconds(start);
    for (const std::string& error : errors) {
      if (!error.empty()) Fail(error);
    }
    for (auto& control : controls) Quit(*control);
    uint64_t total = 0;
    for (uint64_t b : bytes) total += b;
    std::printf("{\"bytes\": %llu, \"seconds\": %.6f}\n", (unsigned long long)total, seconds);
  } else if (mode == "churn") {
    const int logins = std::atoi(arg(0).c_str());
    int accepted = 0;
    int refused = 0;
    int broken = 0;
    const auto start = Clock::now();
    for (int i = 0; i < logins; ++i) {
      try {
        Control control(target.address, target.port);
        control.Send("USER " + target.user);
        control.Reply();
        control.Send("PASS " + target.password);
        if (control.Reply() == 230) {
          ++accepted;
        } else {
          ++refused;
        }
        Quit(control);
      } catch (const std::exception&) {
        ++broken;
      }
    }
    std::printf("{\"accepted\": %d, \"refused\": %d, \"broken\": %d, \"seconds\": %.3f}\n",
                accepted, refused, broken, Seconds(start));
  } else {
    Fail("unknown mode " + mode);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: ftp_load HOST PORT USER PASS [--tls CERT] MODE ARGS...\n");
    return 2;
  }
  Target target;
  if (!zelm::ParseDottedAddress(argv[1], target.address) || (target.address >> 24) != 127) {
    std::fprintf(stderr, "ftp_load: HOST must be a loopback address (127.x.x.x)\n");
    return 2;
  }
  target.port = uint16_t(std::atoi(argv[2]));
  target.user = argv[3];
  target.password = argv[4];
  zelm::RaiseDescriptorLimit();
  int mode = 5;
  try {
    if (std::strcmp(argv[mode], "--tls") == 0) {
      if (argc < mode + 3) Fail("--tls needs a certificate file and a mode");
      SetUpTls(argv[mode + 1], argv[1]);
      mode += 2;
    }
    return Run(target, argv[mode], argv + mode + 1, argc - mode - 1);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ftp_load: %s\n", e.what());
    return 1;
  }
}
