// Owns the management server's side of one FTP server link: answers, records and orders.
#include "mserverd/ftp_server_link.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "mserver/password_hiding.h"
#include "mserverd/account_store.h"
#include "platform/clock.h"
#include "platform/limits.h"

namespace zelm {
namespace {

// A check's password lives on the heap from the start, so that moving the check on to the
// worker moves the buffer and leaves no copy behind in a short string's inline bytes.
constexpr size_t kPasswordCapacity = 160;
constexpr int64_t kQuietLogMs = 1000;

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::string PrintableText(std::string_view text) {
  std::string out;
  for (const char c : text.substr(0, 64)) {
    const auto byte = static_cast<unsigned char>(c);
    out += byte < 0x20 || byte == 0x7F ? '?' : c;
  }
  if (text.size() > 64) out += "...";
  return out;
}

std::string DottedAddress(uint32_t networkOrder) {
  // The four bytes in memory order are the address; the number was read little-endian.
  return std::to_string(networkOrder & 0xFF) + "." + std::to_string((networkOrder >> 8) & 0xFF) +
         "." + std::to_string((networkOrder >> 16) & 0xFF) + "." +
         std::to_string(networkOrder >> 24);
}

CFtpServerLink::CFtpServerLink(uint32_t number, std::string peer, CAccountStore& store, LogSink log,
                               LoginSubmit submit)
    : number_(number),
      peer_(std::move(peer)),
      store_(store),
      log_(std::move(log)),
      submit_(std::move(submit)) {}

bool CFtpServerLink::Receive(const uint8_t* data, size_t length) {
  incoming_.insert(incoming_.end(), data, data + length);
  size_t consumed = 0;
  const size_t missing =
      CutPackets(incoming_.data(), incoming_.size(), consumed,
                 [this](const MServerPacketHeader& header, uint8_t* body, uint32_t bodyLength) {
                   OnPacket(header, body, bodyLength);
                 });
  if (missing == 0 && consumed != incoming_.size()) {
    // SECURITY: bad lengths or a forged digest; the stream cannot be trusted any further.
    Log("link " + std::to_string(number_) + " sent bytes that are not packets; closing it");
    incoming_.clear();
    return false;
  }
  incoming_.erase(incoming_.begin(), incoming_.begin() + static_cast<ptrdiff_t>(consumed));
  return true;
}

void CFtpServerLink::DropSent(size_t count) {
  outgoing_.erase(outgoing_.begin(),
                  outgoing_.begin() + static_cast<ptrdiff_t>(std::min(count, outgoing_.size())));
}

void CFtpServerLink::Queue(const Packet& packet) {
  outgoing_.insert(outgoing_.end(), packet.begin(), packet.end());
}

void CFtpServerLink::Drop(const char* why) {
  ++dropped_;
  Log("link " + std::to_string(number_) + ": dropped " + why);
}

void CFtpServerLink::Log(const std::string& line) const {
  if (log_) log_(line);
}

void CFtpServerLink::OnPacket(const MServerPacketHeader& header, const uint8_t* body,
                              uint32_t bodyLength) {
  if (header.kind != kKindFromFtpServer) return Drop("a packet of another kind");
  if (header.category == kCategoryHello) return OnHello(body, bodyLength);
  if (!greeted_) return Drop("a packet before the hello");
  if (header.category == kCategorySessionClosed) return OnSessionClosed(header.command);
  if (header.category != kCategoryItems) return Drop("a packet of an unknown category");
  switch (header.command) {
    case kCommandLoginRequest:
      return OnLoginRequest(body, bodyLength);
    case kCommandAccessRequest:
      return OnAccessRequest(body, bodyLength);
    case kCommandStatusFirst:
      return OnStatusRecord(body, bodyLength);
    case kCommandStatusSession:
      return OnSessionStatus(body, bodyLength);
    case kCommandShortcutFolder:
      return OnShortcutAnswer(body, bodyLength);
    default:
      return Drop("a packet with an unknown command");
  }
}

void CFtpServerLink::OnHello(const uint8_t* body, uint32_t bodyLength) {
  // The FTP server repeats its hello until the answer arrives; each gets one.
  Queue(EncodeHelloAnswer(1));
  if (greeted_) return;
  greeted_ = true;
  if (body != nullptr) {
    const size_t length = strnlen(reinterpret_cast<const char*>(body), bodyLength);
    computerName_ = PrintableText(std::string_view(reinterpret_cast<const char*>(body), length));
  }
  Log("link " + std::to_string(number_) + " (" + peer_ + "): hello from '" + computerName_ + "'");
  RequestStatus();
  PushConfiguration();
}

void CFtpServerLink::OnLoginRequest(const uint8_t* body, uint32_t bodyLength) {
  const std::optional<LoginRequest> request = DecodeLoginRequest(body, bodyLength);
  if (!request) return Drop("a login request that does not verify");
  const std::string who = "link " + std::to_string(number_) + ": login of '" +
                          PrintableText(request->userName) + "' (session " +
                          std::to_string(request->sessionId) + ")";
  LoginCheck check;
  check.link = number_;
  check.sessionId = request->sessionId;
  check.userName = request->userName;
  check.password.reserve(kPasswordCapacity);
  // SECURITY: an empty password never logs in, and the answer never tells whether the name or
  // the password was wrong.
  if (request->userName.empty() || request->hiddenPassword.empty() ||
      !RecoverPassword(request->hiddenPassword, request->userName, check.password) ||
      check.password.empty() || admitted_.size() >= kMaxSessionsPerLink) {
    std::fill(check.password.begin(), check.password.end(), '\0');
    return RefuseLogin(request->sessionId, who, nullptr);
  }
  // The check takes the password and wipes it when it is done, or dropped.
  if (!submit_ || !submit_(std::move(check))) {
    ++loginsTurnedAway_;
    return RefuseLogin(request->sessionId, who, "the queue of password checks is full");
  }
  ++pending_[request->sessionId];
}

void CFtpServerLink::OnLoginVerdict(const LoginVerdict& verdict) {
  const std::string who = "link " + std::to_string(number_) + ": login of '" +
                          PrintableText(verdict.userName) + "' (session " +
                          std::to_string(verdict.sessionId) + ")";
  const auto pending = pending_.find(verdict.sessionId);
  if (pending == pending_.end()) {
    // The session closed while its password was checked: nobody waits for the answer.
    Log(who + " answered after its session closed; dropped");
    return;
  }
  if (--pending->second == 0) pending_.erase(pending);
  if (verdict.outcome == LoginOutcome::kThrottled) {
    ++loginsThrottled_;
    return RefuseLogin(verdict.sessionId, who, "too many wrong passwords for this name or link");
  }
  if (verdict.outcome != LoginOutcome::kAccepted || !verdict.account ||
      admitted_.size() >= kMaxSessionsPerLink) {
    return RefuseLogin(verdict.sessionId, who, nullptr);
  }
  const Account& account = *verdict.account;
  ++loginsAccepted_;
  LoginAnswer answer;
  answer.sessionId = verdict.sessionId;
  answer.result = 1;
  answer.parameters =
      AccountParameters{account.quota, account.bandwidth, account.sessions, account.rights, 0};
  answer.homeFolder = account.home;
  admitted_[verdict.sessionId] = account.name;
  Queue(EncodeLoginAnswer(answer));
  Log(who + " accepted");
}

void CFtpServerLink::RefuseLogin(uint32_t sessionId, const std::string& who, const char* why) {
  ++loginsRefused_;
  admitted_.erase(sessionId);
  LoginAnswer answer;
  answer.sessionId = sessionId;
  answer.result = 0;
  Queue(EncodeLoginAnswer(answer));
  if (why == nullptr) {
    Log(who + " refused");
    return;
  }
  // Refusals that are not checked come as fast as a peer sends: the log gets one a second.
  const int64_t now = MonotonicMilliseconds();
  if (lastQuietLog_ && now - *lastQuietLog_ < kQuietLogMs) {
    ++unlogged_;
    return;
  }
  lastQuietLog_ = now;
  std::string line = who + " refused unchecked: " + why;
  if (unlogged_ != 0) line += " (" + std::to_string(unlogged_) + " more since the last such line)";
  unlogged_ = 0;
  Log(line);
}

size_t CFtpServerLink::LoginsPending() const {
  size_t count = 0;
  for (const auto& [session, checks] : pending_) count += checks;
  return count;
}

void CFtpServerLink::OnAccessRequest(const uint8_t* body, uint32_t bodyLength) {
  const std::optional<AccessRequest> request = DecodeAccessRequest(body, bodyLength);
  if (!request) return Drop("an access request that does not verify");
  // SECURITY: rights are only ever given for a session this link's server has admitted, and
  // for the account it was admitted as.
  const auto session = admitted_.find(request->sessionId);
  if (session == admitted_.end()) return Drop("an access request for an unknown session");
  if (!request->userName.empty() && !EqualsNoCase(request->userName, session->second)) {
    return Drop("an access request whose user does not match its session");
  }
  uint32_t rights = 0;
  const std::optional<Account> account = store_.FindAccount(session->second);
  if (account && account->enabled) rights = store_.RightsFor(session->second, request->path);
  AccessAnswer answer;
  answer.target.sessionId = request->sessionId;
  answer.path = request->path;
  answer.rights = rights;
  Queue(EncodeAccessAnswer(answer));
}

void CFtpServerLink::OnStatusRecord(const uint8_t* body, uint32_t bodyLength) {
  const std::optional<ServiceRecord> record = DecodeStatusRecord(body, bodyLength);
  if (!record) return Drop("a status record that does not verify");
  record_ = *record;
  reported_.clear();
  ++reports_;
  if (configurationWanted_) {
    configurationWanted_ = false;
    PushConfiguration();
  }
}

void CFtpServerLink::OnSessionStatus(const uint8_t* body, uint32_t bodyLength) {
  const std::optional<SessionStatus> status = DecodeSessionStatus(body, bodyLength);
  if (!status) return Drop("a session status that does not verify");
  if (reports_ == 0) return Drop("a session status without a status record");
  if (reported_.size() >= kMaxSessionsPerLink) return Drop("a session status beyond the limit");
  reported_.push_back(*status);
  // A session that logged in before this server started (or before the link came back) is
  // known from the report.
  if (!status->userName.empty() && status->loggedInSeconds > 0 &&
      admitted_.size() < kMaxSessionsPerLink) {
    admitted_.try_emplace(status->sessionId, status->userName);
  }
}

void CFtpServerLink::OnSessionClosed(uint32_t sessionId) {
  const bool wasPending = pending_.erase(sessionId) != 0;
  if (admitted_.erase(sessionId) == 0 && !wasPending &&
      std::none_of(reported_.begin(), reported_.end(),
                   [sessionId](const SessionStatus& s) { return s.sessionId == sessionId; })) {
    return Drop("a session-closed notice for an unknown session");
  }
  std::erase_if(reported_,
                [sessionId](const SessionStatus& s) { return s.sessionId == sessionId; });
}

void CFtpServerLink::OnShortcutAnswer(const uint8_t* body, uint32_t bodyLength) {
  const std::optional<ShortcutAnswer> answer = DecodeShortcutAnswer(body, bodyLength);
  if (!answer) return Drop("a shortcut-folder answer that does not verify");
  if (shortcutAnswers_.size() >= kShortcutAnswersKept) {
    shortcutAnswers_.erase(shortcutAnswers_.begin());
  }
  shortcutAnswers_.push_back(*answer);
  Log("link " + std::to_string(number_) + ": shortcut-folder answer " + std::to_string(answer->id) +
      ", result " + std::to_string(answer->result));
}

bool CFtpServerLink::ReportComplete() const {
  return record_ && reported_.size() >= record_->values[1];
}

std::optional<std::string> CFtpServerLink::UserOfSession(uint32_t sessionId) const {
  const auto it = admitted_.find(sessionId);
  if (it != admitted_.end()) return it->second;
  for (const SessionStatus& s : reported_) {
    if (s.sessionId == sessionId) return s.userName;
  }
  return std::nullopt;
}

size_t CFtpServerLink::CountSessionsOf(std::string_view user) const {
  size_t count = 0;
  for (const auto& [id, name] : admitted_) count += EqualsNoCase(name, user) ? 1 : 0;
  return count;
}

void CFtpServerLink::RequestStatus() {
  if (greeted_) Queue(EncodeStatusRequest());
}

void CFtpServerLink::EndSessions(const SessionSelector& target) {
  if (greeted_) Queue(EncodeEndSessions(target));
}

void CFtpServerLink::RequestShortcut(const ShortcutRequest& request) {
  if (greeted_) Queue(EncodeShortcutRequest(request));
}

void CFtpServerLink::PushConfiguration() {
  if (!greeted_) return;
  const ServerConfig config = store_.GetConfig();
  if (!config.active && !config.maxConnection && !config.mainPath) return;
  if ((!config.active || !config.maxConnection) && !record_) {
    // The server's own values for what is unset come with its status report.
    configurationWanted_ = true;
    return;
  }
  ServiceRecord record;
  record.values[0] = config.active ? *config.active : record_->values[0];
  record.values[2] = config.maxConnection ? *config.maxConnection : record_->values[2];
  Configuration configuration;
  configuration.record = record;
  configuration.mainPath = config.mainPath;
  Queue(EncodeConfiguration(configuration));
  Log("link " + std::to_string(number_) + ": configuration sent (active " +
      std::to_string(record.values[0]) + ", max connection " + std::to_string(record.values[2]) +
      (config.mainPath ? ", main path " + PrintableText(*config.mainPath) : std::string()) + ")");
}

}  // namespace zelm
