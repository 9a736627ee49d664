// CFtpSession: one FTP control connection.
//
// The listener creates a session for each accepted connection and greets it. The session
// then assembles command lines, logs them, refuses those that may not run now (the gates of
// the command's table row), runs the others' handlers, sends every reply through the reply
// builder, watches its timeouts and ends the connection. It owns the logged-in user's account
// record and the user's view of the file tree, and its CTransferEngine (the data connection
// and the transfers over it).
//
// Threads: everything a session does runs on its own event thread, the greeting included;
// so do the command handlers, the owner's callbacks and its data connection, which the same
// thread drives. Other threads (the listener's, which routes management answers and orders)
// never act on a session directly: they `Post` a task, which the session's thread carries out
// before its next pass (and between the steps of a download). The account record `account_`
// is the session thread's alone. What other threads may read: the flags, the transfer kind,
// the counters, the peer address, the login state (atomics), and a published copy of the
// account (the user name, the bandwidth limit and what a password-less takeover copies),
// which the session's own operations republish under `publishedMutex_` whenever they change
// the record (see `GetUserName`, `GetBandwidthLimit`, `CopyAccountFrom`). No lock of a
// session is held while another session's is taken.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "ftp/account.h"
#include "ftp/command_parser.h"
#include "ftp/reply_builder.h"
#include "ftp/session_owner.h"
#include "net/elapsed_timer.h"
#include "net/zm_socket.h"
#include "platform/thread_annotations.h"
#include "transfer/bandwidth_budget.h"
#include "transfer/transfer_engine.h"
#include "vfs/quota_ledger.h"

namespace zelm {

class CSessionOwner;

// Control-session flags.
enum SessionFlag : uint32_t {
  kFlagPassive = 0x02,
  kFlagImageType = 0x04,
  kFlagDataAwaited = 0x08,
  kFlagBusy = 0x10,  // transfer running, or login answer awaited
  kFlagGreeted = 0x20,
  kFlagClosing = 0x40,
  kFlagClosed = 0x80,
  kFlagCommandPending = 0x100,
};

// Transfer kinds.
enum TransferKind : uint32_t {
  kTransferNone = 0,
  kTransferFresh = 1,
  kTransferLoginAwaited = 4,
  kTransferLoginDelayed = 5,  // a password waits for its address's failed-login delay
  kTransferList = 7,
  kTransferNlst = 8,
  kTransferRetr = 9,
  kTransferUpload = 10,
  kTransferDele = 12,
  kTransferRmd = 13,
  kTransferMkd = 14,
  kTransferCwd = 15,
};

// Login results.
enum LoginResult : int32_t {
  kLoginResultNone = -2,
  kLoginResultRefused = -1,
  kLoginResultAccepted = 0,
  kLoginResultAsked = 1,
  kLoginResultSessionLimit = 2,
  kLoginResultAnonymous = 3,
  kLoginResultAnonymousLimit = 4,
};

// Timeouts of a control session, in seconds (kDataConnectionTimeout, which a download's loop
// applies too, is the transfer engine's).
inline constexpr int64_t kAnswerTimeout = 10;  // login and rights answers: more than this
inline constexpr int64_t kUploadStallTimeout = 60;
inline constexpr uint32_t kMaxFailedLogins = 10;  // the twelfth failure closes

// `line` without the Telnet commands at its start (IAC IP, IAC DM, a Data Mark alone, IAC
// WILL/WONT/DO/DONT with their option byte).
std::string_view WithoutTelnetCommands(std::string_view line);

// What the operator's console shows of a session. Times are of the monotonic clock
// (MonotonicMilliseconds).
struct SessionActivity {
  uint32_t identifier = 0;
  std::string userName;  // the published user name (USER given, perhaps not logged in)
  bool loggedIn = false;
  uint32_t peer = 0;  // network order
  int64_t connectedAtMs = 0;
  int64_t lastActivityMs = 0;  // the last command, or transfer data
  std::string lastCommand;     // as logged (a password masked)
  bool secured = false;        // the control connection speaks TLS
  // The download or upload under way, or else the last one.
  bool transferring = false;
  bool upload = false;
  std::string file;    // as the client named it
  uint64_t bytes = 0;  // moved so far
  uint64_t size = 0;   // a download's bytes to send (0: unknown); an upload's: 0
  int64_t transferStartMs = 0;
  uint64_t bytesSent = 0;  // the session's totals
  uint64_t bytesReceived = 0;
};

class CFtpSession : public CZmSocket, public CDataSocketOwner {
 public:
  // `owner` may be null (then QUIT sends an empty 221 and logins are refused).
  CFtpSession(CSessionOwner* owner, uint32_t identifier);
  ~CFtpSession() override;

