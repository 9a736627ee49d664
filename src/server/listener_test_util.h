// Test helpers for the server: a scripted management peer and a line-oriented FTP client,
// both over plain sockets on 127.0.0.1.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "mserver/messages.h"
#include "mserver/packet.h"
#include "mserver/password_hiding.h"
#include "net/loopback_test_util.h"

namespace zelm::testing {

// One packet the peer received.
struct PeerPacket {
  MServerPacketHeader header;
  std::vector<uint8_t> body;  // the body bytes (bodyLength of them)
};

// A management server that answers as a script says. It accepts one link at a time; hello is
// answered with `helloValue`; login requests are answered by `onLogin` (no answer when it
// returns nothing). Everything received is recorded.
class ScriptedManagementPeer {
 public:
  ScriptedManagementPeer() : thread_([this] { Run(); }) {}
  ~ScriptedManagementPeer() {
    stop_ = true;
    thread_.join();
    CloseSocket(link_);
  }

  uint16_t Port() const { return listener_.port; }

  std::atomic<uint32_t> helloValue{1};
  // While false, links are accepted but never answered (a management server that is away).
  std::atomic<bool> accepting{true};
  // Called on the peer's thread with each login request and its recovered password.
  std::function<std::optional<LoginAnswer>(const LoginRequest&, const std::string& password)>
      onLogin;

  // Sends a whole packet on the current link (waits up to 5 s for one).
  void Send(const Packet& packet) {
    ASSERT_TRUE(WaitUntil([this] { return Linked(); }));
    std::lock_guard lock(sendMutex_);
    SendAll(link_.load(), std::string(packet.begin(), packet.end()));
  }
  bool Linked() const { return link_.load() != kInvalidSocket; }

  // Waits until a packet matching `match` has arrived (counting from `from`), returns it.
  std::optional<PeerPacket> WaitFor(const std::function<bool(const PeerPacket&)>& match,
                                    size_t from = 0) {
    std::optional<PeerPacket> found;
    WaitUntil([&] {
      std::lock_guard lock(mutex_);
      for (size_t i = from; i < packets_.size(); ++i) {
        if (match(packets_[i])) {
          found = packets_[i];
          return true;
        }
      }
      return false;
    });
    return found;
  }
  std::optional<PeerPacket> WaitForCommand(uint32_t category, uint32_t command, size_t from = 0) {
    return WaitFor(
        [=](const PeerPacket& p) {
          return p.header.category == category &&
                 (category != kCategoryItems || p.header.command == command);
        },
        from);
  }
  size_t Count() {
    std::lock_guard lock(mutex_);
    return packets_.size();
  }
  std::vector<PeerPacket> Packets() {
    std::lock_guard lock(mutex_);
    return packets_;
  }
  // Drops the current link (the FTP server sees its management server go away).
  void DropLink() {
    SocketHandle link = link_.exchange(kInvalidSocket);
    CloseSocket(link);
  }

 private:
  void Run() {
    std::vector<uint8_t> block;
    while (!stop_) {
      int error = 0;
      if (link_.load() == kInvalidSocket) {
        if (WaitReadable(listener_.handle, 20, error) != 1) continue;
        SocketAddress peer;
        link_ = AcceptSocket(listener_.handle, peer, error);
        block.clear();
        continue;
      }
      const SocketHandle link = link_.load();
      if (WaitReadable(link, 20, error) != 1) continue;
      uint8_t buffer[4096];
      const long n = ReceiveSocket(link, buffer, sizeof buffer, false, error);
      if (n <= 0) {
        SocketHandle expected = link;
        if (link_.compare_exchange_strong(expected, kInvalidSocket)) CloseSocket(link);
        continue;
      }
      block.insert(block.end(), buffer, buffer + n);
      size_t consumed = 0;
      const size_t missing = CutPackets(block.data(), block.size(), consumed,
                                        [this](const MServerPacketHeader& header, uint8_t* body,
                                               uint32_t length) { Handle(header, body, length); });
      if (missing == 0) {
        block.clear();
      } else {
        block.erase(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(consumed));
      }
    }
  }

