// Owns the reference management server's loop: its TCP port, its links and its control socket.
#include "mserverd/daemon.h"

#include <algorithm>
#include <charconv>
#include <sstream>

#include "mserverd/account_store.h"
#include "mserverd/control_channel.h"
#include "platform/error.h"
#include "platform/udp_socket.h"
#include "platform/unix_socket.h"

namespace zelm {
namespace {

constexpr size_t kReadChunk = 64 * 1024;

std::string HostOrderAddress(uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
         std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

bool IsDigits(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Sends what it can of `data` without blocking; the bytes taken, or -1 when the peer is gone.
long SendSome(SocketHandle socket, const void* data, size_t length) {
  int error = 0;
  const long n = SendSocket(socket, data, length, error);
  if (n >= 0) return n;
  return error == kWsaEwouldblock ? 0 : -1;
}

}  // namespace

bool IsLoopbackAddress(uint32_t address) { return (address >> 24) == 127; }

bool ParseFtpServerAddress(const std::string& text, uint32_t& address, std::string& message) {
  if (text == "localhost") {
    address = kDefaultListenAddress;
    return true;
  }
  if (!ParseDottedAddress(text.c_str(), address)) {
    message = "'" + text + "' is not an IPv4 address";
    return false;
  }
  if (address == 0 || (address >> 28) >= 0xE) {
    message = "'" + text + "' is not the address of an FTP server";
    return false;
  }
  return true;
}

bool ParseListenAddress(const std::string& text, uint32_t& address, uint16_t& port,
                        std::string& message) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
    message = "'" + text + "' is not HOST:PORT";
    return false;
  }
  const std::string host = text.substr(0, colon);
  const std::string portText = text.substr(colon + 1);
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), value);
  if (ec != std::errc() || end != portText.data() + portText.size() || value > 0xFFFF) {
    message = "'" + portText + "' is not a port number";
    return false;
  }
  if (host == "localhost") {
    address = kDefaultListenAddress;
  } else if (!ParseDottedAddress(host.c_str(), address)) {
    message = "'" + host + "' is not an IPv4 address";
    return false;
  }
  port = static_cast<uint16_t>(value);
  return true;
}

CMServerDaemon::CMServerDaemon(CAccountStore& store, DaemonOptions options, LogSink log)
    : store_(store), options_(std::move(options)), log_(std::move(log)) {}

CMServerDaemon::~CMServerDaemon() { CloseAll(); }

void CMServerDaemon::Log(const std::string& line) const {
  if (log_) log_(line);
}

