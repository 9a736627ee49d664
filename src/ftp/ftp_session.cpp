// Owns one FTP control connection: line assembly, gating, dispatch, replies, timeouts, close.
#include "ftp/ftp_session.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "ftp/command_handlers.h"
#include "ftp/session_log.h"
#include "ftp/session_owner.h"
#include "net/service_metrics.h"
#include "platform/clock.h"
#include "platform/limits.h"
#include "vfs/file_helpers.h"
#include "vfs/ftp_path.h"

namespace zelm {
namespace {

// A login refused: why goes to the log at notice; the client's reply stays the usual one.
void LogRefusedLogin(std::string_view userName, uint32_t peer, std::string_view why) {
  ServiceMetrics().CountLogin(false);
  PostEvent(LogPriority::kNotice,
            "Login of " + std::string(userName) + " refused: " + std::string(why) + "\r\n",
            userName, peer);
}

}  // namespace

CFtpSession::CFtpSession(CSessionOwner* owner, uint32_t identifier)
    : owner_(owner), identifier_(identifier) {
  // A line longer than the limit is answered and closed by the line handler; the block only
  // has to hold that much.
  SetReceiveBlockCap(kMaxCommandLine + 1024);
}

CFtpSession::~CFtpSession() {
  StopEventThread(true);
  transfer_.Abort();
  CloseSocket(false);
}

bool CFtpSession::Attach(SocketHandle socket) {
  std::shared_ptr<CEventObject> event = GetEvent();
  int error = 0;
  if (!event) event = CEventObject::Create(error);
  if (!event || !CZmSocket::Attach(socket, event)) return false;
  // Replies are small and come in pairs (150 then 226): without this a client's delayed
  // acknowledgement holds the second one back for tens of milliseconds.
  SetSocketOption(socket, SocketOption::kNoDelay, 1, error);
  peer_ = GetPeerAddress();
  connectedAtMs_ = MonotonicMilliseconds();
  lastActivityMs_ = connectedAtMs_;
  return StartEventThread();
}

// ---- Replies ----

bool CFtpSession::SendReply(uint32_t code, const CFtpCommand* command) {
  std::string extra;
  switch (code) {
    case 150:
      extra = HasFlag(kFlagImageType) ? "IMAGE" : "ASCII";
      break;
    case 200:
      if (command != nullptr && command->Is(kCmdType)) extra = HasFlag(kFlagImageType) ? "I" : "A";
      break;
    case 227: {
      // Network order: first octet lowest.
      const uint32_t local = passiveReplyAddress_ != 0 ? passiveReplyAddress_ : GetControlAddress();
      const uint32_t port = transfer_.GetPort();
      char text[64];
      std::snprintf(text, sizeof text, "%u,%u,%u,%u,%u,%u", local & 0xFF, (local >> 8) & 0xFF,
                    (local >> 16) & 0xFF, local >> 24, (port >> 8) & 0xFF, port & 0xFF);
      extra = text;
      break;
    }
    case 230:
    case 331:
      extra = account_.userName;
      break;
    case 257:
      if (command != nullptr && (command->Is(kCmdPwd) || command->Is(kCmdXpwd))) {
        account_.fileSystem.GetClientCurrentDir(extra);
      }
      break;
    default:
      break;
  }
  CFtpReply reply;
  if (!reply.BuildPositive(code, command, extra)) return false;
  const int sent =
      WriteSocket(reinterpret_cast<const uint8_t*>(reply.Text().data()), reply.Length());
  Log(reply.Text());
  return sent == static_cast<int>(reply.Length());
}

bool CFtpSession::SendErrorReply(uint32_t code, const CFtpCommand* command, std::string_view text) {
  std::string extra;
  if ((code == 530 || code == kReplySessionLimit) &&
      (command == nullptr || command->Is(kCmdPass))) {
    extra = account_.userName;
  } else {
    extra = text;
  }
  CFtpReply reply;
  if (!reply.BuildError(code, command, extra)) return false;
  const int sent =
      WriteSocket(reinterpret_cast<const uint8_t*>(reply.Text().data()), reply.Length());
  Log(reply.Text());
  return sent == static_cast<int>(reply.Length());
}

bool CFtpSession::SendText(uint32_t code, std::string_view text) {
  CFtpReply reply;
  reply.AddLines(code, text);
  const int sent =
      WriteSocket(reinterpret_cast<const uint8_t*>(reply.Text().data()), reply.Length());
  if (sent != static_cast<int>(reply.Length())) return false;
  Log(reply.Text());
  return true;
}

void CFtpSession::Log(std::string_view text, std::string_view journalText) {
  PostLog(text, account_.userName, peer_.load(), journalText);
}

// ---- Close and reset ----

void CFtpSession::CloseSession(bool byTimeout, int seconds) {
  if (HasFlag(kFlagClosing)) return;
  SetFlags(kFlagClosing);
  ClearFlags(kFlagGreeted);
  if (byTimeout) {
    if (seconds != 0) {
      char text[96];
      std::snprintf(text, sizeof text, "Timeout (%i seconds): closing control connection.",
                    seconds);
      SendText(421, text);
    }
    SendReply(421, nullptr);
  } else {
    clientLeft_ = true;  // QUIT
    SendText(221, owner_ != nullptr ? owner_->GetQuitText() : std::string());
  }
  CZmSocket::Close(false);
}

bool CFtpSession::SecureControlConnection(bool afterAuth) {
  std::string error;
  if (!tls_ || !StartTls(tls_, tlsSessionContext_, kControlTlsHandshakeMs, error)) {
    Log("TLS handshake failed: " + error + "\r\n");
    // Nothing can be said to the client now: neither in clear nor in TLS.
    SetFlags(kFlagClosing);
    ClearFlags(kFlagGreeted);
    CZmSocket::Close(false);
    return false;
  }
  Log("TLS: " + Tls()->Description() + "\r\n");
  if (afterAuth) {
    plaintextEnded_ = true;
    heldLines_.clear();
    heldBytes_ = 0;
  }
  return true;
}

void CFtpSession::SetDataProtection(bool on) {
  transfer_.SetProtection(on ? tls_ : nullptr, tlsSessionContext_);
}

bool CFtpSession::RefuseClearData(const CFtpCommand& command) {
  (void)command;
  if (!IsTlsRequired() || IsDataProtected()) return false;
  SendText(521, "Data connections must be protected: send PROT P.");
  return true;
}

void CFtpSession::Close(bool byPeer) {
  if (byPeer) clientLeft_ = true;
  if (IsValid() && !HasFlag(kFlagClosing)) CloseSession(true, 0);
  CZmSocket::Close(byPeer);
}

void CFtpSession::ResetTransfer(bool closeData) {
  // A transfer whose data connection never came (timed out, refused) ends here; a connected
  // upload is ended by its worker's report.
  if (HasFlag(kFlagDataAwaited) || transferKind_.load() == kTransferRetr) {
    EndTransferActivity(425, "no data connection");
  }
  if (closeData) transfer_.CloseConnection();
  transferKind_ = kTransferNone;
  listingFacts_ = false;
  listingNames_.clear();
  ClearFlags(kFlagDataAwaited | kFlagBusy);
  activityTimer_.Restart();
}

std::string CFtpSession::PermFactsOf(const std::string& realPath, bool isDirectory) const {
  uint32_t rights = account_.rights;
  if ((rights & kRightsPerPath) != 0) {
    const CPathRightsList::Entry* entry = account_.pathRights.Find(realPath);
    rights = entry != nullptr ? entry->rights : 0;
  }
  struct Letter {
    char letter;
    uint32_t operation;
  };
  // RFC 3659's letters, each with the operation the command behind it needs here.
  static constexpr Letter kFile[] = {
      {'a', kOpAppend}, {'d', kOpDelete}, {'f', kOpDelete}, {'r', kOpDownload}, {'w', kOpStore}};
  static constexpr Letter kFolder[] = {{'c', kOpStore},  {'d', kOpRemoveDir}, {'e', kOpList},
                                       {'f', kOpDelete}, {'l', kOpList},      {'m', kOpMakeDir},
                                       {'p', kOpDelete}};
  std::string perm;
  if (isDirectory) {
    for (const Letter& l : kFolder) {
      if (RightsAllow(rights, l.operation)) perm += l.letter;
    }
  } else {
    for (const Letter& l : kFile) {
      if (RightsAllow(rights, l.operation)) perm += l.letter;
    }
  }
  return perm;
}

void CFtpSession::OnClosed(bool wasConnected, bool wasListening) {
  (void)wasConnected;
  (void)wasListening;
  // The client left: an upload whose data connection ends cleanly is complete, not aborted.
  // A close of the server's own (a time-out, an end-session order) aborts at once.
  if (clientLeft_) {
    transfer_.EndForClosedControl();
  } else {
    transfer_.Abort();
  }
  quotaLedger_.reset();
  StopEventThread(true);
  SetFlags(kFlagClosing | kFlagClosed);
  ClearFlags(kFlagGreeted);
  if (owner_ != nullptr) owner_->OnSessionClosed(*this);
}

// ---- Account ----

void CFtpSession::ResetAccount() {
  // A REIN or USER of a logged-in session starts a new login: it has the login time anew.
  if (loggedIn_.load()) loginTimer_.Restart();
  account_.Reset();
  quotaLedger_.reset();
  loggedIn_ = false;
  PublishAccount();
  ForgetCommandState();
}

void CFtpSession::ForgetCommandState() {
  // SECURITY: nothing one login set up serves the next: no rename source (a file of another
  // home), no restart offset, no data port or passive listener.
  renameSource_.clear();
  restartOffset_ = 0;
  epsvAll_ = false;
  ClearFlags(kFlagPassive);
  transfer_.CloseConnection();
  transfer_.SetActivePort(0);
}

void CFtpSession::SetUserName(std::string_view name) {
  account_.userName.assign(name);
  PublishAccount();
}

std::string CFtpSession::GetUserName() const {
  CMutexLock lock(publishedMutex_);
  return published_.userName;
}

SessionActivity CFtpSession::GetActivity() const {
  SessionActivity activity;
  activity.identifier = identifier_.load();
  activity.userName = GetUserName();
  activity.loggedIn = loggedIn_.load();
  activity.peer = peer_.load();
  activity.connectedAtMs = connectedAtMs_;
  activity.lastActivityMs = lastActivityMs_.load();
  activity.bytesSent = bytesSent_.load();
  activity.bytesReceived = bytesReceived_.load();
  activity.secured = IsTlsActive();
  CMutexLock lock(activityMutex_);
  activity.lastCommand = lastCommand_;
  const TransferActivity& t = transferActivity_;
  activity.transferring = t.running;
  activity.upload = t.upload;
  activity.file = t.file;
  activity.size = t.size;
  activity.transferStartMs = t.startMs;
  if (t.running) {
    const uint64_t counter = t.upload ? activity.bytesReceived : activity.bytesSent;
    activity.bytes = counter >= t.counterAtStart ? counter - t.counterAtStart : 0;
  } else {
    activity.bytes = t.bytes;
  }
  return activity;
}

void CFtpSession::Kick(std::string byWhom) {
  Post([byWhom = std::move(byWhom)](CFtpSession& s) {
    if (s.HasFlag(kFlagClosing)) return;
    PostEvent(LogPriority::kNotice, "Session ended by " + byWhom + "\r\n", s.account_.userName,
              s.peer_.load());
    s.CloseSession(true, 0);
  });
}

void CFtpSession::BeginTransferActivity(const CFtpCommand& command, const std::string& realPath,
                                        bool upload, std::string_view shownName,
                                        uint64_t restartOffset) {
  const uint64_t size = upload ? 0 : GetFileSizeByName(realPath);
  CMutexLock lock(activityMutex_);
  TransferActivity& t = transferActivity_;
  t.running = true;
  t.upload = upload;
  t.binary = HasFlag(kFlagImageType);
  t.file = EscapeLogText(shownName.empty() ? std::string_view(command.argument) : shownName, false);
  t.realPath = realPath;
  t.size = size > restartOffset ? size - restartOffset : 0;
  t.counterAtStart = upload ? bytesReceived_.load() : bytesSent_.load();
  t.bytes = 0;
  t.startMs = MonotonicMilliseconds();
}

void CFtpSession::EndTransferActivity(uint32_t code, std::string_view why) {
  TransferRecord record;
  {
    CMutexLock lock(activityMutex_);
    TransferActivity& t = transferActivity_;
    if (!t.running) return;
    t.running = false;
    const uint64_t counter = t.upload ? bytesReceived_.load() : bytesSent_.load();
    t.bytes = counter >= t.counterAtStart ? counter - t.counterAtStart : 0;
    record.realPath = t.realPath;
    record.upload = t.upload;
    record.binary = t.binary;
    record.bytes = t.bytes;
    record.milliseconds = MonotonicMilliseconds() - t.startMs;
  }
  record.userName = GetUserName();
  record.peer = peer_.load();
  record.replyCode = code;
  record.complete = code == 226;
  if (!record.complete) record.why = why;
  if (owner_ != nullptr) owner_->OnTransferEnded(record);
}

uint32_t CFtpSession::GetBandwidthLimit() const {
  CMutexLock lock(publishedMutex_);
  return published_.bandwidth;
}

int64_t CFtpSession::ChargeBandwidth(uint64_t bytes, int64_t nowMs) {
  std::shared_ptr<CBandwidthBudget> budget;
  uint32_t limit = 0;
  {
    CMutexLock lock(publishedMutex_);
    budget = budget_;
    limit = published_.bandwidth;
  }
  return budget != nullptr ? budget->Account(limit, bytes, nowMs) : 0;
}

void CFtpSession::CopyAccountFrom(CFtpSession& other) {
  if (&other == this) return;
  {
    CMutexLock lock(other.publishedMutex_);
    account_.CopyFrom(other.published_);
  }
  // The caller took over because the other session is logged in; its published copy may not
  // show the login's last step yet.
  account_.loggedIn = other.IsLoggedIn() ? 1 : 0;
  loggedIn_ = account_.loggedIn != 0;
  PublishAccount();
}

void CFtpSession::PublishAccount() {
  // Every session of one account draws on the account's one bandwidth budget.
  std::shared_ptr<CBandwidthBudget> budget;
  if (account_.loggedIn != 0) budget = CBandwidthBudget::ForAccount(account_.userName);
  CMutexLock lock(publishedMutex_);
  published_.CopyFrom(account_);
  budget_ = std::move(budget);
}

void CFtpSession::SetPassword(std::string_view password) {
  account_.password.assign(password);
  PublishAccount();
}

void CFtpSession::ResetCounters() {
  loginCounter_ = 0;
  bytesSent_ = 0;
  bytesReceived_ = 0;
  completedTransfers_ = 0;
}

uint32_t CFtpSession::GetLoggedInSeconds() const {
  // Read by the listener's thread: the login moment is an atomic counter value.
  const int64_t at = loginCounter_.load();
  int64_t now = 0;
  int64_t frequency = 0;
  if (!loggedIn_ || at == 0 || !ReadClockCounter(now) || !ReadClockFrequency(frequency) ||
      frequency <= 0) {
    return 0;
  }
  return static_cast<uint32_t>((now - at) / frequency);
}

std::shared_ptr<CQuotaLedger> CFtpSession::QuotaLedger() {
  const std::string& home = account_.fileSystem.GetHomePath();
  if (home.empty()) return nullptr;
  if (!quotaLedger_ || quotaLedgerHome_ != home) {
    quotaLedger_ = CQuotaLedger::ForHome(home);
    quotaLedgerHome_ = home;
  }
  return quotaLedger_;
}

void CFtpSession::Greet(bool implicitTls) {
  loginTimeout_ = owner_ != nullptr ? owner_->LoginTimeoutSeconds() : 0;
  extensions_ = owner_ != nullptr && owner_->ExtensionsOn();
  tls_ = owner_ != nullptr ? owner_->TlsContext() : nullptr;
  tlsMode_ = tls_ ? owner_->TlsMode() : 0;
  if (tls_) tlsSessionContext_ = NewTlsSessionContext();
  // Urgent data (the Telnet Synch before an ABOR) arrives in its place in the stream instead
  // of being lost or read out of order.
  int error = 0;
  if (GetHandle() != kInvalidSocket)
    SetSocketOption(GetHandle(), SocketOption::kUrgentInline, 1, error);
  loginTimer_.Restart();
  if (implicitTls) {
    if (!SecureControlConnection(false)) return;
    SetPbsz();
    SetDataProtection(true);
  }
  SendReply(220, nullptr);
  SetFlags(kFlagGreeted);
}

void CFtpSession::SubmitPassword() {
  const int64_t delayMs = owner_ != nullptr ? owner_->PasswordReplyDelayMs(*this) : 0;
  if (delayMs <= 0) {
    CheckPassword();
    return;
  }
  // SECURITY: a guess from an address that failed before is answered only after its delay;
  // the wait is a deadline of this thread, so nothing else waits for it.
  transferKind_ = kTransferLoginDelayed;
  SetFlags(kFlagBusy);
  passwordDueMs_ = MonotonicMilliseconds() + delayMs;
}

void CFtpSession::CheckPassword() {
  const int route = owner_ != nullptr ? owner_->ValidateLogin(*this) : kLoginRefused;
  if (route == kLoginRefused) {
    LogRefusedLogin(account_.userName, peer_.load(), "the management link is down");
  } else if (route == kLoginAnonymous) {
    LogRefusedLogin(account_.userName, peer_.load(), "anonymous logins are not served");
  }
  HandleLoginResult(route);
  if (route == kLoginAccepted || route == kLoginAsked) return;
  ResetAccount();
}

void CFtpSession::CountFailedLogin(bool refusedByManagement) {
  if (refusedByManagement && owner_ != nullptr) owner_->OnLoginFailed(*this);
  // The twelfth failure on one connection closes it.
  if (failedLogins_++ > kMaxFailedLogins) {
    PostEvent(LogPriority::kNotice,
              "Connection closed after " + std::to_string(failedLogins_) + " failed logins\r\n",
              account_.userName, peer_.load());
    CloseSession(true, 0);
  }
}

void CFtpSession::ResetForLogin(std::string_view homeName) {
  account_.fileSystem.Reset();
  quotaLedger_.reset();
  account_.homeName.assign(homeName);
  PublishAccount();
}

void CFtpSession::ApplyAccountUpdate(uint32_t attempt, const AccountUpdate& update) {
  const bool login = update.loginAccepted.has_value();
  // SECURITY: an answer is for the attempt it was asked for; a session that has given up on
  // it (time-out, USER, REIN) or moved on to another attempt drops it.
  if (login && (attempt != loginAttempt_ || !HasFlag(kFlagBusy) ||
                transferKind_.load() != kTransferLoginAwaited)) {
    return;
  }
  if (update.limits) {
    account_.quota = update.limits->quota;
    account_.bandwidth = update.limits->bandwidth;
    account_.sessionLimit = update.limits->sessionLimit;
    account_.rights = update.limits->rights;
  }
  if (update.homeName) account_.homeName = *update.homeName;
  if (!update.homeFolder.empty() && (!login || *update.loginAccepted)) {
    account_.fileSystem.SetHomePath(update.homeFolder);
    if (update.homeCreated) account_.createdHome = update.homeFolder;
  }
  PublishAccount();
  if (!login) {
    // An update of a session that is logged in already.
    if (owner_ != nullptr) owner_->CheckSessionLimit(*this, account_.sessionLimit, true);
    return;
  }
  int32_t result = kLoginResultRefused;
  if (!*update.loginAccepted && owner_ != nullptr) owner_->OnLoginFailed(*this);
  if (*update.loginAccepted && !update.homeFolder.empty()) {
    result = owner_ == nullptr || owner_->CheckSessionLimit(*this, account_.sessionLimit, false)
                 ? kLoginResultAccepted
                 : kLoginResultSessionLimit;
  }
  if (result == kLoginResultSessionLimit) {
    LogRefusedLogin(
        account_.userName, peer_.load(),
        "the session limit of " + std::to_string(account_.sessionLimit) + " is reached");
  } else if (result == kLoginResultRefused) {
    LogRefusedLogin(account_.userName, peer_.load(),
                    !update.refusal.empty() ? update.refusal
                    : *update.loginAccepted ? "no home folder could be had"
                                            : "the management server refused the user name or "
                                              "password");
  }
  HandleLoginResult(result);
  ResetTransfer(false);
}

void CFtpSession::HandleLoginResult(int32_t result) {
  ForgetCommandState();
  switch (result) {
    case kLoginResultAccepted:
      account_.loggedIn = 1;
      PublishAccount();
      loggedIn_ = true;
      SendReply(230, nullptr);
      if (int64_t now = 0; ReadClockCounter(now)) loginCounter_ = now;
      ResetTransfer(false);
      if (owner_ != nullptr) owner_->OnLoginSucceeded(*this);
      break;
    case kLoginResultAsked:
      transferKind_ = kTransferLoginAwaited;
      SetFlags(kFlagBusy);
      activityTimer_.Restart();
      break;
    case kLoginResultSessionLimit:
      SendErrorReply(kReplySessionLimit, nullptr);
      CloseSession(true, 0);
      break;
    case kLoginResultAnonymous:
      SendErrorReply(kReplyAnonymousRefused, nullptr);
      CountFailedLogin(false);
      break;
    case kLoginResultAnonymousLimit:
      SendErrorReply(kReplyAnonymousLimit, nullptr);
      CloseSession(true, 0);
      break;
    default:
      SendErrorReply(530, nullptr);
      CountFailedLogin(false);
      break;
  }
}

// ---- Rights ----

int CFtpSession::CheckAccess(const std::string& realPath, uint32_t operation, bool isMapped,
                             uint32_t kind, const CFtpCommand& command) {
  // SECURITY: the account's own rights decide unless they say "per path" (or the path was
  // reached through a shortcut); then only a management answer for this very path grants
  // anything. An answer for a folder says nothing about what lies below it: whether a rule
  // covers sub-folders is the management server's to decide, when it is asked for them.
  if ((account_.rights & kRightsPerPath) == 0 && !isMapped) {
    return RightsAllow(account_.rights, operation) ? 1 : 0;
  }
  if (const CPathRightsList::Entry* entry = account_.pathRights.Find(realPath)) {
    return RightsAllow(entry->rights, operation) ? 1 : 0;
  }
  // A command run again after its answer asks no more: an answer for another path than the
  // one asked leaves it refused rather than asking in a loop.
  if (rerun_ || HasFlag(kFlagCommandPending)) return 0;
  pendingLine_.assign(command.line);
  pendingLine_ += "\r\n";
  SetFlags(kFlagCommandPending);
  transferKind_ = kind;
  if (owner_ != nullptr && owner_->RequestPathAccess(*this, realPath, operation)) {
    pendingPath_ = realPath;
    return -1;
  }
  pendingLine_.clear();
  ClearFlags(kFlagCommandPending);
  ResetTransfer(false);
  return 0;
}

void CFtpSession::OnAccessAnswer(const std::string& path, uint32_t rights) {
  account_.pathRights.Set(path, rights);
  PublishAccount();
  OnAccessUnanswered();
}

void CFtpSession::OnAccessUnanswered() {
  if (!HasFlag(kFlagCommandPending)) return;
  const std::string line = std::move(pendingLine_);
  pendingLine_.clear();
  CFtpCommand command;
  // The command runs again from its start: the transfer kind its rights request set is not
  // left behind when it is refused or fails this time (a stale upload kind would time out as
  // a stalled upload a minute later).
  transferKind_ = kTransferNone;
  // The pending state ends before the re-run, so that what the client sends while it runs
  // (ABOR or QUIT during a download) is answered as usual; the re-run cannot ask again.
  ClearFlags(kFlagCommandPending);
  if (!line.empty() && command.Parse(line, extensions_, tls_ != nullptr)) {
    command.line = std::string_view(line).substr(0, line.size() - 2);
    rerun_ = true;
    Dispatch(command);
    rerun_ = false;
  } else {
    SendErrorReply(500, nullptr);
    ResetTransfer(false);
  }
  ProcessHeldLines();
}

std::string_view WithoutTelnetCommands(std::string_view line) {
  constexpr unsigned char kIac = 0xFF;
  for (;;) {
    if (line.empty()) return line;
    const auto first = static_cast<unsigned char>(line[0]);
    if (first == 0xF2) {  // a Data Mark whose IAC went before, as urgent data or not
      line.remove_prefix(1);
      continue;
    }
    if (first != kIac || line.size() < 2) return line;
    const auto command = static_cast<unsigned char>(line[1]);
    // WILL, WONT, DO and DONT carry an option byte; the others stand alone.
    const size_t length = command >= 0xFB && command <= 0xFE ? 3 : 2;
    if (line.size() < length) return line;
    line.remove_prefix(length);
  }
}

// ---- Event handling ----

bool CFtpSession::OnNetworkEvents(CEventObject* event, bool poll) {
  RunPostedTasks();
  if (!HasFlag(kFlagGreeted)) return false;
  bool handled = false;
  handled = transfer_.OnNetworkEvents(event, poll);
  if (HasFlag(kFlagDataAwaited) && activityTimer_.ElapsedSeconds() >= kDataConnectionTimeout) {
    ResetTransfer(true);
    SendErrorReply(425, nullptr);
  }
  handled = CZmSocket::OnNetworkEvents(event, poll) || handled;
  if (HasFlag(kFlagGreeted)) Tick();
  if (HasFlag(kFlagGreeted)) ProcessHeldLines();  // an answer may have come in this pass
  return handled;
}

void CFtpSession::Tick() {
  if (const int64_t at = lastUploadData_.exchange(0); at != 0) {
    uploadTimer_.RestartAt(at);
    activityTimer_.RestartAt(at);
  }
  if (HasFlag(kFlagBusy) && transferKind_.load() == kTransferLoginAwaited &&
      activityTimer_.ElapsedSeconds() > kAnswerTimeout) {
    LogRefusedLogin(
        account_.userName, peer_.load(),
        "no answer from the management server within " + std::to_string(kAnswerTimeout) + " s");
    ResetTransfer(false);
    SendErrorReply(530, nullptr);
    CountFailedLogin(false);
    if (!HasFlag(kFlagGreeted)) return;
  }
  if (HasFlag(kFlagBusy) && transferKind_.load() == kTransferLoginDelayed &&
      MonotonicMilliseconds() >= passwordDueMs_) {
    ResetTransfer(false);
    CheckPassword();
    if (!HasFlag(kFlagGreeted)) return;
  }
  if (loginTimeout_ != 0 && !IsLoggedIn() && loginTimer_.ElapsedSeconds() >= loginTimeout_) {
    CloseSession(true, static_cast<int>(loginTimeout_));
    return;
  }
  if (HasFlag(kFlagCommandPending) && activityTimer_.ElapsedSeconds() > kAnswerTimeout) {
    SendErrorReply(500, nullptr);
    ResetTransfer(false);
    ClearFlags(kFlagCommandPending);
    pendingLine_.clear();
  }
  if (HasFlag(kFlagGreeted) && activityTimer_.ElapsedSeconds() >= account_.idleTimeout) {
    CloseSession(true, static_cast<int>(account_.idleTimeout));
    return;
  }
  if (transferKind_.load() == kTransferUpload &&
      uploadTimer_.ElapsedSeconds() >= kUploadStallTimeout) {
    ResetTransfer(true);
    SendErrorReply(kReplyTransferStalled, nullptr);
    if (std::exchange(abortRequested_, false)) SendText(226, "ABOR command successful.");
  }
  if (PassiveListenerWaits() && passiveTimer_.ElapsedSeconds() >= kDataConnectionTimeout) {
    // SECURITY: a passive port is not left open for whoever comes along later.
    transfer_.CloseConnection();
    transfer_.SetActivePort(0);
  }
}

bool CFtpSession::PassiveListenerWaits() const {
  return HasFlag(kFlagPassive) && !HasFlag(kFlagDataAwaited) && transfer_.IsPassiveWaiting();
}

int CFtpSession::GetNextTickDelay() {
  if (!HasFlag(kFlagGreeted)) return kNoTick;
  int64_t delay = activityTimer_.MillisecondsUntil(account_.idleTimeout);
  const auto nearer = [&delay](int64_t candidate) {
    if (candidate >= 0 && (delay < 0 || candidate < delay)) delay = candidate;
  };
  if (HasFlag(kFlagBusy) && transferKind_.load() == kTransferLoginAwaited) {
    nearer(activityTimer_.MillisecondsUntil(kAnswerTimeout + 1));
  }
  if (HasFlag(kFlagCommandPending)) nearer(activityTimer_.MillisecondsUntil(kAnswerTimeout + 1));
  if (HasFlag(kFlagBusy) && transferKind_.load() == kTransferLoginDelayed) {
    nearer(std::max<int64_t>(0, passwordDueMs_ - MonotonicMilliseconds()));
  }
  if (loginTimeout_ != 0 && !IsLoggedIn()) nearer(loginTimer_.MillisecondsUntil(loginTimeout_));
  if (HasFlag(kFlagDataAwaited)) nearer(activityTimer_.MillisecondsUntil(kDataConnectionTimeout));
  if (transferKind_.load() == kTransferUpload) {
    nearer(uploadTimer_.MillisecondsUntil(kUploadStallTimeout));
  }
  if (PassiveListenerWaits()) nearer(passiveTimer_.MillisecondsUntil(kDataConnectionTimeout));
  if (delay < 0) return kNoTick;
  return static_cast<int>(std::min<int64_t>(delay, 24 * 3600 * 1000));
}

// ---- Lines ----

int CFtpSession::OnReceiveData(uint8_t* data, size_t length, size_t& consumed) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), length);
  size_t at = 0;
  // Every complete line is handled in turn, so that commands a client sends back to back are
  // all answered.
  while (at < bytes.size()) {
    const size_t end = bytes.find("\r\n", at);
    if (end == std::string_view::npos) {
      if (bytes.size() - at > kMaxCommandLine) {
        // A line without end: the client gets the farewell; everyone else goes on.
        CloseSession(true, 0);
        return 0;
      }
      consumed = at;
      return bytes.size() - at < 3 ? 260 : 2;
    }
    const std::string_view line = bytes.substr(at, end + 2 - at);
    at = end + 2;
    if (!HasFlag(kFlagGreeted)) return 0;
    HandleLine(line);
    if (HasFlag(kFlagClosing)) return 0;
    // SECURITY: bytes that came in clear behind AUTH TLS are no commands of the protected
    // connection (an attacker on the LAN could have put them there).
    if (std::exchange(plaintextEnded_, false)) return 0;
  }
  return 0;
}

