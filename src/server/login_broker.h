// CLoginBroker: what a control session asks of the service about logins and rights.
//
// It decides on the session's own thread whatever can be decided there (the "anonymous"
// refusal, a password-less takeover of a logged-in session from the same address, a link that
// is down) and hands everything that needs the management server to the listener's thread
// through `CManagementRequests`. It never touches a socket; the answers reach the session as
// tasks posted to it by the management router.
//
// Threads: every operation runs on the calling session's own thread; the registry and the
// request queue it uses are safe from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "ftp/ftp_session.h"
#include "server/management_requests.h"
#include "server/session_registry.h"

namespace zelm {

class CLoginBroker final {
 public:
  CLoginBroker(CSessionRegistry& registry, CManagementRequests& requests)
      : registry_(registry), requests_(requests) {}
  CLoginBroker(const CLoginBroker&) = delete;
  CLoginBroker& operator=(const CLoginBroker&) = delete;

  // How the session's USER and PASS are checked (a LoginRoute); `defaultHome` is the home
  // the login gets when the management server names none.
  int ValidateLogin(CFtpSession& session, const std::string& defaultHome);
  // Asks for the rights of `realPath`; false when the link is not ready (it is then asked to
  // connect).
  bool RequestPathAccess(CFtpSession& session, const std::string& realPath, uint32_t operation);
  // The session's connection has closed: the management server is told.
  void OnSessionClosed(CFtpSession& session);

 private:
  CSessionRegistry& registry_;
  CManagementRequests& requests_;
};

}  // namespace zelm