bool CMServerDaemon::Open(std::string& message) {
  int error = 0;
  std::string text;
  const auto fail = [&](const std::string& what) {
    GetSystemErrorText(error, text);
    message = what + (text.empty() ? "" : ": " + text);
    CloseAll();
    return false;
  };
  if (!wake_.Open(error)) return fail("cannot create the wake-up handle");
  listener_ = OpenSocket(kSocketStream, kProtocolTcp, error);
  if (listener_ == kInvalidSocket) return fail("cannot open a socket");
  // A restarted daemon takes its port back at once, even while old links linger in TIME_WAIT.
  SetSocketOption(listener_, SocketOption::kReuseAddress, 1, error);
  const std::string where =
      HostOrderAddress(options_.address) + ":" + std::to_string(options_.port);
  if (!BindSocket(listener_, options_.address, options_.port, error) ||
      !ListenSocket(listener_, 64, error)) {
    return fail("cannot listen on " + where);
  }
  SocketAddress local;
  GetSocketName(listener_, local, error);
  port_ = NetworkToHost16(local.port);
  // SECURITY: in a folder that others may write, another user could have put a socket of
  // their own in the path's place, or replace ours, and take the operator's orders.
  std::string why;
  if (!ControlFolderBelongsTo(options_.controlSocket, ProcessUserId(), why)) {
    error = 0;
    return fail("refusing to create the control socket " + options_.controlSocket + ": " + why +
                "; give it a folder of this user's own with mode 0700 (--socket PATH or "
                "$ZELM_MSERVER_SOCKET)");
  }
  if (options_.controlSocket.size() > MaxUnixSocketPath()) {
    error = 0;
    return fail("the control socket path " + options_.controlSocket + " is longer than " +
                std::to_string(MaxUnixSocketPath()) + " bytes");
  }
  controlListener_ = ListenUnixSocket(options_.controlSocket, error);
  if (controlListener_ == kInvalidSocket) {
    if (error == kWsaEaddrinuse) {
      error = 0;
      return fail("the control socket " + options_.controlSocket +
                  " is in use: is another zelm-mserver serving this database?");
    }
    return fail("cannot create the control socket " + options_.controlSocket);
  }
  if (options_.announce) {
    // The same address as the TCP port: a daemon that serves only this machine is only
    // found from this machine.
    announcer_ = OpenSocket(kSocketDatagram, kProtocolUdp, error);
    if (announcer_ == kInvalidSocket) return fail("cannot open a datagram socket");
    if (!BindSocket(announcer_, options_.address, options_.announcePort, error)) {
      return fail("cannot answer discovery queries on udp " + HostOrderAddress(options_.address) +
                  ":" + std::to_string(options_.announcePort));
    }
    GetSocketName(announcer_, local, error);
    announcePort_ = NetworkToHost16(local.port);
  }
  checker_ = std::make_unique<CLoginChecker>(
      [&store = store_](std::string_view user, std::string_view password) {
        return store.CheckLogin(user, password);
      },
      [this] { wake_.Signal(); });
  if (!checker_->Start()) {
    error = 0;
    return fail("cannot start the password checks' threads");
  }
  started_ = Clock::now();
  return true;
}

void CMServerDaemon::AnswerQueries() {
  const DiscoveryDatagram announcement = BuildDiscoveryDatagram(kDiscoveryKindAnnouncement, port_);
  uint8_t buffer[512];
  for (int i = 0; i < 100; ++i) {
    SocketAddress sender;
    int error = 0;
    const long n = ReceiveDatagram(announcer_, buffer, sizeof buffer, sender, error);
    if (n < 0) {
      if (error == kWsaEwouldblock) return;
      continue;  // a pending error report, taken by this read
    }
    DiscoveryMessage message;
    if (static_cast<size_t>(n) > sizeof buffer ||
        !ParseDiscoveryDatagram(buffer, static_cast<size_t>(n), message) ||
        message.kind != kDiscoveryKindQuery || sender.port == 0) {
      continue;
    }
    // Answered to the sender only: never a broadcast.
    SendDatagram(announcer_, announcement.data(), announcement.size(),
                 NetworkToHost32(sender.address), NetworkToHost16(sender.port), error);
  }
}

void CMServerDaemon::Stop() {
  stopping_ = true;
  wake_.Signal();
}

void CMServerDaemon::CloseAll() {
  for (Link& link : links_) {
    CloseSocket(link.socket);
    if (checker_) checker_->CloseLink(link.link->Number());
  }
  links_.clear();
  for (Control& control : controls_) CloseSocket(control.socket);
  controls_.clear();
  CloseSocket(listener_);
  listener_ = kInvalidSocket;
  CloseSocket(announcer_);
  announcer_ = kInvalidSocket;
  if (controlListener_ != kInvalidSocket) {
    CloseSocket(controlListener_);
    controlListener_ = kInvalidSocket;
    RemoveUnixSocketFile(options_.controlSocket);
  }
}

int CMServerDaemon::NextTimeout(Clock::time_point now) const {
  std::optional<Clock::time_point> next;
  const auto consider = [&next](Clock::time_point t) {
    if (!next || t < *next) next = t;
  };
  for (const Control& control : controls_) {
    if (!control.query) {
      if (!control.replied) consider(control.deadline);
      continue;
    }
    const bool sessions = control.query->kind == Query::Kind::kSessions;
    consider(control.query->started + (sessions ? options_.reportWait : options_.publishWait));
    if (!sessions) continue;
    // A report may also end by its server's falling quiet.
    for (const Link& link : links_) {
      if (link.lastPacket + options_.reportQuiet > now)
        consider(link.lastPacket + options_.reportQuiet);
    }
  }
  for (const Link& link : links_) {
    if (!link.link->IsGreeted()) consider(link.since + options_.helloWait);
  }
  if (!next) return -1;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(*next - now).count();
  return static_cast<int>(std::clamp<int64_t>(ms + 1, 0, 60000));
}

