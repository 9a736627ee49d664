// CManagementRouter: the FTP service's side of the management link.
//
// It owns the link (`CMServerLink`) and, with "Discovery" = 1, the discovery object that
// looks for the management server while the link is down. It is the only code that writes
// the link: the session threads' requests arrive through `CManagementRequests` and are queued
// for the listener's thread, where they are sent. It is also the only code that applies the
// management server's packets: login and rights answers and end-session orders are routed to
// the sessions they name as tasks posted to them (a login answer carries the attempt it was
// asked for, so that a session that has moved on drops it); configuration, activation and
// status requests go to the listener through `CListenerControl`.
//
// Threads: the `CManagementRequests` operations may be called from any thread; every other
// operation runs on the listener's event thread, which drives the link and discovery (they
// share its event object). `Close` runs once that thread has ended.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "mserver/mserver_link.h"
#include "mserver/udp_server.h"
#include "server/listener_control.h"
#include "server/management_requests.h"
#include "server/session_registry.h"
#include "vfs/shell_link.h"

namespace zelm {

class CManagementRouter final : public CManagementHandler,
                                public CManagementRequests,
                                public CDiscoveryHandler {
 public:
  // `thread` is the socket whose event thread drives the link (the listener).
  CManagementRouter(CZmSocket& thread, CSessionRegistry& registry, CListenerControl& listener);
  ~CManagementRouter() override;
  CManagementRouter(const CManagementRouter&) = delete;
  CManagementRouter& operator=(const CManagementRouter&) = delete;

  // ---- The listener's thread ----

  // The thread starts: discovery is created (when on) or dropped, the link connected.
  void Start(const std::shared_ptr<CEventObject>& event);
  // One event pass: discovery, link upkeep and the link's events (`listenerOpen`: whether the
  // listening socket is open). True when the link was served.
  bool Serve(CEventObject* event, bool listenerOpen);
  // The timed pass (at most every kIdlePassMs): discovery queries, link upkeep, and serving
  // the link while the listening socket is closed (`listenerOpen` false).
  void IdlePass(bool listenerOpen);
  // Milliseconds until the thread must make a pass for the link (kNoTick: only events).
  int GetNextTickDelay() const;
  // Closes the link and stops discovery; once the listener's thread has ended.
  void Close();

  // Writes a learnt address: "MServer IP Learnt" (`address`, network order) and "MServer Port
  // Learnt", without creating the settings store, then connects the link to it unless the
  // operator configured "MServer IP" and "MServer Port".
  void StoreManagementAddress(uint32_t address, uint32_t port);
  CMServerLink& Link() { return link_; }
  // How shortcut files are read and written here: the drive mapping and code page of the
  // settings. Any thread.
  static ShortcutContext CurrentShortcutContext();
  CUdpServer* Discovery() { return discovery_.get(); }
  // Replaces discovery's destinations (tests keep them on 127.0.0.0/8); before `Start`.
  void OverrideDiscoveryTargets(DiscoveryTargets targets) {
    discoveryTargets_ = std::move(targets);
  }

  // ---- CManagementRequests (any thread) ----
  bool IsLinkReady() const override { return link_.IsReady(); }
  void RequestLinkUpkeep() override;
  void QueueLogin(LoginAsk ask) override;
  void QueueAccess(AccessAsk ask) override;
  void QueueSessionClosed(uint32_t sessionId) override;

  // ---- CManagementHandler (the listener's thread) ----
  void SetServiceActive(uint32_t value) override;
  void SendStatusReport() override;
  void ApplyConfiguration(const ServiceRecord& record, const std::string* mainPath) override;
  void OnLoginAnswer(const LoginAnswer& answer) override;
  void OnEndSessions(const SessionSelector& target) override;
  void OnAccessAnswer(const SessionSelector& target, const std::string& path,
                      uint32_t rights) override;
  void OnShortcutRequest(const ShortcutRequest& request) override;

  // ---- CDiscoveryHandler (the listener's thread) ----
  // SECURITY: ignored while the link is connected (a working link is never redirected) and
  // while the operator's own address is configured; otherwise `StoreManagementAddress`.
  void OnAnnouncement(uint32_t address, uint32_t port) override;

 private:
  struct PendingLogin {
    uint32_t attempt = 0;
    std::string homeName;
    std::string userName;
    uint64_t order = 0;    // when it was asked, counted: the oldest has the lowest
    int64_t sentAtUs = 0;  // when it was sent (monotonic microseconds), for the round trip
  };

  void SendLogin(const LoginAsk& ask);
  void SendAccess(const AccessAsk& ask);
  void DeliverLoginAnswer(CFtpSession& session, const LoginAnswer& answer);
  bool EnsureLink();
  void ServeLink(CEventObject* event);
  // Logs the link coming up (notice) and going down (warning) once per change.
  void NoteLinkState();
  // Posts `fn` to each session the selector names (by identifier first, else by name).
  void ForTargets(const SessionSelector& target, const std::function<void(CFtpSession&)>& fn);

  CZmSocket& thread_;
  CSessionRegistry& registry_;
  CListenerControl& listener_;
  CMServerLink link_;
  DiscoveryTargets discoveryTargets_;
  std::unique_ptr<CUdpServer> discovery_;  // null while discovery is off
  // Login requests sent and not yet answered, by session identifier.
  std::unordered_map<uint32_t, PendingLogin> pending_;
  uint64_t pendingOrder_ = 0;
  std::atomic<bool> linkWanted_{false};
  uint32_t lastIdleTick_ = 0;
  bool everIdle_ = false;
  bool linkWasReady_ = false;  // as NoteLinkState last saw it
  uint32_t linkPeer_ = 0;      // the management server's address while the link was up
};

}  // namespace zelm