  // Takes the accepted connection: gives the session an event object of its own, attaches
  // the socket and starts the event thread.
  bool Attach(SocketHandle socket);

  // ---- Replies (the session's thread) ----
  bool SendReply(uint32_t code, const CFtpCommand* command);
  bool SendErrorReply(uint32_t code, const CFtpCommand* command, std::string_view text = {});
  bool SendText(uint32_t code, std::string_view text);

  // ---- Control-side close (the session's thread) ----
  // With `byTimeout`: "421 Timeout (%i seconds): ..." when `seconds` is not 0, then
  // "421 Terminating connection."; without (QUIT): 221 with the quit text. Then closes.
  void CloseSession(bool byTimeout, int seconds);
  void ResetTransfer(bool closeData);

  // ---- Rights (the session's thread) ----
  // 1 allowed, 0 denied, -1 asked of the management server (the command runs again later).
  int CheckAccess(const std::string& realPath, uint32_t operation, bool isMapped, uint32_t kind,
                  const CFtpCommand& command);
  void OnAccessAnswer(const std::string& path, uint32_t rights);
  // The rights request of the pending command could not be sent: the command runs again and
  // is refused.
  void OnAccessUnanswered();

  // ---- Login (the session's thread) ----
  // Sends the 220 greeting; from then on lines are read and answered. With `implicitTls`
  // (the implicit FTPS port) the connection's TLS handshake comes first, and its data
  // connections are protected from the start (as after PBSZ 0 and PROT P); a failed
  // handshake is logged and ends the connection.
  void Greet(bool implicitTls = false);
  // The start of a login check: the file system is reset and `homeName` is the home the
  // login gets unless the management server names another.
  void ResetForLogin(std::string_view homeName);
  // A new login attempt, for a request to the management server: its number, which the
  // answer carries back.
  uint32_t NextLoginAttempt() { return ++loginAttempt_; }
  // The number of the last attempt asked (0: none yet).
  uint32_t LastLoginAttempt() const { return loginAttempt_; }
  // Applies a management answer. With `loginAccepted` set it is the answer to login attempt
  // `attempt` and is dropped unless that attempt still waits; otherwise it updates the
  // account in place.
  void ApplyAccountUpdate(uint32_t attempt, const AccountUpdate& update);
  void HandleLoginResult(int32_t result);
  // PASS: checks the password set with SetPassword, at once or, when the owner says that
  // failed logins from this address cost a wait, once that wait is over (the session stays
  // busy meanwhile; REIN, USER and QUIT still work).
  void SubmitPassword();
  bool IsLoggedIn() const { return loggedIn_.load(); }
  uint32_t GetLoggedInSeconds() const;
  // Resets the account (logs out) and publishes the emptied record. The session's thread.
  void ResetAccount();
  // USER: the name of the account to log in; published. The session's thread.
  void SetUserName(std::string_view name);
  // Copies another session's published login into this one (a password-less takeover) and
  // publishes it. This session's thread, holding no lock of either session.
  void CopyAccountFrom(CFtpSession& other);

