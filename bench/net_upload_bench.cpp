// Upload-worker throughput: S clients each send M MiB; the server sockets are served by the
// process-wide upload worker, which writes every received block to /dev/null.
//
// Usage: net_upload_bench [streams=1] [MiB per stream=512] [worker read size in KiB=64]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "net/completion_port.h"
#include "net/zm_socket.h"
#include "platform/socket.h"
#include "platform/thread.h"

using namespace zelm;

namespace {

constexpr uint32_t kLoopback = 0x7F000001;
std::FILE* devNull = nullptr;
std::atomic<int> finished{0};
std::atomic<uint64_t> receivedBytes{0};

class CUploadSink final : public CZmSocket {
 public:
  ~CUploadSink() override { CloseSocket(false); }
  void OnIoReceived(uint8_t* data, size_t count, size_t, bool more) override {
    std::fwrite(data, 1, count, devNull);
    receivedBytes += count;
    if (more) Receive(nullptr, 0, true);
  }
  void OnClosed(bool, bool) override { ++finished; }
};

void SendStream(SocketHandle client, uint64_t bytes) {
  std::vector<char> buffer(256 * 1024, 'u');
  int error = 0;
  while (bytes > 0) {
    size_t chunk = bytes < buffer.size() ? static_cast<size_t>(bytes) : buffer.size();
    long n = SendSocket(client, buffer.data(), chunk, error);
    if (n > 0) {
      bytes -= static_cast<uint64_t>(n);
    } else if (n < 0 && (error != 10035 || WaitWritable(client, 5000, error) < 0)) {
      std::fprintf(stderr, "send failed: %d\n", error);
      break;
    }
  }
  CloseSocket(client);
}

}  // namespace

int main(int argc, char** argv) {
  const int streams = argc > 1 ? std::atoi(argv[1]) : 1;
  const uint64_t mib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 512;
  const size_t readKib = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 64;
  devNull = std::fopen("/dev/null", "wb");
  if (devNull == nullptr) return 1;
  std::setvbuf(devNull, nullptr, _IONBF, 0);
  CCompletionPool::Instance().SetReceiveSize(readKib * 1024);

  int error = 0;
  SocketHandle listener = OpenSocket(kSocketStream, kProtocolTcp, error);
  SocketAddress local;
  if (!BindSocket(listener, kLoopback, 0, error) || !ListenSocket(listener, 64, error) ||
      !GetSocketName(listener, local, error)) {
    return 1;
  }
  std::vector<SocketHandle> clients;
  std::vector<std::unique_ptr<CUploadSink>> sinks;
  for (int i = 0; i < streams; ++i) {
    SocketHandle client = OpenSocket(kSocketStream, kProtocolTcp, error);
    ConnectSocket(client, kLoopback, NetworkToHost16(local.port), error);
    WaitReadable(listener, 5000, error);
    SocketAddress peer;
    auto sink = std::make_unique<CUploadSink>();
    if (!sink->Attach(AcceptSocket(listener, peer, error), nullptr) || !sink->UseCompletionPort()) {
      return 1;
    }
    WaitWritable(client, 5000, error);
    clients.push_back(client);
    sinks.push_back(std::move(sink));
  }

  auto start = std::chrono::steady_clock::now();
  for (auto& sink : sinks) sink->Receive(nullptr, 0, true);
  std::vector<std::thread> senders;
  for (SocketHandle client : clients) senders.emplace_back(SendStream, client, mib << 20);
  for (auto& sender : senders) sender.join();
  while (finished.load() < streams) SleepMilliseconds(1);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  double total = static_cast<double>(receivedBytes.load()) / (1 << 20);
  std::printf("streams %d x %llu MiB, worker reads of %zu KiB: %.2f s, %.0f MiB/s in all\n",
              streams, static_cast<unsigned long long>(mib), readKib, seconds, total / seconds);
  sinks.clear();
  CloseSocket(listener);
  std::fclose(devNull);
  return 0;
}
