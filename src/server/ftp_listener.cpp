// Owns the FTP listener: accepting, the session registry, login routing and the management
// link's answers.
#include "server/ftp_listener.h"

#include <cctype>
#include <vector>

#include "ftp/reply_builder.h"
#include "platform/clock.h"
#include "server/shortcut_request.h"
#include "vfs/file_helpers.h"
#include "vfs/ftp_path.h"
#include "vfs/managed_path.h"

namespace zelm {
namespace {

// An IPv4 address stored in the settings (its bytes, low byte first, are the address in
// network order) in host order.
uint32_t AddressFromSetting(uint32_t value) { return __builtin_bswap32(value); }

std::string DriveSetting(char drive) { return ReadSettingString(std::string("Drive ") + drive); }

// SECURITY: `path` is `base` or lies below it, component by component.
bool IsBelow(std::string_view path, std::string_view base) {
  if (base == "/") return !path.empty() && path[0] == '/';
  if (path.substr(0, base.size()) != base) return false;
  return path.size() == base.size() || path[base.size()] == '/';
}

}  // namespace

CFtpListener::CFtpListener() {
  link_.SetHandler(this);
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
    std::lock_guard lock(settingsMutex_);
    settings_.Load();
    port = settings_.port != 0 ? settings_.port : 21;
    address = settings_.address != 0 ? AddressFromSetting(settings_.address) : 0;
  }
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
  link_.SetHandler(this);
  if (!Listen(port, address)) return false;
  if (portOverride_ == kAnyPort) portOverride_ = GetListenPort();
  return StartEventThread();
}

uint16_t CFtpListener::GetListenPort() { return IsValid() ? NetworkToHost16(GetLocalPort()) : 0; }

void CFtpListener::ShutdownAll() {
  // The link is served by the listener's thread: it is closed only once that thread has
  // ended, never under its reads and sends.
  StopEventThread(true);
  link_.Close(false);
  std::list<std::unique_ptr<CFtpSession>> ending;
  {
    std::lock_guard lock(sessionsMutex_);
    ending.swap(sessions_);
  }
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
  // Discovery belongs to the listener's thread: stopped only once that thread has ended.
  if (discovery_ && !IsEventThreadRunning()) discovery_->Stop();
}

// ---- Registry ----

uint32_t CFtpListener::CountSessionsLocked() const {
  uint32_t count = 0;
  for (const auto& session : sessions_) {
    if (session->HasFlag(kFlagGreeted)) ++count;
  }
  return count;
}

uint32_t CFtpListener::CountSessions() {
  std::lock_guard lock(sessionsMutex_);
  return CountSessionsLocked();
}

size_t CFtpListener::SessionListSize() {
  std::lock_guard lock(sessionsMutex_);
  return sessions_.size();
}

bool CFtpListener::WithSession(uint32_t identifier, const std::function<void(CFtpSession&)>& fn) {
  std::lock_guard lock(sessionsMutex_);
  for (auto& session : sessions_) {
    if (session->GetIdentifier() == identifier) {
      fn(*session);
      return true;
    }
  }
  return false;
}

void CFtpListener::ForEachSessionOfUser(std::string_view name,
                                        const std::function<void(CFtpSession&)>& fn) {
  std::lock_guard lock(sessionsMutex_);
  for (auto& session : sessions_) {
    if (EqualsNoCase(session->GetUserName(), name)) fn(*session);
  }
}

bool CFtpListener::IsSameHost(uint32_t a, uint32_t b) {
  // Network order: the first octet is the lowest byte.
  return a == b || ((a & 0xFF) == 127 && (b & 0xFF) == 127);
}

int CFtpListener::CheckSessionLimit(CFtpSession& session, bool closeSameHost) {
  const uint32_t limit = session.Account().sessionLimit;
  if (limit == 0) return 1;
  const std::string name = session.GetUserName();
  const uint32_t peer = session.GetPeer();
  std::lock_guard lock(sessionsMutex_);
  uint32_t count = 1;
  auto it = sessions_.begin();
  for (; it != sessions_.end(); ++it) {
    CFtpSession& other = **it;
    if (&other == &session || !EqualsNoCase(other.GetUserName(), name)) continue;
    if (!other.HasFlag(kFlagGreeted) || !other.IsLoggedIn()) continue;
    if (!IsSameHost(peer, other.GetPeer())) ++count;
    if (count > limit) break;
  }
  if (it == sessions_.end()) return 1;
  if (closeSameHost) {
    for (; it != sessions_.end(); ++it) {
      CFtpSession& other = **it;
      if (EqualsNoCase(other.GetUserName(), name) && IsSameHost(peer, other.GetPeer())) {
        other.Post([](CFtpSession& s) { s.CloseSession(true, 0); });
      }
    }
  }
  return 0;
}