  // ---- The account (the session's thread) ----
  const CFtpAccount& GetAccount() const { return account_; }
  // The user's view of the file tree: resolving paths, the current directory.
  CFtpFileSystem& FileSystem() { return account_.fileSystem; }
  // The used-space ledger of the home, shared with every other session of that home: taken
  // at the first need (its walk counts the home then) and let go at logout and close. Null
  // without a home. Uploads are charged against it; deletes and overwrites credit it.
  std::shared_ptr<CQuotaLedger> QuotaLedger();
  // PASS: the password the login is checked with.
  void SetPassword(std::string_view password);
  // The code page of the 8-bit names of this session's file tree; before the thread starts.
  void SetCodePage(uint32_t codePage) {
    configuredCodePage_ = codePage;
    account_.fileSystem.SetCodePage(codePage);
  }

  // ---- Cross-thread ----
  // Runs `task` on the session's thread before its next pass. Any thread.
  void Post(std::function<void(CFtpSession&)> task) {
    CZmSocket::Post([this, task = std::move(task)] { task(*this); });
  }
  // The published user name. Any thread.
  std::string GetUserName() const ZELM_EXCLUDES(publishedMutex_);
  // What the session does now. Any thread.
  SessionActivity GetActivity() const ZELM_EXCLUDES(publishedMutex_, activityMutex_);
  // The operator ends the session: the journal says who (`byWhom`), the client gets 421. Any
  // thread (posts to the session).
  void Kick(std::string byWhom);

  // ---- State read by the listener and the management link (any thread) ----
  uint32_t GetFlags() const { return flags_.load(); }
  uint32_t GetTransferKind() const { return transferKind_.load(); }
  // The identifier the management server knows the session by. Each login attempt asked of
  // it gets a fresh one (`SetIdentifier`, by the registry), so an answer for an earlier
  // attempt names no live session. Any thread.
  uint32_t GetIdentifier() const { return identifier_.load(); }
  void SetIdentifier(uint32_t identifier) { identifier_.store(identifier); }
  uint32_t GetPeer() const { return peer_.load(); }
  uint64_t GetBytesSent() const { return bytesSent_.load(); }
  uint64_t GetBytesReceived() const { return bytesReceived_.load(); }
  bool IsAnswerInProgress() const { return answerInProgress_.load() != 0; }
  void SetAnswerInProgress(bool on) { answerInProgress_ += on ? 1 : -1; }
  void SetFlags(uint32_t bits) { flags_ |= bits; }
  void ClearFlags(uint32_t bits) { flags_ &= ~bits; }
  bool HasFlag(uint32_t bit) const { return (flags_.load() & bit) != 0; }

  // ---- The session's thread ----
  CSessionOwner* Owner() const { return owner_; }
  void SetTransferKind(uint32_t kind) { transferKind_ = kind; }
  uint32_t FailedLogins() const { return failedLogins_; }
  // A login failed: it counts toward the connection's limit (kMaxFailedLogins; past it the
  // connection is closed) and, when the management server refused it, toward the address's
  // failed-login costs (`CSessionOwner::OnLoginFailed`).
  void CountFailedLogin(bool refusedByManagement);
  // REIN: the login time, the byte counters and the completed transfers start again.
  void ResetCounters();
  // RNFR remembers the real path to rename; RNTO takes it (empty when there is none), so a
  // second RNTO finds none.
  void SetRenameSource(std::string realPath) { renameSource_ = std::move(realPath); }
  std::string TakeRenameSource() { return std::exchange(renameSource_, std::string()); }
  const std::string& PeekRenameSource() const { return renameSource_; }

  // Whether this connection speaks the later RFCs' extensions (setting "Extensions", read
  // when it was greeted). The session's thread.
  bool ExtensionsOn() const { return extensions_; }
  // EPSV ALL was sent: PORT, PASV and EPRT are refused from then on (RFC 2428).
  bool IsEpsvAll() const { return epsvAll_; }
  void SetEpsvAll() { epsvAll_ = true; }
  // ABOR with the extensions: stops a download under way (426 for it, then 226 for the
  // ABOR) or cancels an awaited data connection; true when there was one. The session's
  // thread.
  bool AbortTransfer();

