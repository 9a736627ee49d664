// Owns the management link: hello, packet cutting and dispatch, and the requests it sends.
#include "mserver/mserver_link.h"

#include "mserver/password_hiding.h"
#include "platform/clock.h"
#include "platform/host.h"
#include "platform/limits.h"

namespace zelm {

CMServerLink::CMServerLink() {
  SetReceiveBlockSize(kPacketHeaderSize);
  // A packet above the cap is refused by the cutter before the block grows that far.
  SetReceiveBlockCap(kMaxManagementPacket + kPacketHeaderSize);
}

CMServerLink::~CMServerLink() { CloseSocket(false); }

bool CMServerLink::SendPacketBytes(const Packet& packet) {
  if (!IsValid()) return false;
  FlushBacklog();  // keeps the packets in order
  if (!IsValid()) return false;
  size_t sent = 0;
  if (backlog_.empty()) {
    const int n = WriteSocketSome(packet.data(), packet.size(), 0);
    if (n < 0) return false;
    sent = static_cast<size_t>(n);
    if (sent == packet.size()) return true;
    backlogMovedMs_ = MonotonicMilliseconds();
  }
  if (backlog_.size() + (packet.size() - sent) > kMaxLinkBacklog) {
    // The peer has stopped reading: a clean new link is better than a stalled listener.
    Close(false);
    return false;
  }
  backlog_.append(reinterpret_cast<const char*>(packet.data()) + sent, packet.size() - sent);
  return true;
}

void CMServerLink::FlushBacklog() {
  if (backlog_.empty()) return;
  if (!IsConnected()) {
    backlog_.clear();
    return;
  }
  const int n =
      WriteSocketSome(reinterpret_cast<const uint8_t*>(backlog_.data()), backlog_.size(), 0);
  if (n < 0) {
    backlog_.clear();
    return;
  }
  const int64_t now = MonotonicMilliseconds();
  if (n > 0) {
    backlog_.erase(0, static_cast<size_t>(n));
    backlogMovedMs_ = now;
  } else if (now - backlogMovedMs_ >= kLinkStallMs) {
    Close(false);
  }
}

bool CMServerLink::SendHello() {
  const std::string name = GetComputerName();
  if (name.empty()) return false;
  return SendPacketBytes(EncodeHello(name));
}

bool CMServerLink::SendLoginRequest(std::string_view userName, std::string_view password,
                                    uint32_t sessionId) {
  if (!IsReady()) return false;
  LoginRequest request{std::string(userName), HidePassword(password, userName), sessionId};
  return SendPacketBytes(EncodeLoginRequest(request));
}

int CMServerLink::OnReceiveData(uint8_t* data, size_t length, size_t& consumed) {
  bool malformed = false;
  const size_t missing = CutPackets(
      data, length, consumed,
      [this](const MServerPacketHeader& header, uint8_t* body, uint32_t bodyLength) {
        OnPacket(header, body, bodyLength);
      },
      &malformed);
  if (malformed) {
    // Bytes that are no packet: whatever follows them in the stream (a login answer, say)
    // cannot be told apart from more of the same. The link is made again from a clean start
    // rather than losing packets silently.
    Close(false);
    return 0;
  }
  return static_cast<int>(missing);
}

void CMServerLink::OnConnect(int code) {
  CZmSocket::OnConnect(code);
  if (code != 0) return;
  // Requests are small and often follow each other (many sessions log in at once): without
  // this a request waits for the acknowledgement of the one before it.
  int error = 0;
  SetSocketOption(GetHandle(), SocketOption::kNoDelay, 1, error);
  SendHello();
}

void CMServerLink::OnClosing(bool byPeer) {
  (void)byPeer;
  acknowledged_ = false;
  backlog_.clear();  // bytes for a connection that is gone
}

void CMServerLink::OnPacket(const MServerPacketHeader& header, const uint8_t* body,
                            uint32_t bodyLength) {
  if (header.kind != kKindFromManagement) return;
  if (header.category == kCategoryHello) {
    if (header.command != 0) acknowledged_ = true;
    if (handler_ != nullptr) handler_->SetServiceActive(header.command);
    return;
  }
  if (header.category == kCategoryStatusRequest) {
    if (handler_ != nullptr) handler_->SendStatusReport();
    return;
  }
  if (header.category != kCategoryItems) return;
  switch (header.command) {
    case kCommandConfiguration: {
      const auto configuration = DecodeConfiguration(body, bodyLength);
      if (!configuration) return;
      acknowledged_ = true;
      if (handler_ != nullptr && configuration->record) {
        handler_->ApplyConfiguration(*configuration->record,
                                     configuration->mainPath ? &*configuration->mainPath : nullptr);
      }
      return;
    }
    case kCommandLoginAnswer: {
      const auto answer = DecodeLoginAnswer(body, bodyLength);
      if (answer && handler_ != nullptr) handler_->OnLoginAnswer(*answer);
      return;
    }
    case kCommandEndSessions: {
      const auto target = DecodeEndSessions(body, bodyLength);
      if (target && handler_ != nullptr) handler_->OnEndSessions(*target);
      return;
    }
    case kCommandAccessAnswer: {
      const auto answer = DecodeAccessAnswer(body, bodyLength);
      if (answer && answer->path && answer->rights && handler_ != nullptr) {
        handler_->OnAccessAnswer(answer->target, *answer->path, *answer->rights);
      }
      return;
    }
    case kCommandShortcutFolder: {
      const auto request = DecodeShortcutRequest(body, bodyLength);
      if (request && handler_ != nullptr) handler_->OnShortcutRequest(*request);
      return;
    }
    default:
      return;
  }
}

}  // namespace zelm