bool CFtpSession::OnReceiveBlockFull(const uint8_t* data, size_t length) {
  (void)data;
  (void)length;
  CloseSession(true, 0);
  return false;
}

namespace {
constexpr std::string_view kMaskedPassword = "PASS ******";
}  // namespace

bool CFtpSession::IsWaitingForAnswer() const {
  if (HasFlag(kFlagCommandPending) || abortRequested_) return true;
  const uint32_t kind = transferKind_.load();
  return HasFlag(kFlagBusy) && (kind == kTransferLoginAwaited || kind == kTransferLoginDelayed);
}

void CFtpSession::ProcessHeldLines() {
  while (!heldLines_.empty() && !IsWaitingForAnswer() && !HasFlag(kFlagClosing)) {
    const std::string line = std::move(heldLines_.front());
    heldLines_.pop_front();
    heldBytes_ -= line.size();
    AnswerLine(line);
  }
}

void CFtpSession::HandleLine(std::string_view line) {
  // Replies go out in command order: a line that comes while a login or rights answer is
  // awaited (or behind one held for that) waits, and is answered after it.
  if ((IsWaitingForAnswer() || !heldLines_.empty()) && heldLines_.size() < kMaxHeldLines &&
      heldBytes_ + line.size() <= kMaxHeldBytes) {
    heldLines_.emplace_back(line);
    heldBytes_ += line.size();
    ProcessHeldLines();
    return;
  }
  AnswerLine(line);
}