  // ---- TLS (the session's thread) ----
  // The service offers TLS to this connection (read at the greeting).
  bool IsTlsOffered() const { return tls_ != nullptr; }
  // "TLS Mode" 2: logins and data connections need TLS.
  bool IsTlsRequired() const { return tlsMode_ >= 2; }
  // The control connection speaks TLS (AUTH TLS, or the implicit port).
  bool IsControlSecured() const { return IsTlsActive(); }
  // AUTH TLS after its 234: runs the handshake. A failure is logged and ends the connection
  // (nothing more can be said to the client in clear). Plaintext the client sent behind the
  // AUTH line is dropped, never read as commands.
  bool SecureControlConnection(bool afterAuth = true);
  bool IsPbszSet() const { return pbszSet_; }
  void SetPbsz() { pbszSet_ = true; }
  // PROT P (true) or PROT C for the data connections from now on.
  void SetDataProtection(bool on);
  bool IsDataProtected() const { return transfer_.IsProtected(); }
  // SECURITY: with "TLS Mode" 2, a transfer or listing over a clear data connection is
  // refused (521) before anything is opened; true when it was.
  bool RefuseClearData(const CFtpCommand& command);

  // ---- Data connection and transfers (the session's thread) ----
  // The control connection's local address (network order), asked of the system once.
  uint32_t GetControlAddress();
  // PORT: active mode, to this port of the client.
  void UseActivePort(uint32_t port);
  // PASV: passive mode, listening on the next passive port; the port, 0 when none could be
  // had (the mode is then unchanged).
  uint32_t OpenPassivePort();
  // The data connection a transfer or listing needs, in the mode of the last PORT or PASV;
  // an awaited one sets kFlagDataAwaited and starts its timeout.
  CTransferEngine::ConnectionState OpenDataConnection();
  // Opens the file and the data connection and sends the preliminary reply (125 when the
  // connection was open, else 150); the connection's state, or kConnectionFailed after a
  // reply of its own. `shownName` names the file in the 150 reply when the command has no
  // argument (STOU).
  CTransferEngine::ConnectionState StartTransfer(const CFtpCommand& command,
                                                 const std::string& realPath, bool append,
                                                 std::string_view shownName = {});
  // Sends the listing of the listing path over the open connection, then 226.
  void SendListing();
  // Sends the opened file over the open connection, then 226, 426 or 451.
  void SendFile();
  // LIST and NLST: the real directory pattern the listing sends.
  void SetListingPath(std::string path) { listingPath_ = std::move(path); }
  // The next listing is MLSD's: lines of facts.
  void SetListingFacts(bool facts) { listingFacts_ = facts; }
  // The next listing shows only the names matching `pattern` (or, `exact`, that one name).
  void SetListingNames(std::string pattern, bool exact) {
    listingNames_ = std::move(pattern);
    listingExactName_ = exact;
  }
  // The perm fact (RFC 3659) of `realPath` as the account's rights decide it; a per-path
  // account shows only what it was granted there (nothing is asked for it).
  std::string PermFactsOf(const std::string& realPath, bool isDirectory) const;
  // OPTS MLST: the facts MLSD and MLST show (kFactType...).
  void SetMlstFacts(uint32_t facts) { mlstFacts_ = facts; }
  uint32_t GetMlstFacts() const { return mlstFacts_; }
  // OPTS UTF8 ON: names in UTF-8 whatever "Code Page" says; OFF: the setting's again.
  void UseUtf8Names(bool on) { account_.fileSystem.SetCodePage(on ? 65001u : configuredCodePage_); }
  // REST: where the next transfer starts.
  void SetRestartOffset(uint64_t offset) { restartOffset_ = offset; }
  // An upload command arrived: its stall timeout counts from now.
  void RestartUploadTimer() { uploadTimer_.Restart(); }
  uint32_t GetCompletedTransfers() const { return completedTransfers_; }

