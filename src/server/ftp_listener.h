// CFtpListener: the listening socket of the FTP service and the owner of everything that lives
// as long as the service: the session registry, the login broker, the management router (with
// the management link and discovery), the transfer log and the settings record.
//
// It accepts control connections, refuses them at the connection limit, and creates a session
// for each (the session greets its client on its own thread). What it does is split by role:
// `CSessionRegistry` keeps the sessions, `CLoginBroker` serves what session threads ask,
// `CManagementRouter` writes and reads the management link; the operations below that name
// those jobs are one-line forwards.
//
// Threads: the listener's event thread accepts, reaps closed sessions and drives the router
// (the link and discovery share its event object). Session threads call the `CSessionOwner`
// operations, which reach only the broker and the registry. Any other thread (the console's,
// the service's) changes the listener only through `SetActive`, which posts to its thread.
// `settingsMutex_` guards the settings record, read by session threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

#include "ftp/ftp_session.h"
#include "ftp/session_owner.h"
#include "net/zm_socket.h"
#include "platform/thread_annotations.h"
#include "server/listener_control.h"
#include "server/login_broker.h"
#include "server/login_guard.h"
#include "server/management_router.h"
#include "server/session_registry.h"
#include "server/settings.h"
#include "server/transfer_log.h"

namespace zelm {

// How long ShutdownAll waits for the sessions' threads to end, and `SetActive` for the
// listener's thread.
inline constexpr uint32_t kShutdownWaitMs = 3000;
// A closed session whose thread had not ended yet is looked at again after this long.
inline constexpr int kReapRetryMs = 5;
// A refused connection is logged once per address within this long (a banned address that
// keeps calling does not flood the journal).
inline constexpr int64_t kRefusalLogIntervalMs = 60000;

class CFtpListener : public CZmSocket, public CSessionOwner, private CListenerControl {
 public:
  CFtpListener();
  ~CFtpListener() override;

  // Loads the settings and listens on "ServicePort" (21 when 0) of "ServiceIP" (all addresses
  // when 0), then starts the event thread. With `restart` the socket is closed first; without,
  // a listening server returns true at once. The listener's thread, or any thread before it
  // runs.
  bool StartListening(bool restart);
  // Any thread: listens again (true when it listens afterwards) or closes the listening
  // socket (true when it is closed afterwards), on the listener's thread; waits for it at
  // most kShutdownWaitMs. Sessions stay either way.
  bool SetActive(bool active);
  // Ends everything: the listener's thread, the link, every session (farewell "421", then
  // deleted once its thread has ended). Not on the listener's thread.
  void ShutdownAll();

  // ---- Registry (any thread) ----
  CSessionRegistry& Sessions() { return registry_; }
  uint32_t CountSessions() { return registry_.CountOpen(); }
  size_t SessionListSize() { return registry_.Size(); }
  static bool IsSameHost(uint32_t a, uint32_t b) { return CSessionRegistry::IsSameHost(a, b); }

  // Listens on `port` of `address` (host order) instead of the settings' choice; kAnyPort
  // takes a free port the first time and keeps it afterwards. For tests.
  void OverrideListenAddress(uint32_t port, uint32_t address) {
    portOverride_ = port;
    addressOverride_ = address;
  }
  // The port the listener listens on (host order), 0 when it does not.
  uint16_t GetListenPort();

  // ---- Management link (see CManagementRouter) ----
  // Replaces discovery's destinations; before `StartListening`.
  void OverrideDiscoveryTargets(DiscoveryTargets targets) {
    router_.OverrideDiscoveryTargets(std::move(targets));
  }
  // The discovery object, null while discovery is off. The listener's thread uses it; others
  // may look only while that thread is stopped.
  CUdpServer* Discovery() { return router_.Discovery(); }
  // The router: the listener's thread (tests may call it where it only reads).
  CManagementRouter& Router() { return router_; }
  // The link; other threads may only read its state (`IsReady`).
  CMServerLink& Link() { return router_.Link(); }
  // The listener's thread (or while it is stopped).
  void StoreManagementAddress(uint32_t address, uint32_t port) {
    router_.StoreManagementAddress(address, port);
  }
  // Any thread: asks the listener's thread to connect the management link.
  void RequestLinkUpkeep() { router_.RequestLinkUpkeep(); }

  // ---- CSessionOwner (session threads) ----
  int ValidateLogin(CFtpSession& session) override {
    return broker_.ValidateLogin(session, DefaultPath());
  }
  bool RequestPathAccess(CFtpSession& session, const std::string& realPath,
                         uint32_t operation) override {
    return broker_.RequestPathAccess(session, realPath, operation);
  }
  void OnSessionClosed(CFtpSession& session) override { broker_.OnSessionClosed(session); }
  bool CheckSessionLimit(CFtpSession& session, uint32_t limit, bool closeSameHost) override {
    return registry_.CheckSessionLimit(session, limit, closeSameHost);
  }
  std::string GetQuitText() override;
  ShortcutContext GetShortcutContext() override {
    return CManagementRouter::CurrentShortcutContext();
  }
  int64_t PasswordReplyDelayMs(CFtpSession& session) override;
  void OnLoginFailed(CFtpSession& session) override;
  void OnLoginSucceeded(CFtpSession& session) override;
  // Counts the transfer, logs a quota cut-off at notice and writes the transfer log ("Transfer
  // Log", read each time). A session's thread or the upload worker.
  void OnTransferEnded(const TransferRecord& record) override;
  uint32_t LoginTimeoutSeconds() override { return GetLoginTimeout(); }
  bool ExtensionsOn() override { return AreExtensionsOn(); }
  std::shared_ptr<CTlsServer> TlsContext() override ZELM_EXCLUDES(settingsMutex_);
  uint32_t TlsMode() override ZELM_EXCLUDES(settingsMutex_);