void CMServerDaemon::Run() {
  enum class What { kWake, kListener, kControlListener, kAnnouncer, kLink, kControl };
  std::vector<PollItem> items;
  std::vector<std::pair<What, size_t>> owners;
  while (!stopping_) {
    ++pass_;
    items.clear();
    owners.clear();
    const auto add = [&](SocketHandle handle, bool write, What what, size_t index) {
      items.push_back({handle, true, write});
      owners.emplace_back(what, index);
    };
    add(wake_.Handle(), false, What::kWake, 0);
    add(listener_, false, What::kListener, 0);
    add(controlListener_, false, What::kControlListener, 0);
    if (announcer_ != kInvalidSocket) add(announcer_, false, What::kAnnouncer, 0);
    for (size_t i = 0; i < links_.size(); ++i) {
      add(links_[i].socket, !links_[i].link->Outgoing().empty(), What::kLink, i);
    }
    for (size_t i = 0; i < controls_.size(); ++i) {
      add(controls_[i].socket, !controls_[i].out.empty(), What::kControl, i);
    }
    int error = 0;
    if (PollSockets(items, NextTimeout(Clock::now()), error) < 0) {
      Log("waiting for events failed (error " + std::to_string(error) + ")");
      break;
    }
    bool connecting = false;
    for (size_t i = 0; i < items.size(); ++i) {
      const auto [what, index] = owners[i];
      switch (what) {
        case What::kWake:
          if (items[i].readable) wake_.Drain();
          break;
        case What::kListener:
          connecting = items[i].readable;  // after the links' reads, below
          break;
        case What::kControlListener:
          if (items[i].readable) AcceptControls();
          break;
        case What::kAnnouncer:
          if (items[i].readable) AnswerQueries();
          break;
        case What::kLink:
          if (items[i].readable) ReadLink(links_[index]);
          break;
        case What::kControl:
          if (items[i].readable) ReadControl(controls_[index]);
          break;
      }
    }
    // New connections only after the reads: a link accepted in an earlier pass whose hello
    // came with its connection has been greeted above before new ones could take its place.
    if (connecting) AcceptLinks();
    DeliverVerdicts();
    const Clock::time_point now = Clock::now();
    for (Control& control : controls_) {
      if (control.query && QueryDone(*control.query, now)) {
        const Query query = *control.query;
        control.query.reset();
        Reply(control, true,
              query.kind == Query::Kind::kSessions ? SessionsText() : PublishText(query));
      } else if (!control.replied && !control.query && now >= control.deadline) {
        control.closing = true;
      }
    }
    for (Link& link : links_) {
      if (!link.link->IsGreeted() && now >= link.since + options_.helloWait && !link.closing) {
        Log("link " + std::to_string(link.link->Number()) + " sent no hello in time");
        link.closing = true;
      }
      FlushLink(link);
    }
    for (Control& control : controls_) FlushControl(control);
    for (Link& link : links_) {
      if (link.closing) {
        CloseSocket(link.socket);
        checker_->CloseLink(link.link->Number());
        Log("link " + std::to_string(link.link->Number()) + " closed");
      }
    }
    std::erase_if(links_, [](const Link& link) { return link.closing; });
    for (Control& control : controls_) {
      if (control.closing) CloseSocket(control.socket);
    }
    std::erase_if(controls_, [](const Control& control) { return control.closing; });
  }
  CloseAll();
}

// ---- FTP servers' links ----

bool CMServerDaemon::IsAdmitted(uint32_t address) const {
  if (options_.ftpServers.empty()) return IsLoopbackAddress(address);
  return std::find(options_.ftpServers.begin(), options_.ftpServers.end(), address) !=
         options_.ftpServers.end();
}