  // ---- CDataSocketOwner ----
  void OnDataConnected(bool ok) override;
  bool IsTransferAborted() override { return abortRequested_; }
  void OnForeignDataConnection(uint32_t address) override;
  void OnUploadEnded(const UploadOutcome& outcome) override;
  void OnUploadData(size_t bytes) override;
  uint32_t GetBandwidthLimit() const override ZELM_EXCLUDES(publishedMutex_);
  int64_t ChargeBandwidth(uint64_t bytes, int64_t nowMs) override ZELM_EXCLUDES(publishedMutex_);
  void OnUploadPaused(int64_t milliseconds) override;
  void OnDownloadData(size_t bytes) override;
  void PollControlConnection() override;
  bool IsControlClosing() const override { return HasFlag(kFlagClosing); }

  // ---- CZmSocket ----
  bool OnNetworkEvents(CEventObject* event, bool poll) override;
  void Close(bool byPeer) override;
  int OnReceiveData(uint8_t* data, size_t length, size_t& consumed) override;
  void OnClosed(bool wasConnected, bool wasListening) override;
  int GetNextTickDelay() override;
  bool OnReceiveBlockFull(const uint8_t* data, size_t length) override;

 protected:
  // Runs one complete command line (with its CR LF): logs it, applies the gates of its table
  // row (while busy, then before the login), runs its handler. Overridable for tests.
  virtual void HandleLine(std::string_view line);
  // One line answered now (HandleLine holds it first while an answer is awaited).
  void AnswerLine(std::string_view line);
  // A login or rights answer is awaited: lines wait.
  bool IsWaitingForAnswer() const;
  // Answers the held lines in order, as long as no answer is awaited.
  void ProcessHeldLines();
  // Runs the handler of the command's table row (the command passed the gates).
  virtual void Dispatch(CFtpCommand& command);

 private:
  void Log(std::string_view text, std::string_view journalText = {});
  // The console's view of the transfer under way: begins once its preliminary reply is sent,
  // ends with its final reply (or the upload worker's report), which also reports it to the
  // owner. `code` is the final reply's.
  void BeginTransferActivity(const CFtpCommand& command, const std::string& realPath, bool upload,
                             std::string_view shownName, uint64_t restartOffset)
      ZELM_EXCLUDES(activityMutex_);
  void EndTransferActivity(uint32_t code, std::string_view why) ZELM_EXCLUDES(activityMutex_);
  // Copies the account record into the published copy.
  void PublishAccount() ZELM_EXCLUDES(publishedMutex_);
  // The data connection's addresses and event object, taken from the control connection.
  CTransferEngine::Endpoints DataEndpoints();
  void Tick();
  bool PassiveListenerWaits() const;
  void CheckPassword();
  // Forgets the rename source, the restart offset and the data port (a login starts clean).
  void ForgetCommandState();