bool CFtpListener::SetUpHomeFolder(CFtpSession& session) {
  const std::string main = GetMainPath();
  const std::string homeName = session.Account().homeName;
  if (main.empty() || homeName.empty()) return false;
  std::string mainFolder;
  std::string folder;
  if (!MapManagedPath(main, DriveSetting, "", mainFolder) ||
      !MapManagedPath(homeName, DriveSetting, mainFolder, folder) || !IsBelow(folder, mainFolder)) {
    return false;
  }
  bool created = false;
  if (!DirectoryExists(folder)) {
    if (!CreateDirectoryTree(folder)) return false;
    created = true;
  }
  std::lock_guard lock(session.AccountMutex());
  session.Account().fileSystem.SetHomePath(folder);
  if (created) session.Account().createdHome = folder;
  return true;
}

void CFtpListener::RequestLinkUpkeep() {
  linkWanted_ = true;
  WakeEventThread();
}

// ---- Sessions' requests ----

int CFtpListener::ValidateLogin(CFtpSession& session) {
  CFtpAccount& account = session.Account();
  {
    std::lock_guard settingsLock(settingsMutex_);
    std::lock_guard lock(session.AccountMutex());
    account.fileSystem.Reset();
    account.homeName = settings_.defaultPath;
  }
  if (EqualsNoCase(account.userName, "anonymous")) return kLoginAnonymous;
  if (account.password.empty()) {
    std::lock_guard lock(sessionsMutex_);
    for (auto& other : sessions_) {
      if (other.get() != &session && other->GetPeer() == session.GetPeer() &&
          other->HasFlag(kFlagGreeted) && other->IsLoggedIn()) {
        session.CopyAccountFrom(*other);
        return kLoginAccepted;
      }
    }
  }
  if (!link_.IsReady()) {
    RequestLinkUpkeep();
    return kLoginRefused;
  }
  return link_.SendLoginRequest(account.userName, account.password, session.GetIdentifier())
             ? kLoginAsked
             : kLoginRefused;
}

bool CFtpListener::RequestPathAccess(CFtpSession& session, const std::string& realPath,
                                     uint32_t operation) {
  if (!link_.IsReady()) {
    RequestLinkUpkeep();
    return false;
  }
  return link_.SendPacketBytes(EncodeAccessRequest(
      {session.GetIdentifier(), session.Account().userName, realPath, operation}));
}

void CFtpListener::OnSessionClosed(CFtpSession& session) {
  if (link_.IsConnected()) link_.SendPacketBytes(EncodeSessionClosed(session.GetIdentifier()));
  WakeEventThread();  // so that the closed session is reaped soon
}

std::string CFtpListener::GetQuitText() {
  std::lock_guard lock(settingsMutex_);
  return settings_.quitText;
}

// ---- Management answers (the listener's thread) ----

void CFtpListener::SetServiceActive(uint32_t value) {
  if (value == 0 && IsListening()) Close(false);
}

void CFtpListener::SendStatusReport() {
  const ServiceRecord record{{IsListening() ? 1u : 0u, CountSessions(), GetMaxConnection(),
                              GetAnonymousAccess(), GetAnonymousMax(), GetDefaultBandwidth()}};
  if (!link_.SendPacketBytes(EncodeStatusRecord(record))) return;
  std::vector<SessionStatus> statuses;
  {
    std::lock_guard lock(sessionsMutex_);
    for (auto& session : sessions_) {
      if (!session->IsConnected()) continue;
      statuses.push_back(
          {session->GetUserName(), session->GetIdentifier(), session->GetLoggedInSeconds(),
           session->GetPeer(), static_cast<uint32_t>(session->GetBytesSent()),
           static_cast<uint32_t>(session->GetBytesReceived()), session->GetTransferKind()});
    }
  }
  for (const SessionStatus& status : statuses) {
    if (!link_.SendPacketBytes(EncodeSessionStatus(status))) return;
  }
}

void CFtpListener::ApplyConfiguration(const ServiceRecord& record, const std::string* mainPath) {
  if (record.values[0] != 0 && !IsListening()) {
    StartListening(false);
  } else if (record.values[0] == 0 && IsListening()) {
    Close(false);
  }
  SetMaxConnection(record.values[2]);
  if (mainPath != nullptr && !mainPath->empty()) {
    std::string folder;
    if (MapManagedPath(*mainPath, DriveSetting, "", folder) && CreateDirectoryTree(folder)) {
      SetMainPath(mainPath->c_str());
    } else {
      SetMainPath(nullptr);
    }
  }
  SendStatusReport();
}

