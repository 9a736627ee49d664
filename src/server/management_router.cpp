// Owns the management link's traffic on the listener's thread: sending the sessions' requests,
// applying the management server's packets, link upkeep and discovery.
#include "server/management_router.h"

#include <vector>

#include "ftp/session_log.h"
#include "ftp/session_owner.h"
#include "net/service_metrics.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/privileges.h"
#include "server/link_trust.h"
#include "server/settings.h"
#include "server/shortcut_request.h"
#include "vfs/file_helpers.h"
#include "vfs/ftp_path.h"
#include "vfs/managed_path.h"

namespace zelm {
namespace {

// The listener's idle pass runs at most this often.
constexpr uint32_t kIdlePassMs = 100;
// How soon the listener's thread tries again to send a link's backlog.
constexpr uint32_t kBacklogRetryMs = 20;

// An IPv4 address stored in the settings (its bytes, low byte first, are the address in
// network order) in host order.
uint32_t AddressFromSetting(uint32_t value) { return __builtin_bswap32(value); }

std::string DriveSetting(char drive) { return ReadSettingString(std::string("Drive ") + drive); }

// Maps a home name below the main path and makes sure the folder exists: the folder, or empty
// when it is not strictly below the main path or cannot be created (`created` tells whether it
// was; `why` says what went wrong). SECURITY: a main path that is a system folder (stored
// before it was checked, or typed so by hand) serves no home at all.
std::string SetUpHomeFolder(const std::string& homeName, bool& created, std::string& why) {
  created = false;
  const std::string main = GetMainPath();
  if (main.empty()) {
    why = "no \"Main Path\" is set, so no home folder can be had";
    return {};
  }
  if (homeName.empty()) {
    why = "the management server named no home folder";
    return {};
  }
  std::string mainFolder;
  std::string folder;
  if (!MapManagedPath(main, DriveSetting, "", mainFolder) ||
      IsSystemFolder(mainFolder, ProtectedDataFolders()) ||
      !MapManagedPath(homeName, DriveSetting, mainFolder, folder) ||
      !LiesWithin(folder, {mainFolder}, true)) {
    why = "the home folder '" + homeName + "' is not below the main path '" + main + "'";
    PostEvent(LogPriority::kWarning,
              "Home folder '" + homeName + "' refused: not below the main path '" + main + "'\r\n",
              {}, 0);
    return {};
  }
  if (!DirectoryExists(folder)) {
    if (!CreateDirectoryTree(folder)) {
      std::string error = "unknown error";
      GetSystemErrorText(0, error);
      why = "the home folder " + folder + " is missing and cannot be created: " + error;
      PostEvent(LogPriority::kErr,
                "Home folder " + folder + " cannot be created: " + error +
                    " (is \"Main Path\" writable for the service?)\r\n",
                {}, 0);
      return {};
    }
    created = true;
  }
  // A home the service cannot write still serves downloads; uploads there will fail, and the
  // operator hears of it now rather than from the customers.
  if (std::string cannot; !CanWriteFolder(folder, cannot)) {
    PostEvent(LogPriority::kErr, "Home folder " + folder + " cannot be written: " + cannot + "\r\n",
              {}, 0);
  }
  return folder;
}

// The monotonic clock in microseconds.
int64_t MonotonicMicroseconds() {
  int64_t ticks = 0;
  int64_t frequency = 0;
  if (!ReadClockCounter(ticks) || !ReadClockFrequency(frequency) || frequency <= 0) {
    return MonotonicMilliseconds() * 1000;
  }
  return ticks / frequency * 1000000 + ticks % frequency * 1000000 / frequency;
}

// "MServer IP" and "MServer Port" as the operator set them; false when either is missing or
// unusable.
bool ConfiguredManagementAddress(uint32_t& address, uint32_t& port) {
  address = ReadSettingDword("MServer IP", 0);
  port = ReadSettingDword("MServer Port", 0);
  return address != 0 && port != 0 && port <= 0xFFFF;
}

void PostUpdate(CFtpSession& session, uint32_t attempt, AccountUpdate update) {
  session.Post([attempt, update = std::move(update)](CFtpSession& s) {
    s.ApplyAccountUpdate(attempt, update);
  });
}

}  // namespace

CManagementRouter::CManagementRouter(CZmSocket& thread, CSessionRegistry& registry,
                                     CListenerControl& listener)
    : thread_(thread), registry_(registry), listener_(listener) {
  link_.SetHandler(this);
  link_.SetDriver(&thread_);
}

CManagementRouter::~CManagementRouter() { Close(); }

ShortcutContext CManagementRouter::CurrentShortcutContext() {
  return ShortcutContext{DriveSetting, ReadSettingDword("Code Page", 0)};
}

// ---- The listener's thread: upkeep ----

void CManagementRouter::Start(const std::shared_ptr<CEventObject>& event) {
  // SECURITY: discovery sends datagrams to every address of the local networks; it exists
  // only when the operator turned it on.
  if (IsDiscoveryOn()) {
    if (!discovery_) discovery_ = std::make_unique<CUdpServer>(discoveryTargets_);
    discovery_->SetEvent(event);
    discovery_->SetHandler(this);
    discovery_->CreateSockets();
    discovery_->CollectLocalAddresses();
  } else if (discovery_) {
    discovery_->Stop();
    discovery_.reset();
  }
  EnsureLink();
}

void CManagementRouter::Close() {
  link_.Close(false);
  if (discovery_) discovery_->Stop();
}

bool CManagementRouter::EnsureLink() {
  if (link_.IsConnected() || link_.IsValid()) return true;
  link_.SetEvent(thread_.GetEvent());
  uint32_t address = 0;
  uint32_t port = 0;
  if (!ConfiguredManagementAddress(address, port)) {
    // Only while the operator configured none: what discovery learnt.
    address = ReadSettingDword("MServer IP Learnt", 0);
    port = ReadSettingDword("MServer Port Learnt", 0);
  }
  if (address == 0 || port == 0 || port > 0xFFFF) return false;
  return link_.Connect(AddressFromSetting(address), port);
}

void CManagementRouter::ServeLink(CEventObject* event) {
  link_.OnNetworkEvents(event, true);
  if (link_.IsConnected() && !link_.IsAcknowledged()) link_.SendHello();
}

void CManagementRouter::NoteLinkState() {
  const bool ready = link_.IsReady();
  if (ready == linkWasReady_) return;
  linkWasReady_ = ready;
  if (ready) {
    linkPeer_ = link_.GetPeerIp();
    PostEvent(LogPriority::kNotice, "Management link up\r\n", {}, linkPeer_);
  } else {
    PostEvent(LogPriority::kWarning,
              "Management link lost: named logins are refused until it is back\r\n", {}, linkPeer_);
  }
}

bool CManagementRouter::Serve(CEventObject* event, bool listenerOpen) {
  link_.FlushBacklog();
  if (discovery_) discovery_->ProcessEvents(event);
  if (linkWanted_.exchange(false)) EnsureLink();
  if (!link_.IsValid()) {
    IdlePass(listenerOpen);
    return false;
  }
  ServeLink(event);
  NoteLinkState();
  return true;
}

void CManagementRouter::IdlePass(bool listenerOpen) {
  link_.FlushBacklog();
  NoteLinkState();
  const uint32_t now = GetTickCount();
  if (everIdle_ && now - lastIdleTick_ < kIdlePassMs) return;
  if (discovery_) {
    discovery_->ProcessEvents(thread_.GetEvent().get());
    if (!link_.IsConnected()) discovery_->SendQueries();
  }
  if (EnsureLink() && !listenerOpen) ServeLink(thread_.GetEvent().get());
  lastIdleTick_ = now;
  everIdle_ = true;
}

int CManagementRouter::GetNextTickDelay() const {
  if (linkWanted_.load()) return 0;
  if (link_.HasBacklog()) return static_cast<int>(kBacklogRetryMs);
  // While the link is down (or not yet acknowledged) the idle pass keeps trying; otherwise
  // only events wake the thread.
  return link_.IsReady() ? kNoTick : static_cast<int>(kIdlePassMs);
}

void CManagementRouter::OnAnnouncement(uint32_t address, uint32_t port) {
  if (link_.IsConnected()) return;
  uint32_t configuredAddress = 0;
  uint32_t configuredPort = 0;
  if (ConfiguredManagementAddress(configuredAddress, configuredPort)) return;
  StoreManagementAddress(address, port);
}

void CManagementRouter::StoreManagementAddress(uint32_t address, uint32_t port) {
  // Without SETTING_CREATE: a server without a settings store does not get one this way.
  WriteSetting("MServer IP Learnt", &address, sizeof address, SETTING_DWORD);
  WriteSetting("MServer Port Learnt", &port, sizeof port, SETTING_DWORD);
  EnsureLink();
}

// ---- Requests from the sessions (any thread), sent on the listener's thread ----

void CManagementRouter::RequestLinkUpkeep() {
  linkWanted_ = true;
  thread_.WakeEventThread();
}

void CManagementRouter::QueueLogin(LoginAsk ask) {
  thread_.Post([this, ask = std::move(ask)] { SendLogin(ask); });
}

void CManagementRouter::QueueAccess(AccessAsk ask) {
  thread_.Post([this, ask = std::move(ask)] { SendAccess(ask); });
}

void CManagementRouter::QueueSessionClosed(uint32_t sessionId) {
  thread_.Post([this, sessionId] {
    pending_.erase(sessionId);
    if (link_.IsConnected()) link_.SendPacketBytes(EncodeSessionClosed(sessionId));
  });
}

void CManagementRouter::SendLogin(const LoginAsk& ask) {
  if (ask.previousSessionId != 0) pending_.erase(ask.previousSessionId);  // that attempt is over
  if (link_.IsReady() && link_.SendLoginRequest(ask.userName, ask.password, ask.sessionId)) {
    pending_[ask.sessionId] = {ask.attempt, ask.homeName, ask.userName, ++pendingOrder_,
                               MonotonicMicroseconds()};
    return;
  }
  // The link went down after the session looked: the login is refused, as it would have been.
  registry_.WithSession(ask.sessionId, [&ask](CFtpSession& session) {
    AccountUpdate refusal;
    refusal.loginAccepted = false;
    refusal.refusal = "the management link went down before the request could be sent";
    PostUpdate(session, ask.attempt, std::move(refusal));
  });
}

void CManagementRouter::SendAccess(const AccessAsk& ask) {
  if (link_.IsReady() && link_.SendPacketBytes(EncodeAccessRequest(
                             {ask.sessionId, ask.userName, ask.realPath, ask.operation}))) {
    return;
  }
  registry_.WithSession(ask.sessionId, [](CFtpSession& session) {
    session.Post([](CFtpSession& s) { s.OnAccessUnanswered(); });
  });
}

// ---- Management answers (the listener's thread) ----

void CManagementRouter::ForTargets(const SessionSelector& target,
                                   const std::function<void(CFtpSession&)>& fn) {
  if (target.sessionId && registry_.WithSession(*target.sessionId, fn)) return;
  if (target.userName) registry_.ForEachSessionOfUser(*target.userName, fn);
}

void CManagementRouter::SetServiceActive(uint32_t value) {
  if (value == 0 && listener_.IsActive()) listener_.Deactivate();
}

void CManagementRouter::SendStatusReport() {
  const ServiceRecord record{{listener_.IsActive() ? 1u : 0u, registry_.CountOpen(),
                              GetMaxConnection(), GetAnonymousAccess(), GetAnonymousMax(),
                              GetDefaultBandwidth()}};
  if (!link_.SendPacketBytes(EncodeStatusRecord(record))) return;
  std::vector<SessionStatus> statuses;
  registry_.ForEach([&statuses](CFtpSession& session) {
    if (!session.IsConnected()) return;
    statuses.push_back(
        {session.GetUserName(), session.GetIdentifier(), session.GetLoggedInSeconds(),
         session.GetPeer(), static_cast<uint32_t>(session.GetBytesSent()),
         static_cast<uint32_t>(session.GetBytesReceived()), session.GetTransferKind()});
  });
  for (const SessionStatus& status : statuses) {
    if (!link_.SendPacketBytes(EncodeSessionStatus(status))) return;
  }
}

void CManagementRouter::ApplyConfiguration(const ServiceRecord& record,
                                           const std::string* mainPath) {
  if (record.values[0] != 0 && !listener_.IsActive()) {
    listener_.Activate();
  } else if (record.values[0] == 0 && listener_.IsActive()) {
    listener_.Deactivate();
  }
  SetMaxConnection(record.values[2]);
  if (mainPath != nullptr && !mainPath->empty() && *mainPath != GetMainPath()) {
    // SECURITY: the main path is the operator's: the link may move it only to an existing
    // folder below "Main Path Roots" that is no system folder; nothing is created for it.
    std::string folder;
    const MainPathVerdict verdict = CheckMainPath(
        *mainPath, DriveSetting, MainPathRoots(DriveSetting), ProtectedDataFolders(), folder);
    if (verdict == MainPathVerdict::kAccepted) {
      SetMainPath(mainPath->c_str());
      PostEvent(LogPriority::kNotice,
                "Main path set to '" + *mainPath + "' by the management server\r\n", {},
                link_.GetPeerIp());
    } else {
      PostEvent(LogPriority::kWarning,
                "Main path '" + *mainPath + "' from the management server refused: it " +
                    DescribeVerdict(verdict) + "; \"Main Path\" stays '" + GetMainPath() + "'\r\n",
                {}, link_.GetPeerIp());
    }
  }
  SendStatusReport();
}

void CManagementRouter::OnLoginAnswer(const LoginAnswer& answer) {
  // The sessions are collected first: setting up a home folder touches the disk, which is not
  // done with the registry locked. Only this thread reaps, so the pointers stay valid.
  std::vector<CFtpSession*> targets;
  const auto collect = [&targets](CFtpSession& session) { targets.push_back(&session); };
  if (answer.sessionId) {
    registry_.WithSession(*answer.sessionId, collect);
  } else if (answer.userName && answer.result) {
    // SECURITY: a login answer by user name admits one attempt, the oldest one waiting for
    // that user, never every session that happens to carry the name (a guess from another PC).
    const PendingLogin* oldest = nullptr;
    uint32_t oldestId = 0;
    for (const auto& [identifier, pending] : pending_) {
      if (EqualsNoCase(pending.userName, *answer.userName) &&
          (oldest == nullptr || pending.order < oldest->order)) {
        oldest = &pending;
        oldestId = identifier;
      }
    }
    if (oldest != nullptr) registry_.WithSession(oldestId, collect);
  } else if (answer.userName) {
    registry_.ForEachSessionOfUser(*answer.userName, collect);
  }
  for (CFtpSession* session : targets) DeliverLoginAnswer(*session, answer);
}

void CManagementRouter::DeliverLoginAnswer(CFtpSession& session, const LoginAnswer& answer) {
  AccountUpdate update;
  if (answer.parameters) {
    update.limits = AccountLimits{answer.parameters->quota, answer.parameters->bandwidth,
                                  answer.parameters->sessionLimit, answer.parameters->rights};
  }
  update.homeName = answer.homeFolder;
  uint32_t attempt = 0;
  if (answer.result) {
    // A login answer: it applies to the attempt it was asked for, or to nothing.
    const auto pending = pending_.find(session.GetIdentifier());
    if (pending == pending_.end()) return;
    attempt = pending->second.attempt;
    const std::string homeName = answer.homeFolder ? *answer.homeFolder : pending->second.homeName;
    ServiceMetrics().ObserveRoundTrip(MonotonicMicroseconds() - pending->second.sentAtUs);
    pending_.erase(pending);
    update.loginAccepted = *answer.result != 0;
    if (*update.loginAccepted) {
      update.homeFolder = SetUpHomeFolder(homeName, update.homeCreated, update.refusal);
    }
  } else if (answer.homeFolder) {
    // An update of a session that is logged in already.
    std::string why;
    update.homeFolder = SetUpHomeFolder(*answer.homeFolder, update.homeCreated, why);
  }
  PostUpdate(session, attempt, std::move(update));
}

void CManagementRouter::OnEndSessions(const SessionSelector& target) {
  const uint32_t from = link_.GetPeerIp();
  ForTargets(target, [from](CFtpSession& session) {
    session.Post([from](CFtpSession& s) {
      if (s.HasFlag(kFlagClosing)) return;
      PostEvent(LogPriority::kNotice,
                "Session ended by the management server at " + CZmSocket::FormatIpAddress(from) +
                    " (an end-session order)\r\n",
                s.GetUserName(), s.GetPeer());
      s.CloseSession(true, 0);
    });
  });
}

void CManagementRouter::OnAccessAnswer(const SessionSelector& target, const std::string& path,
                                       uint32_t rights) {
  ForTargets(target, [&path, rights](CFtpSession& session) {
    session.Post([path, rights](CFtpSession& s) { s.OnAccessAnswer(path, rights); });
  });
}

void CManagementRouter::OnShortcutRequest(const ShortcutRequest& request) {
  ShortcutBounds bounds;
  std::string mainFolder;
  if (MapManagedPath(GetMainPath(), DriveSetting, "", mainFolder) &&
      !IsSystemFolder(mainFolder, ProtectedDataFolders())) {
    bounds.mainFolder = mainFolder;
  }
  bounds.publishRoots = PublishRoots(DriveSetting);
  if (const auto answer = AnswerShortcutRequest(request, CurrentShortcutContext(), bounds)) {
    link_.SendPacketBytes(EncodeShortcutAnswer(*answer));
  }
}

}  // namespace zelm
