// CFtpServerLink: one FTP server's link as the reference management server sees it.
//
// It holds the protocol side of the link without the socket: the daemon hands it the bytes it
// receives and sends the bytes it queues. It answers hello (with 1, then asks for a status
// report and pushes the stored configuration), access requests (rules of the store), records
// status reports, session-closed notices and shortcut-folder answers, and queues the
// operator's orders (status request, end sessions, shortcut-folder request, configuration).
//
// Login requests are not checked here: the link recovers the hidden password and hands the
// check to `submit` (the daemon's CLoginChecker), and answers when the daemon brings the
// verdict back through `OnLoginVerdict`. A request that cannot be checked (no name, no
// password, the check refused by `submit` because its queue is full) is answered 0 at once,
// and so is a verdict of the throttle: the protocol knows one refusal, result 0. A verdict
// whose session has closed meanwhile is dropped, and its session is not admitted.
//
// Distrust of the peer: packets whose lengths or digest are wrong make `Receive` return false
// and the daemon closes the link. Well-framed packets that are out of place (before the
// hello, of the wrong kind, unknown, with a bad item block, or naming a session this link
// never had admitted) are dropped and counted; nothing else happens.
//
// Thread safety: none; the daemon's loop thread owns every link.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mserver/messages.h"
#include "mserver/packet.h"
#include "mserverd/login_checker.h"

namespace zelm {

class CAccountStore;

using LogSink = std::function<void(const std::string& line)>;
// Queues a login check; false when it cannot be queued now (the request is refused at once).
using LoginSubmit = std::function<bool(LoginCheck check)>;

// The most sessions one link may have admitted at once, and the most session lines one
// status report may hold; beyond them logins are refused and report lines dropped.
inline constexpr size_t kMaxSessionsPerLink = 65536;
// Shortcut-folder answers kept for the operator.
inline constexpr size_t kShortcutAnswersKept = 16;

class CFtpServerLink final {
 public:
  // `number` names the link in logs and listings and in its login checks; `peer` is its
  // address as text.
  CFtpServerLink(uint32_t number, std::string peer, CAccountStore& store, LogSink log,
                 LoginSubmit submit);
  CFtpServerLink(const CFtpServerLink&) = delete;
  CFtpServerLink& operator=(const CFtpServerLink&) = delete;

  // Takes bytes received from the FTP server and handles every whole packet among them.
  // False when the bytes are not packets of the protocol: the link is to be closed.
  bool Receive(const uint8_t* data, size_t length);
  // The verdict of a login check this link submitted: queues the answer.
  void OnLoginVerdict(const LoginVerdict& verdict);

  // Bytes waiting to be sent, in order; the daemon sends a leading part and drops it.
  const std::vector<uint8_t>& Outgoing() const { return outgoing_; }
  void DropSent(size_t count);

  // ---- Orders of the operator; each queues packets (only once the hello has come) ----
  void RequestStatus();
  void EndSessions(const SessionSelector& target);
  void RequestShortcut(const ShortcutRequest& request);
  // Sends the stored configuration. When it leaves "active" or "Max Connection" unset, the
  // values come from the server's last status record; without one, a status report is asked
  // for and the configuration goes out when it arrives. Nothing is sent when nothing is set.
  void PushConfiguration();

  // ---- What the link knows ----
  uint32_t Number() const { return number_; }
  const std::string& Peer() const { return peer_; }
  bool IsGreeted() const { return greeted_; }
  const std::string& ComputerName() const { return computerName_; }
  // The record of the last status report, and the sessions it has listed so far.
  const std::optional<ServiceRecord>& LastRecord() const { return record_; }
  const std::vector<SessionStatus>& ReportedSessions() const { return reported_; }
  // Status reports begun on this link so far.
  uint64_t ReportCount() const { return reports_; }
  // The last report has listed as many sessions as its record announced.
  bool ReportComplete() const;
  // A session this link's server has admitted (login answered yes, or listed with a user in a
  // status report), and its user.
  std::optional<std::string> UserOfSession(uint32_t sessionId) const;
  size_t CountSessionsOf(std::string_view user) const;
  const std::vector<ShortcutAnswer>& ShortcutAnswers() const { return shortcutAnswers_; }
  uint64_t LoginsAccepted() const { return loginsAccepted_; }
  // Every refusal, and among them those that were not checked: throttled (the name or the
  // link failed too often lately) and turned away (the check queue was full).
  uint64_t LoginsRefused() const { return loginsRefused_; }
  uint64_t LoginsThrottled() const { return loginsThrottled_; }
  uint64_t LoginsTurnedAway() const { return loginsTurnedAway_; }
  // Login checks submitted and not answered yet.
  size_t LoginsPending() const;
  uint64_t PacketsDropped() const { return dropped_; }

 private:
  void OnPacket(const MServerPacketHeader& header, const uint8_t* body, uint32_t bodyLength);
  void OnHello(const uint8_t* body, uint32_t bodyLength);
  void OnLoginRequest(const uint8_t* body, uint32_t bodyLength);
  void OnAccessRequest(const uint8_t* body, uint32_t bodyLength);
  void OnStatusRecord(const uint8_t* body, uint32_t bodyLength);
  void OnSessionStatus(const uint8_t* body, uint32_t bodyLength);
  void OnSessionClosed(uint32_t sessionId);
  void OnShortcutAnswer(const uint8_t* body, uint32_t bodyLength);
  void RefuseLogin(uint32_t sessionId, const std::string& who, const char* why);
  void Queue(const Packet& packet);
  void Drop(const char* why);
  void Log(const std::string& line) const;

  const uint32_t number_;
  const std::string peer_;
  CAccountStore& store_;
  LogSink log_;
  LoginSubmit submit_;

  std::vector<uint8_t> incoming_;
  std::vector<uint8_t> outgoing_;

  bool greeted_ = false;
  std::string computerName_;
  bool configurationWanted_ = false;  // waits for a status record
  std::optional<ServiceRecord> record_;
  std::vector<SessionStatus> reported_;
  uint64_t reports_ = 0;
  std::map<uint32_t, std::string> admitted_;  // session identifier -> account name
  std::map<uint32_t, uint32_t> pending_;      // session identifier -> checks under way
  std::vector<ShortcutAnswer> shortcutAnswers_;
  uint64_t loginsAccepted_ = 0;
  uint64_t loginsRefused_ = 0;
  uint64_t loginsThrottled_ = 0;
  uint64_t loginsTurnedAway_ = 0;
  // Refusals that were not checked are logged at most once a second; the rest are counted.
  std::optional<int64_t> lastQuietLog_;
  uint64_t unlogged_ = 0;
  uint64_t dropped_ = 0;
};

// A user name or other peer text made safe for a log line: control bytes become '?' and
// the text is cut to 64 bytes.
std::string PrintableText(std::string_view text);
// An IPv4 address held in network order, as dotted text.
std::string DottedAddress(uint32_t networkOrder);

}  // namespace zelm