void CMServerDaemon::NoteRefusedLink(const std::string& peer) {
  ++linksRefused_;
  // A peer can connect as fast as it likes: the log gets one line a second at most.
  const Clock::time_point now = Clock::now();
  if (lastRefusalLog_ && now - *lastRefusalLog_ < std::chrono::seconds(1)) {
    ++refusalsUnlogged_;
    return;
  }
  lastRefusalLog_ = now;
  std::string line = "refused a link from " + peer + ": not an admitted FTP server";
  if (refusalsUnlogged_ != 0) {
    line += " (" + std::to_string(refusalsUnlogged_) + " more refused since the last such line)";
  }
  refusalsUnlogged_ = 0;
  Log(line);
}

bool CMServerDaemon::MakeRoomFor(uint32_t address) {
  for (;;) {
    size_t open = 0, here = 0, waiting = 0, waitingHere = 0;
    Link* oldestWaiting = nullptr;
    Link* oldestWaitingHere = nullptr;
    // Links are kept in the order they came: the first found is the oldest. One accepted in
    // this pass has not been read yet, so it has had no chance to say hello: it stays.
    for (Link& link : links_) {
      if (link.closing) continue;
      const bool greeted = link.link->IsGreeted();
      const bool same = link.address == address;
      ++open;
      here += same ? 1 : 0;
      if (greeted) continue;
      ++waiting;
      waitingHere += same ? 1 : 0;
      if (link.acceptedInPass == pass_) continue;
      if (!oldestWaiting) oldestWaiting = &link;
      if (same && !oldestWaitingHere) oldestWaitingHere = &link;
    }
    Link* victim = nullptr;
    if (waitingHere >= kMaxHellolessPerAddress || here >= kMaxLinksPerAddress) {
      victim = oldestWaitingHere;
    } else if (waiting >= kMaxHellolessLinks || open >= kMaxLinks) {
      victim = oldestWaiting;
    } else {
      return true;
    }
    if (!victim) return false;  // every place is held by a greeted or a brand-new link
    Log("link " + std::to_string(victim->link->Number()) + " (" + victim->link->Peer() +
        ") closed before its hello to make room for a new link");
    ++linksEvicted_;
    victim->closing = true;
  }
}

void CMServerDaemon::AcceptLinks() {
  size_t admitted = 0;
  size_t refused = 0;
  while (admitted < kMaxAcceptsPerPass && refused < kMaxRefusalsPerPass) {
    int error = 0;
    SocketAddress peer;
    const SocketHandle socket = AcceptSocket(listener_, peer, error);
    if (socket == kInvalidSocket) return;
    const uint32_t address = NetworkToHost32(peer.address);
    const std::string peerText =
        HostOrderAddress(address) + ":" + std::to_string(NetworkToHost16(peer.port));
    // SECURITY: only the FTP servers named may link; the others are closed before a byte of
    // theirs is read.
    if (!IsAdmitted(address)) {
      NoteRefusedLink(peerText);  // logged before the peer can see the close
      CloseSocket(socket);
      ++refused;
      continue;
    }
    ++admitted;
    if (!MakeRoomFor(address)) {
      Log("refused a link from " + peerText + ": no place is free");
      CloseSocket(socket);
      continue;
    }
    SetSocketOption(socket, SocketOption::kNoDelay, 1, error);
    Link link;
    link.socket = socket;
    link.address = address;
    link.acceptedInPass = pass_;
    // Numbers are not reused while a link holds them (nor, in practice, ever: a verdict
    // names its link by number).
    uint32_t number = nextLinkNumber_++;
    while (number == 0 || FindLink(number) != nullptr) number = nextLinkNumber_++;
    link.link = std::make_unique<CFtpServerLink>(
        number, peerText, store_, log_,
        [checker = checker_.get()](LoginCheck check) { return checker->Submit(std::move(check)); });
    link.since = link.lastPacket = Clock::now();
    checker_->OpenLink(number, address);
    Log("link " + std::to_string(number) + " connected from " + peerText);
    links_.push_back(std::move(link));
  }
}

