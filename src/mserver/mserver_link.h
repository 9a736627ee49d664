// CMServerLink: the FTP server's TCP link to the management server.
//
// Over it the server announces itself (hello, repeated until acknowledged), has named users'
// logins checked, asks for the rights of paths, reports its state and its sessions, and
// receives configuration, login answers, access answers and orders to end sessions. The link
// has no thread of its own: it shares the listener's event object and is driven by the
// listener's event thread, which also receives the management server's packets and hands
// them to the `CManagementHandler` (the listener).
//
// Threads: the link belongs to the listener's thread (it is driven by it, see
// `CZmSocket::SetDriver`): receiving, dispatching, connecting, every send and the close run
// there. Other threads never send on it: the sessions' login and access requests are queued
// for that thread by the management router. `IsReady` may be read anywhere.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "mserver/messages.h"
#include "mserver/packet.h"
#include "net/zm_socket.h"

namespace zelm {

// What the management server's packets ask of the FTP server; implemented by the listener.
// Called on the listener's thread.
class CManagementHandler {
 public:
  virtual ~CManagementHandler() = default;
  // Hello answer: 0 closes the listener, any other value changes nothing.
  virtual void SetServiceActive(uint32_t value) = 0;
  virtual void SendStatusReport() = 0;
  virtual void ApplyConfiguration(const ServiceRecord& record, const std::string* mainPath) = 0;
  virtual void OnLoginAnswer(const LoginAnswer& answer) = 0;
  virtual void OnEndSessions(const SessionSelector& target) = 0;
  virtual void OnAccessAnswer(const SessionSelector& target, const std::string& path,
                              uint32_t rights) = 0;
  // A shortcut-folder request; the handler answers by itself. The body is verified already.
  virtual void OnShortcutRequest(const ShortcutRequest& request) = 0;
};

// Largest backlog of unsent bytes a link keeps, and how long it may stand still.
inline constexpr size_t kMaxLinkBacklog = 4 * 1024 * 1024;
inline constexpr int64_t kLinkStallMs = 20000;

class CMServerLink : public CZmSocket {
 public:
  CMServerLink();
  ~CMServerLink() override;

  void SetHandler(CManagementHandler* handler) { handler_ = handler; }

  // Connected and acknowledged by the management server. Any thread.
  bool IsReady() const { return IsConnected() && acknowledged_.load(); }
  bool IsAcknowledged() const { return acknowledged_.load(); }

  // Sends one whole packet without waiting for the peer: what the kernel does not take at
  // once is kept in the backlog and goes out at later passes (`FlushBacklog`). False when
  // the link is not open, or when the packet would make the backlog larger than
  // kMaxLinkBacklog: then the link is closed, to be made again from a clean start, so a
  // management peer that does not read never holds up the listener's thread. The listener's
  // thread.
  bool SendPacketBytes(const Packet& packet);
  // Sends what the backlog holds as far as the peer takes it; a backlog that has not moved
  // for kLinkStallMs closes the link. The listener's thread, at every pass.
  void FlushBacklog();
  // Bytes are waiting in the backlog (the listener's thread then passes again soon).
  bool HasBacklog() const { return !backlog_.empty(); }
  size_t BacklogBytes() const { return backlog_.size(); }
  bool SendHello();
  // Sends the login request when the link is ready; false otherwise.
  bool SendLoginRequest(std::string_view userName, std::string_view password, uint32_t sessionId);

  // ---- CZmSocket ----
  int OnReceiveData(uint8_t* data, size_t length, size_t& consumed) override;
  void OnConnect(int code) override;
  void OnClosing(bool byPeer) override;

  // One received packet (verified); public so that tests can feed packets directly.
  virtual void OnPacket(const MServerPacketHeader& header, const uint8_t* body,
                        uint32_t bodyLength);

 private:
  CManagementHandler* handler_ = nullptr;
  std::atomic<bool> acknowledged_{false};
  // The listener's thread only.
  std::string backlog_;
  int64_t backlogMovedMs_ = 0;  // when the backlog last shrank or began
};

}  // namespace zelm
