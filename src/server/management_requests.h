// CManagementRequests: what session threads hand to the management link, which only the
// listener's thread writes.
//
// The login broker (session threads) calls it; the management router implements it by
// queueing each request for the listener's thread. Every operation returns at once and may be
// called from any thread; none of them touches a socket on the caller's thread.
#pragma once

#include <cstdint>
#include <string>

namespace zelm {

// A login to be checked by the management server.
struct LoginAsk {
  uint32_t sessionId = 0;          // fresh for this attempt
  uint32_t previousSessionId = 0;  // the identifier the session had before it
  uint32_t attempt = 0;            // the session's login attempt this request is for
  std::string userName;
  std::string password;
  std::string homeName;  // the home the login gets when the answer names none
};

// The rights of one path to be asked for.
struct AccessAsk {
  uint32_t sessionId = 0;
  std::string userName;
  std::string realPath;
  uint32_t operation = 0;
};

class CManagementRequests {
 public:
  virtual ~CManagementRequests() = default;
  // Connected and acknowledged by the management server (an atomic read).
  virtual bool IsLinkReady() const = 0;
  // Asks the listener's thread to connect the link.
  virtual void RequestLinkUpkeep() = 0;
  // Queues a login request; the answer (or a refusal when it cannot be sent) is posted to the
  // session.
  virtual void QueueLogin(LoginAsk ask) = 0;
  // Queues a rights request; the answer is posted to the session, and so is the news that it
  // could not be sent.
  virtual void QueueAccess(AccessAsk ask) = 0;
  // Queues the report that a session has closed.
  virtual void QueueSessionClosed(uint32_t sessionId) = 0;
};

}  // namespace zelm