CMServerDaemon::Link* CMServerDaemon::FindLink(uint32_t number) {
  const auto it = std::find_if(links_.begin(), links_.end(),
                               [number](const Link& l) { return l.link->Number() == number; });
  return it == links_.end() ? nullptr : &*it;
}

void CMServerDaemon::DeliverVerdicts() {
  for (const LoginVerdict& verdict : checker_->TakeVerdicts()) {
    // SECURITY: the answer goes to the link that asked, never to a later link in its place:
    // link numbers are not reused.
    Link* link = FindLink(verdict.link);
    if (link == nullptr || link->closing) continue;
    link->link->OnLoginVerdict(verdict);
  }
}

void CMServerDaemon::ReadLink(Link& link) {
  std::vector<uint8_t> buffer(kReadChunk);
  int error = 0;
  const long n = ReceiveSocket(link.socket, buffer.data(), buffer.size(), false, error);
  if (n < 0 && error == kWsaEwouldblock) return;
  if (n <= 0) {
    link.closing = true;
    return;
  }
  link.lastPacket = Clock::now();
  if (!link.link->Receive(buffer.data(), static_cast<size_t>(n))) link.closing = true;
}

void CMServerDaemon::FlushLink(Link& link) {
  if (link.closing) return;
  const std::vector<uint8_t>& outgoing = link.link->Outgoing();
  if (outgoing.empty()) return;
  const long n = SendSome(link.socket, outgoing.data(), outgoing.size());
  if (n < 0) {
    link.closing = true;
    return;
  }
  link.link->DropSent(static_cast<size_t>(n));
  if (link.link->Outgoing().size() > kMaxLinkBacklog) {
    Log("link " + std::to_string(link.link->Number()) + " does not read its packets; closing it");
    link.closing = true;
  }
}

// ---- Control clients ----

void CMServerDaemon::AcceptControls() {
  for (;;) {
    int error = 0;
    const SocketHandle socket = AcceptUnixSocket(controlListener_, error);
    if (socket == kInvalidSocket) return;
    // SECURITY: only the daemon's own user (or root) may give it orders.
    if (!PeerIsSameUser(socket) || controls_.size() >= kMaxControlClients) {
      CloseSocket(socket);
      continue;
    }
    Control control;
    control.socket = socket;
    control.deadline = Clock::now() + options_.controlIdle;
    controls_.push_back(std::move(control));
  }
}

void CMServerDaemon::ReadControl(Control& control) {
  char buffer[4096];
  int error = 0;
  const long n = ReceiveSocket(control.socket, buffer, sizeof buffer, false, error);
  if (n < 0 && error == kWsaEwouldblock) return;
  if (n <= 0) {
    control.closing = true;  // the client has gone; a reply still owed is dropped
    return;
  }
  if (control.replied || control.query) return;  // one request per connection
  control.in.append(buffer, static_cast<size_t>(n));
  std::vector<std::string> words;
  switch (ParseControlRequest(control.in, words)) {
    case ControlParse::kIncomplete:
      return;
    case ControlParse::kBad:
      Reply(control, false, "request not understood");
      return;
    case ControlParse::kWhole:
      HandleRequest(control, words);
      return;
  }
}

void CMServerDaemon::FlushControl(Control& control) {
  if (control.closing || control.out.empty()) return;
  const long n = SendSome(control.socket, control.out.data(), control.out.size());
  if (n < 0) {
    control.closing = true;
    return;
  }
  control.out.erase(0, static_cast<size_t>(n));
  if (control.out.empty() && control.replied) control.closing = true;
}

void CMServerDaemon::Reply(Control& control, bool ok, const std::string& text) {
  control.out = ControlReply(ok, text);
  control.replied = true;
}