  // ---- TLS (the settings "TLS Certificate", "TLS Key", "TLS Mode") ----
  // Reads them and loads the certificate and key; called by `StartListening`. Without a
  // certificate, with a key other users may read, or with files the library refuses, TLS is
  // off (and `TlsStatus` says why). Any thread.
  void LoadTls() ZELM_EXCLUDES(settingsMutex_);
  // "TLS on (AUTH TLS offered), certificate /x.pem, SHA-256 fingerprint AA:..." or "TLS off:
  // why". Any thread.
  std::string TlsStatus() const ZELM_EXCLUDES(settingsMutex_);
  // TLS was asked for but is off, or the implicit FTPS port could not be opened: the status
  // deserves a warning. Any thread.
  bool IsTlsTroubled() const ZELM_EXCLUDES(settingsMutex_);
  PassiveSettings GetPassiveSettings() override {
    return {{GetPassivePortMin(), GetPassivePortMax()}, GetPassiveAddress()};
  }

  // What failed logins cost each address, and the bans in force (any thread).
  CLoginGuard& Guard() { return guard_; }

  // The service's figures in Prometheus' text format (net/service_metrics.h): the process's
  // counters with this listener's sessions, bans and management link. Any thread.
  std::string MetricsText();

  // ---- CZmSocket (the listener's thread) ----
  bool OnNetworkEvents(CEventObject* event, bool poll) override;
  void OnIdle() override;
  bool OnAccept(SocketHandle socket, SocketAddress address) override;
  // The implicit FTPS port ("Implicit TLS Port", 0 = none), host order; 0 while it is not
  // listening. The listener's thread, or while it is stopped.
  uint16_t GetImplicitTlsPort();
  void OnClosed(bool wasConnected, bool wasListening) override;
  bool InitEvents() override;
  int GetNextTickDelay() override;

 protected:
  // Makes the session object for an accepted connection (tests substitute their own).
  virtual std::unique_ptr<CFtpSession> MakeSession(uint32_t identifier);

 private:
  // ---- CListenerControl (the listener's thread) ----
  bool IsActive() const override { return IsListening(); }
  bool Activate() override { return StartListening(false); }
  void Deactivate() override { Close(false); }

  std::string DefaultPath();
  // Turns an accepted connection into a session (or refuses it); `implicitTls`: it came to
  // the implicit FTPS port. The listener's thread.
  bool AdmitConnection(SocketHandle socket, SocketAddress address, bool implicitTls);
  // Listens on "Implicit TLS Port" beside the service port while TLS is on (after LoadTls).
  void ListenImplicitTls(uint32_t address);
  // Logs a refused connection of `address` at notice, unless one of it was logged within
  // kRefusalLogIntervalMs. The listener's thread.
  void LogRefusedConnection(uint32_t address, const std::string& why);

  // The listening socket of the implicit FTPS port: it only hands its connections over.
  class CImplicitTlsListener final : public CZmSocket {
   public:
    using Admit = std::function<bool(SocketHandle, SocketAddress)>;
    explicit CImplicitTlsListener(Admit admit) : admit_(std::move(admit)) {}
    ~CImplicitTlsListener() override { CloseSocket(false); }
    bool OnAccept(SocketHandle socket, SocketAddress address) override {
      return admit_(socket, address);
    }

   private:
    Admit admit_;
  };
  std::unique_ptr<CImplicitTlsListener> implicit_;  // the listener's thread

  mutable CMutex settingsMutex_;
  CFtpSettings settings_ ZELM_GUARDED_BY(settingsMutex_);
  std::shared_ptr<CTlsServer> tls_ ZELM_GUARDED_BY(settingsMutex_);
  uint32_t tlsMode_ ZELM_GUARDED_BY(settingsMutex_) = 0;
  std::string tlsStatus_ ZELM_GUARDED_BY(settingsMutex_) = "TLS off";
  // TLS was asked for ("TLS Mode", a certificate, the implicit port) but is not served as
  // asked: the status line is a warning.
  bool tlsTrouble_ ZELM_GUARDED_BY(settingsMutex_) = false;
  // Before the registry: sessions that end while it is destroyed still write their transfers.
  CTransferLog transferLog_;
  CSessionRegistry registry_;
  CLoginGuard guard_;
  CManagementRouter router_{*this, registry_, *this};
  CLoginBroker broker_{registry_, router_};
  bool reapPending_ = false;  // the listener's thread only: a closed session awaits its reaping
  // When a refused connection of each address was last logged; the listener's thread only.
  std::unordered_map<uint32_t, int64_t> refusalLoggedMs_;
  uint32_t portOverride_ = 0;
  uint32_t addressOverride_ = 0;
};

}  // namespace zelm
