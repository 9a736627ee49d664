// Owns the steps of a session's data transfers: data-connection set-up, the download loop,
// listings and the upload hand-over.
#include "transfer/transfer_engine.h"

#include <algorithm>
#include <vector>

#include "platform/clock.h"
#include "platform/thread.h"
#include "vfs/file_helpers.h"
#include "vfs/listing.h"

namespace zelm {
namespace {

// A download's throttle pause is slept in slices of at most this, so that a closing control
// connection is noticed.
constexpr int64_t kThrottleSliceMs = 15;
// Slept slices between two looks at the control connection during a throttle pause.
constexpr uint32_t kPauseSlicesPerLook = kSendSliceMs / kThrottleSliceMs;

}  // namespace

// ---- Mode ----

uint32_t CTransferEngine::OpenPassive(const Endpoints& at) {
  data_.Close(false);
  data_.SetEvent(at.event);
  data_.SetExpectedPeer(HostToNetwork32(at.peerAddress));
  const uint32_t port = data_.ListenPassive(at.localAddress, RandomPassivePorts(at.passivePorts));
  if (port == 0) return 0;
  // The connection is taken in the session's next pass or when the transfer command comes,
  // whichever is first; until a command waits for it, its arrival need not wake the session.
  data_.SelectEvents(0);
  data_.SetActivePort(port);
  return port;
}

// ---- Data connection ----

CTransferEngine::ConnectionState CTransferEngine::OpenDataConnection(bool passive,
                                                                     const Endpoints& at) {
  data_.SetEvent(at.event);
  return passive ? TakeWaitingConnection(at) : OpenActive(at);
}

CTransferEngine::ConnectionState CTransferEngine::TakeWaitingConnection(const Endpoints& at) {
  const bool connected = data_.IsConnected();
  if (connected) return kConnectionOpen;
  if (data_.IsListening()) {
    // A client connects right after PASV and sends its command straight away, so the
    // connection is usually waiting already: taking it now saves a pass of the event loop.
    // (An upload's connection is left to the event, which hands it to the upload worker.)
    if (data_.GetDirection() != kDirectionReceive && data_.AcceptPending() && data_.IsConnected()) {
      return kConnectionOpen;
    }
    data_.SelectEvents(kMaskListening);  // from now on the connection wakes the session
    return kConnectionAwaited;
  }
  data_.Close(false);
  if (data_.GetActivePort() == 0) return kConnectionFailed;  // the passive port timed out
  data_.SetExpectedPeer(HostToNetwork32(at.peerAddress));
  if (!data_.ListenForClient(data_.GetActivePort(), at.localAddress)) return kConnectionFailed;
  return kConnectionAwaited;
}

CTransferEngine::ConnectionState CTransferEngine::OpenActive(const Endpoints& at) {
  if (data_.IsConnected()) return kConnectionOpen;
  data_.Close(false);
  data_.SetActiveTarget(at.peerAddress, data_.GetActivePort());
  data_.SetConnectBindAddress(at.localAddress);
  if (data_.GetActivePort() == 0 || !data_.ConnectActive()) return kConnectionFailed;
  if (data_.IsConnected()) return kConnectionMade;
  return kConnectionAwaited;
}

void CTransferEngine::EndForClosedControl() {
  if (data_.GetDirection() == kDirectionReceive) {
    data_.BeginDrain();
    uint64_t written = data_.GetBytesWritten();
    uint32_t idleMs = 0;
    while (data_.GetDirection() == kDirectionReceive && idleMs < kUploadDrainIdleMs) {
      // A connection still waiting at the listener, or served by this thread, moves only
      // when driven.
      if (!data_.IsInCompletionMode() && data_.IsValid()) {
        const std::shared_ptr<CEventObject> event = data_.GetEvent();
        data_.OnNetworkEvents(event.get(), true);
      }
      SleepMilliseconds(kUploadDrainPollMs);
      const uint64_t now = data_.GetBytesWritten();
      idleMs = now != written ? 0 : idleMs + kUploadDrainPollMs;
      written = now;
    }
  }
  data_.AbortTransfer();
}

bool CTransferEngine::OnNetworkEvents(CEventObject* event, bool poll) {
  return data_.IsValid() && data_.OnNetworkEvents(event, poll);
}

// ---- Transfers ----

bool CTransferEngine::OpenFile(std::string path, TransferDirection direction, bool append,
                               uint64_t restartOffset, UploadQuota quota) {
  const bool receiving = direction == kDirectionReceive;
  removeOnAbandon_ = receiving && !PathExists(path, 0);
  filePath_ = path;
  data_.SetTransfer(std::move(path), direction, append, restartOffset);
  if (!data_.OpenTransferFile()) {
    data_.CloseTransfer();
    return false;
  }
  if (receiving) data_.SetQuota(std::move(quota));
  return true;
}

void CTransferEngine::AbandonFile() {
  data_.CloseTransfer();
  // SECURITY: only the file this upload created goes; one that existed keeps its contents.
  if (removeOnAbandon_) RemoveFile(filePath_);
  removeOnAbandon_ = false;
}

void CTransferEngine::AnnounceTransfer() {
  // A connection made before the command arrived is read by the upload worker from now on.
  data_.AnnounceTransfer();
}

CTransferEngine::DownloadResult CTransferEngine::RunDownload() {
  if (!data_.SecureConnection()) return kDownloadTlsFailed;
  data_.SelectEvents(kMaskConnectClose);
  // Without a bandwidth limit the file goes from the page cache to the socket directly, in
  // stretches (kDirectStretch); with a limit the chunks shrink so that each one is a small
  // part of a second. The limit is read again for every chunk: a new one from the management
  // server applies to the download under way.
  bool direct = true;
  std::vector<uint8_t> buffer;  // only for chunks that are read and sent
  uint64_t offset = data_.GetRestartOffset();
  const uint64_t size = data_.GetFileSize();
  uint32_t chunks = 0;
  int failure = 0;
  int64_t lastData = MonotonicMilliseconds();
  while (offset < size) {
    size_t sent = 0;
    int result = 2;
    const uint32_t limit = owner_->GetBandwidthLimit();
    if (limit != 0) direct = false;
    const size_t chunk = limit == 0
                             ? kDownloadChunk
                             : std::clamp<size_t>(size_t{limit} * 1024 / 16, 1024, kDownloadChunk);
    if (direct) {
      const uint64_t left = size - offset;  // no call that only finds the end
      result = data_.SendFileDirect(static_cast<size_t>(std::min<uint64_t>(kDirectStretch, left)),
                                    std::min(kDirectStretchMs, kSendSliceMs), sent, failure);
      if (result == 1) chunks += kControlPollChunks - 1;  // a look after every stretch
      direct = result != 2;
    }
    if (result == 2) {
      buffer.resize(chunk);
      result = data_.SendFileChunk(buffer.data(), chunk, kSendSliceMs, sent, failure);
    }
    if (result != 1) break;
    if (sent == 0) {
      // The client took nothing for a slice: serve the control connection and the posted
      // tasks, then wait again, unless the client has taken nothing for too long.
      if (MonotonicMilliseconds() - lastData >= kDataConnectionTimeout * 1000) {
        failure = CFtpDataSocket::kSendFailed;
        break;
      }
      owner_->PollControlConnection();
      if (owner_->IsControlClosing() || owner_->IsTransferAborted()) {
        failure = CFtpDataSocket::kSendFailed;
        break;
      }
      continue;
    }
    lastData = MonotonicMilliseconds();
    offset += sent;
    // Data flowing counts as activity: a long download is not an idle session.
    owner_->OnDownloadData(sent);
    if (const int64_t delay = owner_->ChargeBandwidth(sent, MonotonicMilliseconds()); delay > 0) {
      // A long pause (a low limit) is no reason to leave the control connection unanswered:
      // it is looked at every few slices (counted in slept slices, not on the clock).
      const int64_t until = MonotonicMilliseconds() + delay;
      uint32_t slices = 0;
      for (int64_t now = MonotonicMilliseconds();
           now < until && !owner_->IsControlClosing() && !owner_->IsTransferAborted();
           now = MonotonicMilliseconds()) {
        SleepMilliseconds(static_cast<uint32_t>(std::min(until - now, kThrottleSliceMs)));
        if (++slices % kPauseSlicesPerLook == 0 && offset < size) owner_->PollControlConnection();
      }
    }
    // After the last chunk there is nothing left to interrupt.
    if (++chunks % kControlPollChunks == 0 && offset < size) owner_->PollControlConnection();
    if (owner_->IsControlClosing() || owner_->IsTransferAborted()) {
      failure = CFtpDataSocket::kSendFailed;
      break;
    }
  }
  return static_cast<DownloadResult>(failure);
}

bool CTransferEngine::SendListing(const std::string& pattern, bool namesOnly, CCodePage* names,
                                  ListingOptions options) {
  // The listing's own result cannot tell an empty directory from a broken connection: the
  // sink remembers whether a send failed.
  class CheckedSink final : public CListingSink {
   public:
    explicit CheckedSink(CListingSink& to) : to_(to) {}
    int64_t Send(const char* data, size_t length) override {
      const int64_t sent = to_.Send(data, length);
      if (sent < 0) failed = true;
      return sent;
    }
    bool failed = false;

   private:
    CListingSink& to_;
  };
  if (!data_.SecureConnection()) return false;
  CheckedSink sink(data_);
  CFtpListing listing(names);
  listing.SetOptions(std::move(options));
  listing.WriteDirectoryListing(pattern, sink, namesOnly);
  return !sink.failed;
}

}  // namespace zelm
