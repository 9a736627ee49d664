// ftp_load: the load generator of the side-by-side benchmark (bench/run). A small FTP client
// that drives any server the same way and prints one JSON object with its measurement.
//
//   ftp_load HOST PORT USER PASS MODE ARGS...
//     download PATH               one RETR, bytes and seconds
//     upload PATH BYTES           one STOR of BYTES bytes
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
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cctype>
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

// One control connection.
class Control {
 public:
  Control(uint32_t address, uint16_t port) : address_(address) {
    socket_ = Connect(address, port);
    Expect(220);
  }
  ~Control() { zelm::CloseSocket(socket_); }
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  void Login(const std::string& user, const std::string& password) {
    Command("USER " + user, 331);
    Command("PASS " + password, 230);
  }

  void Send(const std::string& line) {
    const std::string text = line + "\r\n";
    if (!SendAll(socket_, text.data(), text.size())) Fail("send failed: " + line);
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
      const long got = Receive(socket_, chunk, sizeof chunk);
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

  // PASV, then the data connection.
  SocketHandle OpenData() {
    Command("PASV", 227);
    const size_t open = last_.find('(');
    unsigned h[4], p[2];
    if (open == std::string::npos ||
        std::sscanf(last_.c_str() + open + 1, "%u,%u,%u,%u,%u,%u", &h[0], &h[1], &h[2], &h[3],
                    &p[0], &p[1]) != 6) {
      Fail("bad PASV reply: " + last_);
    }
    return Connect(address_, uint16_t(p[0] * 256 + p[1]));
  }

  // A transfer command on a fresh data connection; the data is drained or filled here.
  uint64_t Retrieve(const std::string& command) {
    SocketHandle data = OpenData();
    Send(command);
    const int code = Reply();
    if (code != 150 && code != 125) {
      zelm::CloseSocket(data);
      Fail(command + ": " + last_);
    }
    std::unique_ptr<char[]> block(new char[kBlock]);
    uint64_t total = 0;
    for (;;) {
      const long got = Receive(data, block.get(), kBlock);
      if (got <= 0) break;
      total += uint64_t(got);
    }
    zelm::CloseSocket(data);
    Expect(226);
    return total;
  }

  void Store(const std::string& path, uint64_t bytes) {
    SocketHandle data = OpenData();
    Send("STOR " + path);
    const int code = Reply();
    if (code != 150 && code != 125) {
      zelm::CloseSocket(data);
      Fail("STOR: " + last_);
    }
    std::unique_ptr<char[]> block(new char[kBlock]);
    std::memset(block.get(), 'z', kBlock);
    for (uint64_t left = bytes; left > 0;) {
      const size_t piece = size_t(std::min<uint64_t>(left, kBlock));
      if (!SendAll(data, block.get(), piece)) Fail("upload send failed");
      left -= piece;
    }
    zelm::ShutdownSocket(data, zelm::ShutdownHow::kSend);
    char sink[256];
    while (Receive(data, sink, sizeof sink) > 0) {
    }
    zelm::CloseSocket(data);
    Expect(226);
  }

 private:
  uint32_t address_;
  SocketHandle socket_ = zelm::kInvalidSocket;
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
  control->Command("TYPE I", 200);
  return control;
}

void Quit(Control& control) {
  control.Send("QUIT");
  control.Reply();
}

std::string Quantiles(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  auto at = [&](double q) { return values[std::min(values.size() - 1, size_t(q * values.size()))]; };
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
    const uint64_t bytes = control->Retrieve("RETR " + arg(0));
    const double seconds = Seconds(start);
    Quit(*control);
    std::printf("{\"bytes\": %llu, \"seconds\": %.6f}\n", (unsigned long long)bytes, seconds);
  } else if (mode == "upload") {
    auto control = LoggedIn(target);
    const uint64_t bytes = std::strtoull(arg(1).c_str(), nullptr, 10);
    const auto start = Clock::now();
    control->Store(arg(0), bytes);
    const double seconds = Seconds(start);
    Quit(*control);
    std::printf("{\"bytes\": %llu, \"seconds\": %.6f}\n", (unsigned long long)bytes, seconds);
  } else if (mode == "logins") {
    const int logins = std::atoi(arg(0).c_str());
    std::vector<double> times;
    for (int i = 0; i < logins; ++i) {
      const auto start = Clock::now();
      Control control(target.address, target.port);
      control.Login(target.user, target.password);
      Quit(control);
      times.push_back(Seconds(start));
    }
    std::printf("{%s}\n", Quantiles(times).c_str());
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
    std::fprintf(stderr, "usage: ftp_load HOST PORT USER PASS MODE ARGS...\n");
    return 2;
  }
  Target target;
  if (!zelm::ParseDottedAddress(argv[1], target.address) ||
      (target.address >> 24) != 127) {
    std::fprintf(stderr, "ftp_load: HOST must be a loopback address (127.x.x.x)\n");
    return 2;
  }
  target.port = uint16_t(std::atoi(argv[2]));
  target.user = argv[3];
  target.password = argv[4];
  zelm::RaiseDescriptorLimit();
  try {
    return Run(target, argv[5], argv + 6, argc - 6);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ftp_load: %s\n", e.what());
    return 1;
  }
}