void CFtpListener::OnLoginAnswer(const LoginAnswer& answer) {
  const auto post = [this, answer](CFtpSession& session) {
    session.Post([this, answer](CFtpSession& s) { ApplyLoginAnswer(s, answer); });
  };
  if (answer.sessionId) {
    WithSession(*answer.sessionId, post);
  } else if (answer.userName) {
    ForEachSessionOfUser(*answer.userName, post);
  }
}

void CFtpListener::ApplyLoginAnswer(CFtpSession& session, const LoginAnswer& answer) {
  CFtpAccount& account = session.Account();
  {
    std::lock_guard lock(session.AccountMutex());
    if (answer.parameters) {
      account.quota = answer.parameters->quota;
      account.bandwidth = answer.parameters->bandwidth;
      account.sessionLimit = answer.parameters->sessionLimit;
      account.rights = answer.parameters->rights;
    }
    if (answer.homeFolder) account.homeName = *answer.homeFolder;
  }
  if (answer.result) {
    if (*answer.result != 0 && SetUpHomeFolder(session)) {
      session.SetLoginResult(CheckSessionLimit(session, false) != 0 ? kLoginResultAccepted
                                                                    : kLoginResultSessionLimit);
    } else {
      session.SetLoginResult(kLoginResultRefused);
    }
    return;
  }
  // An update of a session that is logged in already.
  CheckSessionLimit(session, true);
  if (answer.homeFolder) SetUpHomeFolder(session);
}

void CFtpListener::OnEndSessions(const SessionSelector& target) {
  const auto end = [](CFtpSession& session) {
    session.Post([](CFtpSession& s) { s.CloseSession(true, 0); });
  };
  if (target.sessionId && WithSession(*target.sessionId, end)) return;
  if (target.userName) ForEachSessionOfUser(*target.userName, end);
}

void CFtpListener::OnAccessAnswer(const SessionSelector& target, const std::string& path,
                                  uint32_t rights) {
  const auto answer = [path, rights](CFtpSession& session) {
    session.Post([path, rights](CFtpSession& s) { s.OnAccessAnswer(path, rights); });
  };
  if (target.sessionId && WithSession(*target.sessionId, answer)) return;
  if (target.userName) ForEachSessionOfUser(*target.userName, answer);
}

ShortcutContext CFtpListener::GetShortcutContext() {
  return ShortcutContext{DriveSetting, ReadSettingDword("Code Page", 0)};
}

void CFtpListener::OnShortcutRequest(const ShortcutRequest& request) {
  if (const auto answer = AnswerShortcutRequest(request, GetShortcutContext())) {
    link_.SendPacketBytes(EncodeShortcutAnswer(*answer));
  }
}

// ---- Accepting ----

std::unique_ptr<CFtpSession> CFtpListener::MakeSession(uint32_t identifier) {
  return std::make_unique<CFtpSession>(this, identifier);
}

CFtpSession* CFtpListener::CreateSession(SocketHandle socket, bool& adopted) {
  adopted = false;
  const uint32_t limit = GetMaxConnection();
  std::lock_guard lock(sessionsMutex_);
  if (CountSessionsLocked() >= limit) {
    CFtpReply reply;
    reply.BuildError(kReplyConnectionLimit, nullptr, {});
    int error = 0;
    SendSocket(socket, reply.Text().data(), reply.Length(), error);
    return nullptr;
  }
  // Identifiers are unique among live sessions, and never 0, even after the counter wraps.
  uint32_t identifier = 0;
  const auto taken = [this](uint32_t id) {
    for (const auto& s : sessions_) {
      if (s->GetIdentifier() == id) return true;
    }
    return false;
  };
  do {
    identifier = nextIdentifier_++;
  } while (identifier == 0 || taken(identifier));
  std::unique_ptr<CFtpSession> session = MakeSession(identifier);
  session->Account().fileSystem.SetCodePage(ReadSettingDword("Code Page", 0));
  if (!session->Attach(socket)) {
    // A session that adopted the descriptor closes it itself (when it goes); one that did not
    // leaves it to the caller.
    adopted = session->GetHandle() == socket;
    return nullptr;
  }
  sessions_.push_back(std::move(session));
  return sessions_.back().get();
}