void CFtpSession::AnswerLine(std::string_view line) {
  // Telnet commands before a command (IAC IP, IAC DM: the "interrupt" clients send before
  // ABOR) are no part of it.
  if (extensions_) line = WithoutTelnetCommands(line);
  std::string_view text = line.substr(0, line.size() - 2);  // without CR LF
  // A password line, whatever its shape (a NUL, a bare CR, no argument), is never logged or
  // echoed in clear: replies that quote the line quote its masked form.
  const bool passwordLine = text.size() >= 4 && EqualsNoCase(text.substr(0, 4), "PASS");
  if (passwordLine) text = kMaskedPassword;
  CFtpCommand command;
  if (HasFlag(kFlagCommandPending)) {
    Log("CMD Pending, cannot process any farther commands\r\n");
    command.line = text;
    SendErrorReply(IsLoggedIn() ? 501 : 530, &command);
    return;
  }
  const bool parsed = command.Parse(line, extensions_, tls_ != nullptr);
  if (passwordLine) {
    Log(IsAdministratorAuthenticated() ? line : "PASS ******\r\n", "PASS ******\r\n");
  } else {
    Log(line);
  }
  {
    CMutexLock lock(activityMutex_);
    lastCommand_ = EscapeLogText(text, false);
  }
  lastActivityMs_ = MonotonicMilliseconds();
  if (parsed) {
    activityTimer_.Restart();
    command.line = text;
    if (HasFlag(kFlagDataAwaited | kFlagBusy)) {
      Log("Connection Waiting, cannot process any farther commands\r\n");
      if (!command.def.RunsWhileBusy()) {
        SendErrorReply(IsLoggedIn() ? 501 : 530, &command);
        return;
      }
    }
    if (!IsLoggedIn() && !command.def.RunsBeforeLogin(extensions_)) {
      SendErrorReply(530, &command);
      return;
    }
    Dispatch(command);
    return;
  }
  command.line = text;
  if (command.error == kParseOk) {
    SendErrorReply(500, &command);
  } else if (command.def.id != 0 && !command.Is(kCmdUser) && !IsLoggedIn()) {
    SendErrorReply(530, &command);
  } else {
    SendErrorReply(command.error, &command);
  }
}

void CFtpSession::Dispatch(CFtpCommand& command) { DispatchCommand(*this, command); }

}  // namespace zelm