  CSessionOwner* const owner_;
  std::atomic<uint32_t> identifier_;
  CFtpAccount account_;  // the session's thread's alone
  // The copy of the account other threads read. A CFtpAccount filled by CopyFrom: the names,
  // the limits, the home folder, the rights (no current directory, no used space).
  mutable CMutex publishedMutex_;
  CFtpAccount published_ ZELM_GUARDED_BY(publishedMutex_);
  // The logged-in account's bandwidth budget, shared with its other sessions; null while no
  // one is logged in.
  std::shared_ptr<CBandwidthBudget> budget_ ZELM_GUARDED_BY(publishedMutex_);
  CElapsedTimer activityTimer_;
  // What GetActivity reports beyond the atomics; written by the session's thread (and, at an
  // upload's end, by the upload worker).
  mutable CMutex activityMutex_;
  int64_t connectedAtMs_ = 0;  // set before the thread starts
  std::atomic<int64_t> lastActivityMs_{0};
  std::string lastCommand_ ZELM_GUARDED_BY(activityMutex_);
  struct TransferActivity {
    bool running = false;
    bool upload = false;
    bool binary = true;
    std::string file;
    std::string realPath;
    uint64_t size = 0;
    uint64_t counterAtStart = 0;  // bytesSent_ or bytesReceived_ when it began
    uint64_t bytes = 0;           // once it ended
    int64_t startMs = 0;
  };
  TransferActivity transferActivity_ ZELM_GUARDED_BY(activityMutex_);
  // Runs from the greeting (and from a REIN that logged out); a connection that has not
  // logged in after loginTimeout_ seconds (0: no limit) is closed. Commands do not restart it.
  bool extensions_ = false;
  bool epsvAll_ = false;
  std::shared_ptr<CTlsServer> tls_;  // null: no TLS offered
  uint32_t tlsMode_ = 0;
  // Binds the data connections' TLS sessions to this control connection (random bytes).
  std::string tlsSessionContext_;
  bool pbszSet_ = false;
  static constexpr int kControlTlsHandshakeMs = 30000;
  // AUTH TLS has just secured the connection: what the client sent behind it in clear is
  // dropped.
  bool plaintextEnded_ = false;
  // ABOR came during the transfer under way: its replies are due when the transfer ends
  bool abortRequested_ = false;
  bool rerun_ = false;  // a command runs again after its rights answer
  // Lines that came while an answer was awaited, answered in order after it (bounded: past
  // the bounds a line is answered at once, as busy).
  static constexpr size_t kMaxHeldLines = 64;
  static constexpr size_t kMaxHeldBytes = 64 * 1024;
  std::deque<std::string> heldLines_;
  size_t heldBytes_ = 0;
  CElapsedTimer loginTimer_;
  uint32_t loginTimeout_ = 0;
  int64_t passwordDueMs_ = 0;  // kTransferLoginDelayed: when the password is checked
  // Runs from the last PASV: a passive listener nobody connected to closes after the
  // data-connection time-out.
  CElapsedTimer passiveTimer_;
  uint32_t passiveReplyAddress_ = 0;  // network order; 0: the control connection's address
  CElapsedTimer uploadTimer_;
  std::string pendingPath_;
  std::string pendingLine_;  // the line (with CR LF) that waits for a rights answer
  std::atomic<uint32_t> transferKind_{kTransferFresh};
  std::atomic<uint32_t> flags_{0};
  uint32_t failedLogins_ = 0;
  uint32_t completedTransfers_ = 0;
  std::atomic<int64_t> loginCounter_{0};  // the clock's counter at login, 0 = none
  std::atomic<bool> loggedIn_{false};
  std::atomic<uint64_t> bytesSent_{0};
  std::atomic<uint64_t> bytesReceived_{0};
  std::atomic<int> answerInProgress_{0};
  uint32_t loginAttempt_ = 0;  // the last login attempt asked of the management server
  std::atomic<uint32_t> peer_{0};

  CTransferEngine transfer_{this, this};
  uint32_t controlAddress_ = 0;  // 0 until GetControlAddress has asked
  std::string listingPath_;
  bool listingFacts_ = false;
  std::string listingNames_;
  bool listingExactName_ = false;
  uint32_t mlstFacts_ = kAllFacts;
  uint32_t configuredCodePage_ = 0;
  std::string renameSource_;
  uint64_t restartOffset_ = 0;  // REST: applies to the next transfer only
  // The home's used-space ledger and the home it was taken for (the session's thread; the
  // ledger itself is shared, see vfs/quota_ledger.h).
  std::shared_ptr<CQuotaLedger> quotaLedger_;
  std::string quotaLedgerHome_;
  // The client ended the session (closed the control connection or sent QUIT); the session's
  // thread.
  bool clientLeft_ = false;
  // The clock's counter when upload data last arrived (0: none since the last pass).
  std::atomic<int64_t> lastUploadData_{0};
};

}  // namespace zelm