  void Handle(const MServerPacketHeader& header, uint8_t* body, uint32_t length) {
    {
      std::lock_guard lock(mutex_);
      packets_.push_back({header, std::vector<uint8_t>(body, body + length)});
    }
    if (!accepting) return;
    if (header.category == kCategoryHello) {
      Reply(EncodeHelloAnswer(helloValue.load()));
    } else if (header.category == kCategoryItems && header.command == kCommandLoginRequest &&
               onLogin) {
      const auto request = DecodeLoginRequest(body, length);
      if (!request) return;
      std::string password;
      RecoverPassword(request->hiddenPassword, request->userName, password);
      if (const auto answer = onLogin(*request, password)) Reply(EncodeLoginAnswer(*answer));
    }
  }

  void Reply(const Packet& packet) {
    std::lock_guard lock(sendMutex_);
    SendAll(link_.load(), std::string(packet.begin(), packet.end()));
  }

  LoopbackListener listener_;
  std::atomic<SocketHandle> link_{kInvalidSocket};
  std::atomic<bool> stop_{false};
  std::mutex mutex_;  // guards packets_
  std::vector<PeerPacket> packets_;
  std::mutex sendMutex_;
  std::thread thread_;
};

// An FTP control connection as a client sees it.
class FtpTestClient {
 public:
  // Connects to 127.0.0.1:`port`, from `localAddress` (host order) when given.
  explicit FtpTestClient(uint16_t port, uint32_t localAddress = 0) {
    int error = 0;
    socket_ = OpenSocket(kSocketStream, kProtocolTcp, error);
    if (localAddress != 0) {
      EXPECT_TRUE(BindSocket(socket_, localAddress, 0, error));
    }
    ConnectSocket(socket_, kLoopback, port, error);
    EXPECT_EQ(WaitWritable(socket_, 5000, error), 1);
  }
  ~FtpTestClient() { CloseSocket(socket_); }
  FtpTestClient(const FtpTestClient&) = delete;
  FtpTestClient& operator=(const FtpTestClient&) = delete;

  void SendLine(const std::string& line) { SendAll(socket_, line + "\r\n"); }
  // One whole reply (all its lines, each with CR LF); empty when none came within `timeoutMs`.
  std::string ReadReply(int timeoutMs = 5000) {
    std::string reply;
    std::string code;
    while (true) {
      const std::string line = ReadLine(timeoutMs);
      if (line.empty()) return reply;
      reply += line;
      if (code.empty() && line.size() >= 4) {
        code = line.substr(0, 3);
        if (line[3] == ' ') return reply;
      } else if (line.size() >= 4 && line.compare(0, 3, code) == 0 && line[3] == ' ') {
        return reply;
      }
    }
  }
  std::string Command(const std::string& line) {
    SendLine(line);
    return ReadReply();
  }
  // True when the server has closed the connection (after anything it still sent).
  bool IsClosedByServer(int timeoutMs = 5000) {
    int error = 0;
    char byte;
    while (WaitReadable(socket_, timeoutMs, error) == 1) {
      const long n = ReceiveSocket(socket_, &byte, 1, false, error);
      if (n <= 0) return true;
      pending_.push_back(byte);
    }
    return false;
  }
  SocketHandle Handle() const { return socket_; }

 private:
  std::string ReadLine(int timeoutMs) {
    int error = 0;
    while (true) {
      const size_t end = pending_.find("\r\n");
      if (end != std::string::npos) {
        std::string line = pending_.substr(0, end + 2);
        pending_.erase(0, end + 2);
        return line;
      }
      if (WaitReadable(socket_, timeoutMs, error) != 1) return {};
      char buffer[4096];
      const long n = ReceiveSocket(socket_, buffer, sizeof buffer, false, error);
      if (n <= 0) return {};
      pending_.append(buffer, static_cast<size_t>(n));
    }
  }

  SocketHandle socket_ = kInvalidSocket;
  std::string pending_;
};

}  // namespace zelm::testing
