// Test helpers: connected socket pairs on 127.0.0.1 and bounded waits for other threads.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "platform/error.h"
#include "platform/socket.h"
#include "platform/thread.h"

namespace zelm::testing {

inline constexpr uint32_t kLoopback = 0x7F000001;

// A listening socket on 127.0.0.1 with a port chosen by the system.
struct LoopbackListener {
  SocketHandle handle = kInvalidSocket;
  uint16_t port = 0;

  LoopbackListener() {
    int error = 0;
    handle = OpenSocket(kSocketStream, kProtocolTcp, error);
    EXPECT_TRUE(BindSocket(handle, kLoopback, 0, error));
    EXPECT_TRUE(ListenSocket(handle, 64, error));
    SocketAddress local;
    EXPECT_TRUE(GetSocketName(handle, local, error));
    port = NetworkToHost16(local.port);
  }
  ~LoopbackListener() { CloseSocket(handle); }

  // Opens a client connection to the listener.
  SocketHandle ConnectClient() const {
    int error = 0;
    SocketHandle client = OpenSocket(kSocketStream, kProtocolTcp, error);
    ConnectSocket(client, kLoopback, port, error);
    EXPECT_EQ(WaitWritable(client, 5000, error), 1);
    return client;
  }
  // Accepts one connection (waiting for it).
  SocketHandle AcceptOne() const {
    int error = 0;
    EXPECT_EQ(WaitReadable(handle, 5000, error), 1);
    SocketAddress peer;
    return AcceptSocket(handle, peer, error);
  }
};

// A connected pair: `client` is a plain descriptor, `server` the accepted end.
struct LoopbackPair {
  LoopbackListener listener;
  SocketHandle client = kInvalidSocket;
  SocketHandle server = kInvalidSocket;

  LoopbackPair() {
    client = listener.ConnectClient();
    server = listener.AcceptOne();
  }
  ~LoopbackPair() {
    CloseSocket(client);
    CloseSocket(server);
  }
  // Hands the server end over to its new owner.
  SocketHandle TakeServer() {
    SocketHandle s = server;
    server = kInvalidSocket;
    return s;
  }
};

// Sends every byte of `text` (the peer is expected to read).
inline void SendAll(SocketHandle socket, const std::string& text) {
  size_t sent = 0;
  int error = 0;
  while (sent < text.size()) {
    long n = SendSocket(socket, text.data() + sent, text.size() - sent, error);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && error != kWsaEwouldblock) {
      return;  // the peer has gone: nothing more can be sent
    } else {
      ASSERT_EQ(WaitWritable(socket, 5000, error), 1);
    }
  }
}

// Reads what arrives within `timeoutMs` of the last byte, until `count` bytes or end of stream.
inline std::string ReadUpTo(SocketHandle socket, size_t count, int timeoutMs = 5000) {
  std::string text;
  char buffer[4096];
  int error = 0;
  while (text.size() < count && WaitReadable(socket, timeoutMs, error) == 1) {
    long n = ReceiveSocket(socket, buffer, sizeof buffer, false, error);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

// Waits (up to 5 s, in 1 ms steps) for `done`, which another thread makes true.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    SleepMilliseconds(1);
  }
  return true;
}

}  // namespace zelm::testing
