// CSessionOwner: what a control session asks of the server that owns it (the listener).
//
// The interface keeps the protocol code free of the server's classes: the listener implements
// it, and tests implement it with a scripted owner.
// Thread safety: every operation is called on the calling session's own thread and must be
// safe against the other sessions' threads and the listener's.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "transfer/data_socket.h"
#include "vfs/shell_link.h"

namespace zelm {

class CFtpSession;

// Routes of a login decision.
enum LoginRoute : int {
  kLoginRefused = -1,   // the management link is not ready, or the request was not sent
  kLoginAccepted = 0,   // took over the account of a logged-in session from the same address
  kLoginAsked = 1,      // a request went to the management server; the answer comes later
  kLoginAnonymous = 3,  // "anonymous" is always refused
};

// Where PASV listens and what its reply names.
struct PassiveSettings {
  PassivePortRange ports;
  uint32_t replyAddress = 0;  // network order; 0: the control connection's local address
};

// The account parameters a management answer sets.
struct AccountLimits {
  uint64_t quota = 0;         // bytes, 0 = none
  uint32_t bandwidth = 0;     // KiB per second, 0 = unlimited
  uint32_t sessionLimit = 0;  // sessions per user, 0 = none
  uint32_t rights = 0;
};

// What the management server decided about a session's login or its account, prepared on the
// listener's thread and applied by the session on its own (`CFtpSession::ApplyAccountUpdate`).
struct AccountUpdate {
  std::optional<AccountLimits> limits;
  std::optional<std::string> homeName;  // the home as the management server names it
  std::string homeFolder;    // that home mapped below the main path; empty: none could be had
  bool homeCreated = false;  // the folder was created for this login
  // Present for the answer to a login attempt: whether it was accepted.
  std::optional<bool> loginAccepted;
  // Why a login is refused when it is not the management server's "no" (the request could
  // not be sent, the home folder could not be had): for the log, never for the client.
  std::string refusal;
};

// One transfer as it ended: what the transfer log records.
struct TransferRecord {
  std::string userName;
  uint32_t peer = 0;     // network order
  std::string realPath;  // the file on disk
  bool upload = false;   // STOR, APPE, STOU (else RETR)
  bool binary = true;    // TYPE I (else A)
  uint64_t bytes = 0;    // moved over the data connection
  int64_t milliseconds = 0;
  bool complete = false;   // the final reply was 226
  uint32_t replyCode = 0;  // the final reply (226, 426, 451, 452, 522, 552)
  std::string why;         // for an incomplete one: what ended it
};

class CSessionOwner {
 public:
  virtual ~CSessionOwner() = default;

  // Decides how the session's USER and PASS are checked (a LoginRoute).
  virtual int ValidateLogin(CFtpSession& session) = 0;
  // Asks the management server for the rights of `realPath`; false when it could not be sent.
  virtual bool RequestPathAccess(CFtpSession& session, const std::string& realPath,
                                 uint32_t operation) = 0;
  // The session's connection has closed.
  virtual void OnSessionClosed(CFtpSession& session) = 0;
  // The per-user session limit: true when `session` stays within `limit` (0: none); with
  // `closeSameHost`, a session over it has its user's sessions from its host ended.
  virtual bool CheckSessionLimit(CFtpSession& session, uint32_t limit, bool closeSameHost) = 0;
  // The text of the 221 reply to QUIT.
  virtual std::string GetQuitText() = 0;
  // How shortcut files are read here (drive mapping and code page).
  virtual ShortcutContext GetShortcutContext() = 0;

  // What failed logins cost the session's address. How long the reply to the password just
  // given waits (milliseconds, 0: none).
  virtual int64_t PasswordReplyDelayMs(CFtpSession& session) {
    (void)session;
    return 0;
  }
  // The management server refused a login of the session's address.
  virtual void OnLoginFailed(CFtpSession& session) { (void)session; }
  // A login of the session succeeded.
  virtual void OnLoginSucceeded(CFtpSession& session) { (void)session; }
  // A download or upload has ended, completely or not. Called on the session's thread, or on
  // the upload worker's for an upload (the session may be closed by then).
  virtual void OnTransferEnded(const TransferRecord& record) { (void)record; }
  // Seconds a connection may stay without a login (0: no limit); read at the greeting.
  virtual uint32_t LoginTimeoutSeconds() { return 0; }
  // The passive port range and reply address; read at every PASV.
  virtual PassiveSettings GetPassiveSettings() { return {}; }
  // Whether connections speak the later RFCs' extensions (FEAT before login, EPSV/EPRT,
  // MDTM/MFMT, ...); read when a connection is greeted.
  virtual bool ExtensionsOn() { return false; }
  // The TLS the service offers ("TLS Certificate", "TLS Key"): null when it offers none;
  // read when a connection is greeted.
  virtual std::shared_ptr<CTlsServer> TlsContext() { return nullptr; }
  // "TLS Mode" as it applies (0 whenever there is no TLS context): 1 AUTH TLS offered, 2
  // required for logins and data connections.
  virtual uint32_t TlsMode() { return 0; }
};

}  // namespace zelm
