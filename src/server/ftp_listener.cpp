// Owns the FTP listener: the listening socket, accepting, reaping, and the parts that live as
// long as the service (registry, broker, router).
#include "server/ftp_listener.h"

#include <algorithm>
#include <future>

#include "ftp/reply_builder.h"
#include "ftp/session_log.h"
#include "net/service_metrics.h"
#include "platform/clock.h"
#include "platform/tls_certificate.h"

namespace zelm {
namespace {

// An IPv4 address stored in the settings (its bytes, low byte first, are the address in
// network order) in host order.
uint32_t AddressFromSetting(uint32_t value) { return __builtin_bswap32(value); }

}  // namespace

CFtpListener::CFtpListener() {
  // A restarted service must listen again at once, not a minute later when the connections
  // of its previous run have left TIME_WAIT.
  SetReuseAddress(true);
}

CFtpListener::~CFtpListener() {
  ShutdownAll();
  CloseSocket(false);
}

bool CFtpListener::StartListening(bool restart) {
  if (restart) {
    Close(false);
  } else if (IsListening()) {
    return true;
  }
  uint32_t port = 0;
  uint32_t address = 0;
  {
    CMutexLock lock(settingsMutex_);
    settings_.Load();
    port = settings_.port != 0 ? settings_.port : 21;
    address = settings_.address != 0 ? AddressFromSetting(settings_.address) : 0;
  }
  LoadTls();
  if (portOverride_ != 0) {
    port = portOverride_;
    address = addressOverride_;
  }
  if (!GetEvent()) {
    int error = 0;
    std::shared_ptr<CEventObject> event = CEventObject::Create(error);
    if (!event) return false;
    SetEvent(event);
  }
  if (!Listen(port, address)) return false;
  if (portOverride_ == kAnyPort) portOverride_ = GetListenPort();
  ListenImplicitTls(address);
  return StartEventThread();
}

void CFtpListener::LoadTls() {
  const std::string certificate = ReadSettingString("TLS Certificate");
  const std::string key = ReadSettingString("TLS Key");
  const uint32_t mode =
      std::min<uint32_t>(ReadSettingDword("TLS Mode", certificate.empty() ? 0 : 1), 2);
  std::shared_ptr<CTlsServer> tls;
  std::string status;
  std::string error;
  if (mode == 0) {
    status = certificate.empty() ? "TLS off: no certificate configured (zelmftpctl tls generate "
                                   "makes one)"
                                 : "TLS off (\"TLS Mode\" 0)";
  } else if (certificate.empty() || key.empty()) {
    status = "TLS off: \"TLS Mode\" is " + std::to_string(mode) +
             " but \"TLS Certificate\" or \"TLS Key\" is not set";
  } else if (!CheckPrivateKeyFile(key, error)) {
    status = "TLS off: " + error;  // SECURITY: a key others can read is not used
  } else if (!(tls = CTlsServer::Load(certificate, key, error))) {
    status = "TLS off: " + error;
  } else {
    std::string fingerprint;
    if (!CertificateFingerprint(certificate, fingerprint, error)) fingerprint = "unknown";
    status = std::string(mode >= 2 ? "TLS on (required for logins and data connections)"
                                   : "TLS on (AUTH TLS offered)") +
             ", certificate " + certificate + ", SHA-256 fingerprint " + fingerprint;
  }
  CMutexLock lock(settingsMutex_);
  tlsTrouble_ = mode != 0 && !tls;  // asked for, not had
  tls_ = std::move(tls);
  tlsMode_ = tls_ ? mode : 0;
  tlsStatus_ = std::move(status);
}

void CFtpListener::ListenImplicitTls(uint32_t address) {
  const uint32_t port = ReadSettingDword("Implicit TLS Port", 0);
  if (implicit_) implicit_->Close(false);
  if (port == 0 || port > 65535) return;
  std::string note;
  bool trouble = false;
  if (!TlsContext()) {
    note = "; implicit FTPS port " + std::to_string(port) + " not opened: TLS is off";
    trouble = true;
  } else {
    if (!implicit_) {
      implicit_ =
          std::make_unique<CImplicitTlsListener>([this](SocketHandle socket, SocketAddress peer) {
            return AdmitConnection(socket, peer, true);
          });
      implicit_->SetDriver(this);  // served by this listener's thread, on its event object
    }
    implicit_->SetEvent(GetEvent());
    implicit_->SetReuseAddress(true);
    trouble = !implicit_->Listen(port, address);
    note = trouble ? "; implicit FTPS port " + std::to_string(port) + ": cannot listen (in use?)"
                   : "; implicit FTPS on port " + std::to_string(port);
  }
  CMutexLock lock(settingsMutex_);
  tlsStatus_ += note;
  tlsTrouble_ = tlsTrouble_ || trouble;
}

uint16_t CFtpListener::GetImplicitTlsPort() {
  return implicit_ && implicit_->IsListening() ? implicit_->GetLocalPort() : 0;
}

std::shared_ptr<CTlsServer> CFtpListener::TlsContext() {
  CMutexLock lock(settingsMutex_);
  return tls_;
}

uint32_t CFtpListener::TlsMode() {
  CMutexLock lock(settingsMutex_);
  return tlsMode_;
}

std::string CFtpListener::TlsStatus() const {
  CMutexLock lock(settingsMutex_);
  return tlsStatus_;
}

bool CFtpListener::IsTlsTroubled() const {
  CMutexLock lock(settingsMutex_);
  return tlsTrouble_;
}

bool CFtpListener::SetActive(bool active) {
  const auto apply = [this, active] {
    if (active) return StartListening(false);
    if (IsListening()) Close(false);
    return !IsListening();
  };
  if (IsOnOwnThread()) return apply();
  auto done = std::make_shared<std::promise<bool>>();
  std::future<bool> result = done->get_future();
  Post([apply, done] { done->set_value(apply()); });
  if (result.wait_for(std::chrono::milliseconds(kShutdownWaitMs)) != std::future_status::ready) {
    return false;
  }
  return result.get();
}

uint16_t CFtpListener::GetListenPort() { return IsValid() ? NetworkToHost16(GetLocalPort()) : 0; }

void CFtpListener::ShutdownAll() {
  // The link is served by the listener's thread: it is closed only once that thread has
  // ended, never under its reads and sends.
  StopEventThread(true);
  router_.Close();
  std::list<std::unique_ptr<CFtpSession>> ending = registry_.TakeAll();
  for (auto& session : ending) {
    session->Post([](CFtpSession& s) { s.CloseSession(true, 0); });
  }
  // Each session says farewell on its own thread; wait (bounded) for them to end.
  const uint32_t start = GetTickCount();
  for (auto& session : ending) {
    while (session->IsEventThreadRunning() && GetTickCount() - start < kShutdownWaitMs) {
      PumpWait(5);
    }
  }
  for (auto& session : ending) {
    // A session whose thread is stuck is left alive: deleting it under its thread would be
    // worse than leaking it at shutdown.
    if (session->IsEventThreadRunning()) session.release();
  }
}

std::string CFtpListener::GetQuitText() {
  CMutexLock lock(settingsMutex_);
  return settings_.quitText;
}

std::string CFtpListener::DefaultPath() {
  CMutexLock lock(settingsMutex_);
  return settings_.defaultPath;
}

// ---- Accepting ----

std::unique_ptr<CFtpSession> CFtpListener::MakeSession(uint32_t identifier) {
  return std::make_unique<CFtpSession>(this, identifier);
}

namespace {

LoginGuardRules CurrentGuardRules() {
  return {GetFailedLoginDelay(), GetBanFailures(), GetBanWindow(), GetBanTime()};
}

// Sends a refusal on a descriptor that no session has adopted (the listener's thread).
void RefuseConnection(SocketHandle socket, uint32_t code) {
  CFtpReply reply;
  reply.BuildError(code, nullptr, {});
  int error = 0;
  SendSocket(socket, reply.Text().data(), reply.Length(), error);
}

}  // namespace

int64_t CFtpListener::PasswordReplyDelayMs(CFtpSession& session) {
  guard_.SetRules(CurrentGuardRules());
  return guard_.ReplyDelayMs(session.GetPeer(), MonotonicMilliseconds());
}

void CFtpListener::OnLoginFailed(CFtpSession& session) {
  guard_.SetRules(CurrentGuardRules());
  const uint32_t peer = session.GetPeer();
  if (guard_.RecordFailure(peer, MonotonicMilliseconds())) {
    PostEvent(LogPriority::kWarning,
              "Address banned for " + std::to_string(GetBanTime()) + " s after " +
                  std::to_string(GetBanFailures()) + " failed logins\r\n",
              {}, peer);
  }
}

void CFtpListener::OnLoginSucceeded(CFtpSession& session) {
  const uint32_t peer = session.GetPeer();
  guard_.RecordSuccess(peer);
  ServiceMetrics().CountLogin(true);
  const std::string user = session.GetUserName();
  PostEvent(LogPriority::kNotice,
            "Login of " + user + " accepted from " + FormatIpAddress(peer) + "\r\n", user, peer);
}

void CFtpListener::OnTransferEnded(const TransferRecord& record) {
  ServiceMetrics().CountTransfer(record.complete);
  if (record.replyCode == 552) {
    ServiceMetrics().CountQuotaRefusal();
    PostEvent(LogPriority::kNotice,
              "Upload of '" + record.realPath + "' by " + record.userName + " stopped at " +
                  std::to_string(record.bytes) + " bytes: over the quota of " + record.userName +
                  "'s home (552)\r\n",
              record.userName, record.peer);
  }
  transferLog_.Write(record, GetTransferLogPath());
}

std::string CFtpListener::MetricsText() {
  MetricsGauges gauges;
  gauges.sessions = CountSessions();
  gauges.bans = static_cast<uint32_t>(guard_.ListBans(MonotonicMilliseconds()).size());
  gauges.managementLinkUp = Link().IsReady();
  return RenderMetricsText(ServiceMetrics().Read(), gauges);
}

void CFtpListener::LogRefusedConnection(uint32_t address, const std::string& why) {
  const int64_t now = MonotonicMilliseconds();
  const auto last = refusalLoggedMs_.find(address);
  if (last != refusalLoggedMs_.end() && now - last->second < kRefusalLogIntervalMs) return;
  if (refusalLoggedMs_.size() >= 4096) {
    // Many addresses: only the recent ones are kept.
    std::erase_if(refusalLoggedMs_,
                  [now](const auto& entry) { return now - entry.second >= kRefusalLogIntervalMs; });
  }
  refusalLoggedMs_[address] = now;
  PostEvent(
      LogPriority::kNotice,
      "Connection refused: " + why + " (refusals of this address are logged once a minute)\r\n", {},
      address);
}

bool CFtpListener::OnAccept(SocketHandle socket, SocketAddress address) {
  return AdmitConnection(socket, address, false);
}

bool CFtpListener::AdmitConnection(SocketHandle socket, SocketAddress address, bool implicitTls) {
  // A TLS client of the implicit port cannot read a reply in clear: it is only closed.
  const auto refuse = [socket, implicitTls] {
    if (implicitTls) {
      zelm::CloseSocket(socket);
    } else {
      RefuseConnection(socket, kReplyConnectionLimit);
    }
  };
  // SECURITY: no pause here, whatever arrives: the listener's thread also serves the
  // management link. A banned address, and one that holds its share of the connections
  // already, is turned away at once.
  if (guard_.IsBanned(address.address, MonotonicMilliseconds())) {
    refuse();
    LogRefusedConnection(address.address, "the address is banned");
    return false;
  }
  const uint32_t perAddress = GetMaxConnectionPerIp();
  if (perAddress != 0 && registry_.CountOpenFrom(address.address) >= perAddress) {
    refuse();
    LogRefusedConnection(address.address, "the address holds " + std::to_string(perAddress) +
                                              " connections already (\"Max Connection Per IP\")");
    return false;
  }
  RequestLinkUpkeep();
  bool adopted = false;
  bool overLimit = false;
  const uint32_t codePage = ReadSettingDword("Code Page", 0);
  const uint32_t maxConnection = GetMaxConnection();
  CFtpSession* session = registry_.Admit(
      maxConnection, [this](uint32_t identifier) { return MakeSession(identifier); },
      [socket, codePage, implicitTls, &adopted](CFtpSession& s) {
        s.SetCodePage(codePage);
        // The session greets its client from its own thread, before it reads a line.
        s.Post([implicitTls](CFtpSession& greeted) { greeted.Greet(implicitTls); });
        if (s.Attach(socket)) return true;
        // A session that adopted the descriptor closes it itself (when it goes); one that
        // did not leaves it to the caller.
        adopted = s.GetHandle() == socket;
        return false;
      },
      overLimit);
  if (overLimit) {
    // The descriptor is this thread's until a session adopts it.
    refuse();
    LogRefusedConnection(address.address, std::to_string(maxConnection) +
                                              " connections are open (\"Max Connection\")");
    return false;
  }
  return session != nullptr || adopted;  // true: the descriptor is the session's
}

// ---- The listener's thread ----

bool CFtpListener::InitEvents() {
  if (!CZmSocket::InitEvents()) return false;
  router_.Start(GetEvent());
  return true;
}

bool CFtpListener::OnNetworkEvents(CEventObject* event, bool poll) {
  reapPending_ = registry_.ReapClosed();
  bool handled = CZmSocket::OnNetworkEvents(event, poll);
  if (implicit_ && implicit_->IsValid())
    handled = implicit_->OnNetworkEvents(event, poll) || handled;
  return router_.Serve(event, IsValid()) || handled;
}

void CFtpListener::OnIdle() { router_.IdlePass(IsValid()); }

int CFtpListener::GetNextTickDelay() {
  if (reapPending_ && GetHandle() != kInvalidSocket) return kReapRetryMs;  // see ReapClosed
  return router_.GetNextTickDelay();
}

void CFtpListener::OnClosed(bool wasConnected, bool wasListening) {
  (void)wasConnected;
  (void)wasListening;
  if (implicit_) implicit_->Close(false);  // the implicit port listens only beside this one
  router_.SendStatusReport();
}

}  // namespace zelm