void CMServerDaemon::HandleRequest(Control& control, const std::vector<std::string>& words) {
  const std::string command = words.empty() ? "" : words[0];
  std::string logged = "control: " + PrintableText(command);
  if (words.size() > 1) logged += " " + PrintableText(words[1]);
  Log(logged);
  size_t greeted = 0;
  for (const Link& link : links_) greeted += link.link->IsGreeted() ? 1 : 0;

  if (command == "status" && words.size() == 1) return Reply(control, true, StatusText());
  if (command == "sessions" && words.size() == 1) {
    Query query;
    query.kind = Query::Kind::kSessions;
    query.started = Clock::now();
    for (Link& link : links_) {
      if (!link.link->IsGreeted()) continue;
      query.baseline[link.link->Number()] = link.link->ReportCount();
      link.link->RequestStatus();
    }
    control.query = query;
    return;
  }
  if (command == "kick" && words.size() == 2 && !words[1].empty()) {
    bool ok = false;
    const std::string text = Kick(words[1], ok);
    return Reply(control, ok, text);
  }
  if (command == "publish" && words.size() == 3 && !words[1].empty() && !words[2].empty()) {
    if (greeted == 0) return Reply(control, false, "no FTP server is connected");
    Query query;
    query.kind = Query::Kind::kPublish;
    query.started = Clock::now();
    query.shortcutId = nextShortcutId_++;
    ShortcutRequest request{words[1], words[2], query.shortcutId};
    for (Link& link : links_) {
      if (!link.link->IsGreeted()) continue;
      query.baseline[link.link->Number()] = 0;
      link.link->RequestShortcut(request);
    }
    control.query = query;
    return;
  }
  if (command == "push-config" && words.size() == 1) {
    for (Link& link : links_) link.link->PushConfiguration();
    return Reply(control, true,
                 "configuration given to " + std::to_string(greeted) + " FTP server(s)");
  }
  Reply(control, false,
        "unknown request; the daemon knows status, sessions, kick USER|SESSION-ID, "
        "publish FOLDER TARGET and push-config");
}

bool CMServerDaemon::QueryDone(const Query& query, Clock::time_point now) const {
  const auto wait =
      query.kind == Query::Kind::kSessions ? options_.reportWait : options_.publishWait;
  if (now >= query.started + wait) return true;
  for (const auto& [number, baseline] : query.baseline) {
    const auto it = std::find_if(links_.begin(), links_.end(), [number = number](const Link& l) {
      return l.link->Number() == number;
    });
    if (it == links_.end() || it->closing) continue;  // gone: nothing more will come
    const CFtpServerLink& link = *it->link;
    if (query.kind == Query::Kind::kSessions) {
      if (link.ReportCount() <= baseline) return false;
      if (!link.ReportComplete() && now < it->lastPacket + options_.reportQuiet) return false;
    } else {
      const auto& answers = link.ShortcutAnswers();
      if (std::none_of(answers.begin(), answers.end(),
                       [&query](const ShortcutAnswer& a) { return a.id == query.shortcutId; })) {
        return false;
      }
    }
  }
  return true;
}

std::string CMServerDaemon::Kick(const std::string& target, bool& ok) {
  ok = false;
  size_t greeted = 0;
  for (const Link& link : links_) greeted += link.link->IsGreeted() ? 1 : 0;
  if (greeted == 0) return "no FTP server is connected";
  if (IsDigits(target)) {
    uint32_t id = 0;
    const auto [end, ec] = std::from_chars(target.data(), target.data() + target.size(), id);
    (void)end;
    std::string text;
    for (Link& link : links_) {
      const std::optional<std::string> user =
          ec == std::errc() && link.link->IsGreeted() ? link.link->UserOfSession(id) : std::nullopt;
      if (!user) continue;
      link.link->EndSessions({id, std::nullopt});
      text += "asked link " + std::to_string(link.link->Number()) + " to end session " + target +
              (user->empty() ? "" : " of '" + *user + "'") + "\n";
    }
    if (!text.empty()) {
      ok = true;
      return text;
    }
    // No such session: the number may be a user's name.
  }
  size_t known = 0;
  for (Link& link : links_) {
    if (!link.link->IsGreeted()) continue;
    known += link.link->CountSessionsOf(target);
    link.link->EndSessions({std::nullopt, target});
  }
  const std::string shown = PrintableText(target);
  if (known == 0) {
    // Nothing to end, as far as the reports tell: the operator hears so (exit status 1); the
    // order went out all the same, for a login that no report has listed yet.
    return std::string(IsDigits(target) ? "no session " + shown + " and " : "") +
           "no session of user '" + shown + "' is known to the " + std::to_string(greeted) +
           " connected FTP server(s)";
  }
  ok = true;
  return "asked " + std::to_string(greeted) + " FTP server(s) to end the sessions of '" + shown +
         "' (" + std::to_string(known) + " known)";
}

