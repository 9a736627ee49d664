// Owns the session-thread side of logins and rights requests: local decisions, and requests
// queued for the listener's thread.
#include "server/login_broker.h"

#include "ftp/session_owner.h"
#include "server/settings.h"
#include "vfs/ftp_path.h"

namespace zelm {

int CLoginBroker::ValidateLogin(CFtpSession& session, const std::string& defaultHome) {
  session.ResetForLogin(defaultHome);
  const CFtpAccount& account = session.GetAccount();
  if (EqualsNoCase(account.userName, "anonymous")) return kLoginAnonymous;
  if (account.password.empty() && IsSameAddressLoginOn() &&
      registry_.WithLoggedInSessionFrom(
          session, [&session](CFtpSession& other) { session.CopyAccountFrom(other); })) {
    return kLoginAccepted;
  }
  if (!requests_.IsLinkReady()) {
    requests_.RequestLinkUpkeep();
    return kLoginRefused;
  }
  // SECURITY: every attempt is asked under an identifier of its own, so a late answer to an
  // earlier attempt (one that timed out, or another user's) admits nothing.
  const uint32_t previous = session.GetIdentifier();
  const uint32_t identifier = registry_.Renumber(session);
  // The management server may know the session by its former identifier: it is told that one
  // has ended (before the new request, on the same queue).
  if (session.LastLoginAttempt() != 0) requests_.QueueSessionClosed(previous);
  requests_.QueueLogin({identifier, previous, session.NextLoginAttempt(), account.userName,
                        account.password, defaultHome});
  return kLoginAsked;
}

bool CLoginBroker::RequestPathAccess(CFtpSession& session, const std::string& realPath,
                                     uint32_t operation) {
  if (!requests_.IsLinkReady()) {
    requests_.RequestLinkUpkeep();
    return false;
  }
  requests_.QueueAccess({session.GetIdentifier(), session.GetUserName(), realPath, operation});
  return true;
}

void CLoginBroker::OnSessionClosed(CFtpSession& session) {
  requests_.QueueSessionClosed(session.GetIdentifier());
}

}  // namespace zelm
