// Cost of idle connections: CPU time and memory of a process that holds N connected sockets,
// each served by its own event thread, while nothing is sent for a while.
//
// Usage: net_idle_bench [connections=1000] [seconds=10]
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "net/zm_socket.h"
#include "platform/limits.h"
#include "platform/process_stats.h"
#include "platform/socket.h"
#include "platform/thread.h"

using namespace zelm;

namespace {

constexpr uint32_t kLoopback = 0x7F000001;

class CIdleSocket final : public CZmSocket {
 public:
  ~CIdleSocket() override { StopEventThread(true); }
};

}  // namespace

int main(int argc, char** argv) {
  const int connections = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 10;
  if (RaiseDescriptorLimit() < 3L * connections + 64) {
    std::fprintf(stderr, "descriptor limit too low for %d connections\n", connections);
    return 1;
  }
  int error = 0;
  SocketHandle listener = OpenSocket(kSocketStream, kProtocolTcp, error);
  SocketAddress local;
  if (!BindSocket(listener, kLoopback, 0, error) || !ListenSocket(listener, 4096, error) ||
      !GetSocketName(listener, local, error)) {
    std::fprintf(stderr, "cannot listen on 127.0.0.1: %d\n", error);
    return 1;
  }
  const uint16_t port = NetworkToHost16(local.port);

  const uint64_t rssBefore = GetResidentBytes();
  const uint64_t vszBefore = GetVirtualBytes();
  std::vector<SocketHandle> clients;
  std::vector<std::unique_ptr<CIdleSocket>> sockets;
  for (int i = 0; i < connections; ++i) {
    SocketHandle client = OpenSocket(kSocketStream, kProtocolTcp, error);
    ConnectSocket(client, kLoopback, port, error);
    WaitReadable(listener, 5000, error);
    SocketAddress peer;
    SocketHandle server = AcceptSocket(listener, peer, error);
    auto socket = std::make_unique<CIdleSocket>();
    if (server == kInvalidSocket || !socket->Attach(server, CEventObject::Create(error)) ||
        !socket->StartEventThread()) {
      std::fprintf(stderr, "connection %d failed\n", i);
      return 1;
    }
    clients.push_back(client);
    sockets.push_back(std::move(socket));
  }
  SleepMilliseconds(500);  // let every thread reach its wait
  const uint64_t rssAfter = GetResidentBytes();
  const uint64_t vszAfter = GetVirtualBytes();

  const double cpuStart = GetProcessCpuSeconds();
  SleepMilliseconds(static_cast<uint32_t>(seconds) * 1000);
  const double cpu = GetProcessCpuSeconds() - cpuStart;

  std::printf("idle connections:            %d (one event thread each)\n", connections);
  std::printf("CPU time over %d s:          %.3f s\n", seconds, cpu);
  std::printf("resident memory per conn.:   %.1f KiB (server side and client side together)\n",
              (rssAfter - rssBefore) / 1024.0 / connections);
  std::printf("virtual memory per conn.:    %.1f KiB (thread stack %zu KiB reserved)\n",
              (vszAfter - vszBefore) / 1024.0 / connections, kEventThreadStackSize / 1024);

  for (auto& socket : sockets) socket->StopEventThread(false);
  sockets.clear();
  for (SocketHandle client : clients) CloseSocket(client);
  CloseSocket(listener);
  return 0;
}