bool CFtpListener::OnAccept(SocketHandle socket, SocketAddress address) {
  (void)address;
  const uint32_t now = GetTickCount();
  if (everAccepted_ && now - lastAcceptTick_ < 1000) PumpWait(10);
  lastAcceptTick_ = GetTickCount();
  everAccepted_ = true;
  EnsureManagementLink();
  bool adopted = false;
  CFtpSession* session = CreateSession(socket, adopted);
  if (session == nullptr) return adopted;  // true: the descriptor is gone already
  session->SendReply(220, nullptr);
  session->SetFlags(kFlagGreeted);
  session->WakeEventThread();
  return true;
}

void CFtpListener::ReapClosedSessions() {
  std::lock_guard lock(sessionsMutex_);
  reapPending_ = false;
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    CFtpSession& session = **it;
    if (session.HasFlag(kFlagClosed) && !session.IsEventThreadRunning() && !session.IsConnected()) {
      it = sessions_.erase(it);
    } else {
      // A session wakes the listener as it closes, a moment before its thread has ended:
      // it is looked at again shortly rather than left until something else happens.
      if (session.HasFlag(kFlagClosed)) reapPending_ = true;
      ++it;
    }
  }
}

// ---- The listener's thread ----

bool CFtpListener::InitEvents() {
  if (!CZmSocket::InitEvents()) return false;
  // SECURITY: discovery sends datagrams to every address of the local networks; it exists
  // only when the operator turned it on.
  if (IsDiscoveryOn()) {
    if (!discovery_) discovery_ = std::make_unique<CUdpServer>(discoveryTargets_);
    discovery_->SetEvent(GetEvent());
    discovery_->SetHandler(this);
    discovery_->CreateSockets();
    discovery_->CollectLocalAddresses();
  } else if (discovery_) {
    discovery_->Stop();
    discovery_.reset();
  }
  EnsureManagementLink();
  return true;
}

void CFtpListener::OnAnnouncement(uint32_t address, uint32_t port) {
  if (link_.IsConnected()) return;
  StoreManagementAddress(address, port);
}

void CFtpListener::StoreManagementAddress(uint32_t address, uint32_t port) {
  // Without SETTING_CREATE: a server without a settings store does not get one this way.
  WriteSetting("MServer IP", &address, sizeof address, SETTING_DWORD);
  WriteSetting("MServer Port", &port, sizeof port, SETTING_DWORD);
  EnsureManagementLink();
}

bool CFtpListener::EnsureManagementLink() {
  link_.SetHandler(this);
  if (link_.IsConnected() || link_.IsValid()) return true;
  link_.SetEvent(GetEvent());
  const uint32_t address = ReadSettingDword("MServer IP", 0);
  const uint32_t port = ReadSettingDword("MServer Port", 0);
  if (address == 0 || port == 0 || port > 0xFFFF) return false;
  return link_.Connect(AddressFromSetting(address), port);
}

void CFtpListener::ServeLink(CEventObject* event) {
  link_.OnNetworkEvents(event, true);
  if (link_.IsConnected() && !link_.IsAcknowledged()) link_.SendHello();
}

bool CFtpListener::OnNetworkEvents(CEventObject* event, bool poll) {
  ReapClosedSessions();
  bool handled = CZmSocket::OnNetworkEvents(event, poll);
  if (discovery_) discovery_->ProcessEvents(event);
  if (linkWanted_.exchange(false)) EnsureManagementLink();
  if (link_.IsValid()) {
    ServeLink(event);
    handled = true;
  } else {
    OnIdle();
  }
  return handled;
}

void CFtpListener::OnIdle() {
  const uint32_t now = GetTickCount();
  if (everIdle_ && now - lastIdleTick_ < kIdlePassMs) return;
  if (discovery_) {
    discovery_->ProcessEvents(GetEvent().get());
    if (!link_.IsConnected()) discovery_->SendQueries();
  }
  if (EnsureManagementLink() && !IsValid()) ServeLink(GetEvent().get());
  lastIdleTick_ = now;
  everIdle_ = true;
}

int CFtpListener::GetNextTickDelay() {
  if (linkWanted_) return 0;
  if (reapPending_ && GetHandle() != kInvalidSocket) return kReapRetryMs;  // see ReapClosedSessions
  // While the link is down (or not yet acknowledged) the idle pass keeps trying; otherwise
  // only events wake the thread.
  return link_.IsReady() ? kNoTick : static_cast<int>(kIdlePassMs);
}

void CFtpListener::OnClosed(bool wasConnected, bool wasListening) {
  (void)wasConnected;
  (void)wasListening;
  SendStatusReport();
}

}  // namespace zelm