// ---- Texts for the operator ----

std::string CMServerDaemon::SessionsText() const {
  std::ostringstream text;
  text << "LINK\tSESSION\tUSER\tLOGGED-IN\tPEER\tSENT\tRECEIVED\tKIND\n";
  size_t greeted = 0;
  for (const Link& link : links_) {
    if (!link.link->IsGreeted()) continue;
    ++greeted;
    for (const SessionStatus& s : link.link->ReportedSessions()) {
      text << link.link->Number() << "\t" << s.sessionId << "\t"
           << (s.userName.empty() ? "-" : PrintableText(s.userName)) << "\t" << s.loggedInSeconds
           << "s\t" << DottedAddress(s.peerAddress) << "\t" << s.bytesSent << "\t"
           << s.bytesReceived << "\t" << s.transferKind << "\n";
    }
  }
  if (greeted == 0) text << "(no FTP server is connected)\n";
  return text.str();
}

std::string CMServerDaemon::PublishText(const Query& query) const {
  std::ostringstream text;
  for (const auto& [number, unused] : query.baseline) {
    const auto it = std::find_if(links_.begin(), links_.end(), [number = number](const Link& l) {
      return l.link->Number() == number;
    });
    text << "link " << number << ": ";
    if (it == links_.end()) {
      text << "closed before it answered\n";
      continue;
    }
    const auto& answers = it->link->ShortcutAnswers();
    const auto answer = std::find_if(answers.begin(), answers.end(),
                                     [&query](const auto& a) { return a.id == query.shortcutId; });
    if (answer == answers.end()) {
      text << "no answer yet (request " << query.shortcutId << ")\n";
    } else {
      text << "result " << answer->result << ", " << PrintableText(answer->path) << "\n";
    }
  }
  return text.str();
}

std::string CMServerDaemon::StatusText() const {
  std::ostringstream text;
  const auto up = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started_).count();
  text << "listening on " << HostOrderAddress(options_.address) << ":" << port_ << "\n"
       << "database " << options_.database << "\n"
       << "control socket " << options_.controlSocket << "\n"
       << "up " << up << " s\n"
       << "ftp servers ";
  if (options_.ftpServers.empty()) text << "127.0.0.0/8";
  for (size_t i = 0; i < options_.ftpServers.size(); ++i) {
    text << (i == 0 ? "" : ", ") << HostOrderAddress(options_.ftpServers[i]);
  }
  text << "\n"
       << "links " << links_.size() << "\tlinks refused " << linksRefused_
       << " (address not admitted)\tclosed before their hello " << linksEvicted_
       << "\tpassword checks queued " << (checker_ ? checker_->Queued() : 0) << "\n";
  for (const Link& l : links_) {
    const CFtpServerLink& link = *l.link;
    const auto age = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - l.since);
    text << "link " << link.Number() << "\t" << link.Peer() << "\tcomputer '" << link.ComputerName()
         << "'\t" << (link.IsGreeted() ? "greeted" : "no hello yet") << "\tup " << age.count()
         << " s";
    if (link.LastRecord()) {
      const auto& v = link.LastRecord()->values;
      text << "\tlistening " << v[0] << "\tsessions " << v[1] << "\tmax connection " << v[2];
    }
    text << "\tlogins " << link.LoginsAccepted() << " accepted, " << link.LoginsRefused()
         << " refused (" << link.LoginsThrottled() << " throttled, " << link.LoginsTurnedAway()
         << " turned away), " << link.LoginsPending() << " pending\tdropped packets "
         << link.PacketsDropped() << "\n";
  }
  return text.str();
}

}  // namespace zelm
