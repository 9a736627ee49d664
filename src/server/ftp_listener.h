// CFtpListener: the listening socket of the FTP service and the owner of everything that lives
// as long as the service: the control sessions, the settings record and the management link.
//
// It accepts control connections, refuses them at the connection limit, creates and greets a
// session for each, decides how a login is checked, keeps the registry of sessions (find,
// count, per-user limit, reap, end all) and drives the management link from its own event
// thread. With the setting "Discovery" = 1 (read when that thread starts) it also owns the
// discovery object (`CUdpServer`), which looks for the management server while the link is
// down; otherwise no discovery socket exists.
//
// Threads: the listener's event thread runs accepting, reaping, the link and every management
// answer. Sessions call `ValidateLogin`, `RequestPathAccess` and `OnSessionClosed` on their
// own threads. The session list is guarded by `sessionsMutex_`, taken by every registry
// operation; a session's account lock is only ever taken after it. Work for a session that
// arises on the listener's thread (login answers, account updates, access answers, end orders)
// is posted to the session and carried out on its own thread. A session that needs the link
// connected asks the listener's thread to connect it (`RequestLinkUpkeep`).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "ftp/ftp_session.h"
#include "ftp/session_owner.h"
#include "mserver/mserver_link.h"
#include "mserver/udp_server.h"
#include "net/zm_socket.h"
#include "server/settings.h"

namespace zelm {

// How long ShutdownAll waits for the sessions' threads to end.
inline constexpr uint32_t kShutdownWaitMs = 3000;
// The listener's idle pass runs at most this often.
inline constexpr uint32_t kIdlePassMs = 100;
// A closed session whose thread had not ended yet is looked at again after this long.
inline constexpr int kReapRetryMs = 5;

class CFtpListener : public CZmSocket,
                     public CSessionOwner,
                     public CManagementHandler,
                     public CDiscoveryHandler {
 public:
  CFtpListener();
  ~CFtpListener() override;

  // Loads the settings and listens on "ServicePort" (21 when 0) of "ServiceIP" (all addresses
  // when 0), then starts the event thread. With `restart` the socket is closed first; without,
  // a listening server returns true at once.
  bool StartListening(bool restart);
  // Ends everything: the link, the listener's thread, every session (farewell "421", then
  // deleted once its thread has ended).
  void ShutdownAll();

  // ---- Registry (any thread) ----
  uint32_t CountSessions();
  // Runs `fn` on the session with that identifier while the registry is locked; false when
  // there is none.
  bool WithSession(uint32_t identifier, const std::function<void(CFtpSession&)>& fn);
  // Runs `fn` on every session whose user name equals `name` (ignoring case), in list order.
  void ForEachSessionOfUser(std::string_view name, const std::function<void(CFtpSession&)>& fn);
  size_t SessionListSize();
  static bool IsSameHost(uint32_t a, uint32_t b);
  // 1 pass, 0 over the per-user limit; with `closeSameHost` the user's sessions from this
  // host, from the one that exceeded the limit on, are ended.
  int CheckSessionLimit(CFtpSession& session, bool closeSameHost);
  // Maps the session's home name below the main path and makes it the session's home.
  bool SetUpHomeFolder(CFtpSession& session);

  // Listens on `port` of `address` (host order) instead of the settings' choice; kAnyPort
  // takes a free port the first time and keeps it afterwards. For tests.
  void OverrideListenAddress(uint32_t port, uint32_t address) {
    portOverride_ = port;
    addressOverride_ = address;
  }
  // The port the listener listens on (host order), 0 when it does not.
  uint16_t GetListenPort();

  // Replaces discovery's destinations (tests keep them on 127.0.0.0/8). Call before
  // `StartListening`.
  void OverrideDiscoveryTargets(DiscoveryTargets targets) {
    discoveryTargets_ = std::move(targets);
  }
  // The discovery object, null while discovery is off. The listener's thread uses it; others
  // may look only while that thread is stopped.
  CUdpServer* Discovery() { return discovery_.get(); }

  CMServerLink& Link() { return link_; }
  // Asks the listener's thread to connect the management link.
  void RequestLinkUpkeep();

  // ---- CSessionOwner ----
  int ValidateLogin(CFtpSession& session) override;
  bool RequestPathAccess(CFtpSession& session, const std::string& realPath,
                         uint32_t operation) override;
  void OnSessionClosed(CFtpSession& session) override;
  std::string GetQuitText() override;
  ShortcutContext GetShortcutContext() override;

  // ---- CManagementHandler ----
  void SetServiceActive(uint32_t value) override;
  void SendStatusReport() override;
  void ApplyConfiguration(const ServiceRecord& record, const std::string* mainPath) override;
  void OnLoginAnswer(const LoginAnswer& answer) override;
  void OnEndSessions(const SessionSelector& target) override;
  void OnAccessAnswer(const SessionSelector& target, const std::string& path,
                      uint32_t rights) override;
  void OnShortcutRequest(const ShortcutRequest& request) override;

  // ---- CDiscoveryHandler (the listener's thread) ----
  // Ignored while the link is connected (a working link is never redirected); otherwise
  // `StoreManagementAddress`.
  void OnAnnouncement(uint32_t address, uint32_t port) override;
  // Writes "MServer IP" (`address`, network order) and "MServer Port" without creating the
  // settings store, then connects the link to them.
  void StoreManagementAddress(uint32_t address, uint32_t port);

  // ---- CZmSocket ----
  bool OnNetworkEvents(CEventObject* event, bool poll) override;
  void OnIdle() override;
  bool OnAccept(SocketHandle socket, SocketAddress address) override;
  void OnClosed(bool wasConnected, bool wasListening) override;
  bool InitEvents() override;
  int GetNextTickDelay() override;

 protected:
  // Makes the session object for an accepted connection (tests substitute their own).
  virtual std::unique_ptr<CFtpSession> MakeSession(uint32_t identifier);

 private:
  CFtpSession* CreateSession(SocketHandle socket, bool& adopted);
  void ReapClosedSessions();
  bool EnsureManagementLink();
  void ServeLink(CEventObject* event);
  // Applies a login answer to one session on its own thread.
  void ApplyLoginAnswer(CFtpSession& session, const LoginAnswer& answer);
  uint32_t CountSessionsLocked() const;

  mutable std::mutex settingsMutex_;  // guards settings_, read by session threads
  CFtpSettings settings_;
  CMServerLink link_;
  DiscoveryTargets discoveryTargets_;
  std::unique_ptr<CUdpServer> discovery_;  // the listener's thread only; null while off
  std::mutex sessionsMutex_;               // guards sessions_
  std::list<std::unique_ptr<CFtpSession>> sessions_;
  std::atomic<uint32_t> nextIdentifier_{1};
  std::atomic<bool> linkWanted_{false};
  bool reapPending_ = false;  // the listener's thread only: a closed session awaits its reaping
  uint32_t portOverride_ = 0;
  uint32_t addressOverride_ = 0;
  uint32_t lastAcceptTick_ = 0;
  uint32_t lastIdleTick_ = 0;
  bool everAccepted_ = false;
  bool everIdle_ = false;
};

}  // namespace zelm
