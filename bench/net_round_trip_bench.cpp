// Request/response round trip of a 100-byte message on loopback: a client sends 100 bytes, a
// CZmSocket served by its own event thread answers with 100 bytes.
//
// Usage: net_round_trip_bench [round trips=20000]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "net/zm_socket.h"
#include "platform/socket.h"

using namespace zelm;

namespace {

constexpr uint32_t kLoopback = 0x7F000001;
constexpr size_t kMessage = 100;

// Answers every whole 100-byte message with the same bytes.
class CEchoSocket final : public CZmSocket {
 public:
  ~CEchoSocket() override { StopEventThread(true); }
  int OnReceiveData(uint8_t* data, size_t length, size_t& consumed) override {
    while (length - consumed >= kMessage) {
      WriteSocket(data + consumed, kMessage);
      consumed += kMessage;
    }
    return consumed == length ? 0 : static_cast<int>(kMessage - (length - consumed));
  }
};

bool ReadExactly(SocketHandle socket, char* buffer, size_t length) {
  size_t got = 0;
  int error = 0;
  while (got < length) {
    long n = ReceiveSocket(socket, buffer + got, length - got, false, error);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n == 0 || error != 10035 || WaitReadable(socket, 5000, error) != 1) {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 20000;
  int error = 0;
  SocketHandle listener = OpenSocket(kSocketStream, kProtocolTcp, error);
  SocketAddress local;
  if (!BindSocket(listener, kLoopback, 0, error) || !ListenSocket(listener, 4, error) ||
      !GetSocketName(listener, local, error)) {
    return 1;
  }
  SocketHandle client = OpenSocket(kSocketStream, kProtocolTcp, error);
  ConnectSocket(client, kLoopback, NetworkToHost16(local.port), error);
  WaitReadable(listener, 5000, error);
  SocketAddress peer;
  CEchoSocket echo;
  if (!echo.Attach(AcceptSocket(listener, peer, error), CEventObject::Create(error)) ||
      !echo.StartEventThread()) {
    return 1;
  }
  WaitWritable(client, 5000, error);

  char message[kMessage] = {};
  char answer[kMessage];
  std::vector<double> micros;
  micros.reserve(rounds);
  for (int i = -1000; i < rounds; ++i) {  // the first thousand warm up
    auto start = std::chrono::steady_clock::now();
    if (SendSocket(client, message, kMessage, error) != static_cast<long>(kMessage) ||
        !ReadExactly(client, answer, kMessage)) {
      std::fprintf(stderr, "round trip %d failed\n", i);
      return 1;
    }
    auto took = std::chrono::steady_clock::now() - start;
    if (i >= 0) micros.push_back(std::chrono::duration<double, std::micro>(took).count());
  }
  std::sort(micros.begin(), micros.end());
  std::printf("100-byte round trips:  %d\n", rounds);
  std::printf("median:                %.1f us\n", micros[micros.size() / 2]);
  std::printf("99th percentile:       %.1f us\n", micros[micros.size() * 99 / 100]);
  CloseSocket(client);
  CloseSocket(listener);
  return 0;
}
