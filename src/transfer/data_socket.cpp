// Owns the data connection of a control session and the file transfer over it.
#include "transfer/data_socket.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <random>

#include "net/service_metrics.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/file_truncate.h"
#include "platform/thread.h"
#include "vfs/file_helpers.h"

namespace zelm {
namespace {

// A pause is slept in slices of at most this, so that an abort is noticed.
constexpr int64_t kThrottleSliceMs = 15;
// Ports ListenPassive tries by listening before it searches with a probe.
constexpr uint32_t kDirectPassiveTries = 4;

}  // namespace

int64_t ThrottleDelay(uint32_t limitKib, uint64_t bytes, int64_t elapsedMs) {
  if (limitKib == 0) return 0;
  const double ideal = static_cast<double>(bytes) / (limitKib * 1024.0) * 1000.0;
  const int64_t due = static_cast<int64_t>(ideal);
  return due > elapsedMs ? due - elapsedMs : 0;
}

int64_t CBandwidthWindow::Account(uint32_t limitKib, uint64_t bytes, int64_t nowMs) {
  if (limitKib == 0) return 0;
  if (startMs_ < 0) startMs_ = nowMs;
  bytes_ += bytes;
  const int64_t delay = ThrottleDelay(limitKib, bytes_, nowMs - startMs_);
  if (delay == 0 && nowMs - startMs_ > kMaxCatchUpMs &&
      ThrottleDelay(limitKib, bytes_, nowMs - startMs_ - kMaxCatchUpMs) == 0) {
    // Far behind: start afresh rather than send the arrears in one burst.
    startMs_ = nowMs;
    bytes_ = 0;
  }
  return delay >= kThresholdMs ? delay : 0;
}

CFtpDataSocket::CFtpDataSocket(CDataSocketOwner* owner) : owner_(owner) {}

CFtpDataSocket::~CFtpDataSocket() {
  CloseSocket(false);
  CloseTransfer();
}

// ---- Passive ports ----

PassivePortSource RandomPassivePorts(PassivePortRange range) {
  if (range.first == 0 || range.first > 65535) range.first = kFirstPassivePort;
  if (range.last > 65535 || range.last < range.first) range.last = 65535;
  return [range] {
    // One generator per thread, seeded from the system's random source.
    thread_local std::mt19937 generator{std::random_device{}()};
    return std::uniform_int_distribution<uint32_t>(range.first, range.last)(generator);
  };
}

uint32_t CFtpDataSocket::ChoosePassivePort(uint32_t address, const PassivePortSource& ports) {
  int error = 0;
  const SocketHandle probe = OpenSocket(kSocketStream, kProtocolTcp, error);
  if (probe == kInvalidSocket) return 0;
  uint32_t result = 0;
  for (uint32_t tries = 0; tries < 65535 && result == 0; ++tries) {
    const uint32_t candidate = ports();
    if (BindSocket(probe, address, static_cast<uint16_t>(candidate), error)) result = candidate;
  }
  zelm::CloseSocket(probe);
  return result;
}

uint32_t CFtpDataSocket::ListenPassive(uint32_t address, const PassivePortSource& ports) {
  // The next port is nearly always free: listen on it directly. Only when a few in a row are
  // taken does the probe search the whole range.
  for (uint32_t tries = 0; tries < kDirectPassiveTries; ++tries) {
    const uint32_t candidate = ports();
    if (ListenForClient(candidate, address)) return candidate;
  }
  const uint32_t port = ChoosePassivePort(address, ports);
  return port != 0 && ListenForClient(port, address) ? port : 0;
}

bool CFtpDataSocket::ListenForClient(uint32_t port, uint32_t address) {
  // A listener replaced by this one closes first (OnClosed uncounts it).
  if (!Listen(port, address)) return false;
  if (!countedListening_.exchange(true)) ServiceMetrics().PassivePortOpened();
  return true;
}

bool CFtpDataSocket::ParsePortArgument(std::string_view text, uint32_t& address, uint32_t& port) {
  if (text.size() <= 10) return false;
  uint32_t numbers[7] = {};
  int completed = 0;
  int digits = 0;
  uint32_t current = 0;
  for (const char c : text) {
    if (c >= '0' && c <= '9') {
      if (++digits > 3) return false;
      current = current * 10 + static_cast<uint32_t>(c - '0');
      continue;
    }
    const bool separator = c == ',' || (static_cast<unsigned char>(c) <= 32 && completed == 4);
    if (!separator || digits == 0) break;
    if (completed == 6) return false;  // a seventh number
    numbers[completed++] = current % 256;
    current = 0;
    digits = 0;
  }
  if (completed == 5 && digits > 0) {
    numbers[completed++] = current % 256;
  } else if (completed != 6) {
    return false;
  }
  address = numbers[0] | numbers[1] << 8 | numbers[2] << 16 | numbers[3] << 24;
  port = numbers[4] * 256 + numbers[5];
  return port >= 1024;
}

bool CFtpDataSocket::ConnectActive() { return Connect(activeAddress_, activePort_); }

// ---- Transfer set-up ----

void CFtpDataSocket::SetTransfer(std::string path, uint32_t direction, bool append,
                                 uint64_t restartOffset) {
  announced_ = false;
  CMutexLock lock(transferMutex_);
  filePath_ = std::move(path);
  direction_ = direction;
  append_ = append;
  restartOffset_ = restartOffset;
  quota_ = {};
}

void CFtpDataSocket::SetQuota(UploadQuota quota) {
  CMutexLock lock(transferMutex_);
  quota_ = std::move(quota);
}

uint64_t CFtpDataSocket::GetRestartOffset() const {
  CMutexLock lock(transferMutex_);
  return restartOffset_;
}

uint64_t CFtpDataSocket::GetFileSize() const {
  CMutexLock lock(transferMutex_);
  return position_;
}

bool CFtpDataSocket::OpenTransferFile() {
  CMutexLock lock(transferMutex_);
  CloseFileLocked();
  position_ = 0;
  sizeBefore_ = 0;
  chargedSize_ = 0;
  transferError_ = 0;
  abortRequested_ = false;
  draining_ = false;
  fileExisted_ = false;
  const uint32_t direction = direction_.load();
  if (direction == kDirectionNone) return true;
  replacing_ = false;
  tempPath_.clear();
  peerEnded_ = false;
  if (direction == kDirectionReceive) {
    if (!OpenUploadTargetLocked()) return false;
  } else {
    if (!file_.Open(filePath_, CFile::Mode::kRead)) {
      transferError_ = LastSystemError();
      return false;
    }
    // Readers are never refused and never hold up a writer.
    if (FileId id; GetFileId(file_, id)) COpenFileTable::Instance().AcquireReader(id, hold_);
  }
  position_ = GetFileSize64(file_);
  sizeBefore_ = position_;
  chargedSize_ = position_;
  if (restartOffset_ != 0 || append_) {
    if (append_ || restartOffset_ >= position_) {
      SeekFile(file_, 0, 2);
      restartOffset_ = position_;
    } else {
      SeekFile(file_, static_cast<int64_t>(restartOffset_), 0);
    }
  }
  if (direction == kDirectionReceive) position_ = 0;
  return true;
}

bool CFtpDataSocket::OpenUploadTargetLocked() {
  COpenFileTable& table = COpenFileTable::Instance();
  FileStatus target;
  const bool exists =
      PathExists(filePath_, 0) && GetFileStatus(filePath_, target, LinkPolicy::kFollow);
  if (exists && restartOffset_ == 0 && !append_) {
    // SECURITY: a plain STOR over an existing file writes a temporary file beside it and
    // replaces the old file only when the upload completed; until then the old file stays as
    // it was and the upload holds it as its writer.
    if (!table.AcquireWriter(IdOf(target), hold_)) return RefuseInUseLocked();
    if (!OpenUploadTempLocked()) {
      transferError_ = LastSystemError();
      CloseFileLocked();
      return false;
    }
    replacing_ = true;
    return true;
  }
  bool opened = false;
  if (exists) {
    // A resumed or appended upload writes the file in place; SECURITY: opened without
    // creating anything and without following a link in its place.
    opened = file_.Open(filePath_, CFile::Mode::kWriteExisting);
    fileExisted_ = opened;
  } else {
    // SECURITY: a new upload never replaces a file that appeared meanwhile: it is created
    // exclusively.
    opened = file_.Open(filePath_, CFile::Mode::kWriteNew);
    restartOffset_ = 0;
    append_ = false;
  }
  if (!opened) {
    const int error = LastSystemError();
    // A second upload of a new name finds the first one's file: the same refusal.
    if (table.IsPathOpen(filePath_)) return RefuseInUseLocked();
    transferError_ = error;
    return false;
  }
  // SECURITY: one writer per file in this process: a second upload onto a file another
  // transfer writes is refused before anything is written.
  FileId id;
  if (!GetFileId(file_, id) || !table.AcquireWriter(id, hold_)) return RefuseInUseLocked();
  return true;
}

bool CFtpDataSocket::RefuseInUseLocked() {
  CloseFileLocked();
  fileExisted_ = false;
  transferError_ = kFileInUseError;
  return false;
}

bool CFtpDataSocket::OpenUploadTempLocked() {
  static std::atomic<uint64_t> serial{0};
  const size_t slash = filePath_.find_last_of('/');
  const std::string folder =
      slash == std::string::npos ? std::string() : filePath_.substr(0, slash + 1);
  for (int tries = 0; tries < 100; ++tries) {
    char name[64];
    std::snprintf(name, sizeof name, "%.*s%llx-%llx", static_cast<int>(kUploadTempPrefix.size()),
                  kUploadTempPrefix.data(),
                  static_cast<unsigned long long>(MonotonicMilliseconds()),
                  static_cast<unsigned long long>(serial.fetch_add(1)));
    std::string path = folder + name;
    if (file_.Open(path, CFile::Mode::kWriteNew)) {
      tempPath_ = std::move(path);
      return true;
    }
    if (LastSystemError() != EEXIST) return false;  // only a name taken is tried again
  }
  return false;
}

void CFtpDataSocket::DropTempLocked() {
  if (tempPath_.empty()) return;
  CloseFileLocked();
  if (RemoveFile(tempPath_)) RecordFileSizeLocked(0);
  tempPath_.clear();
  // SECURITY: the target is the old file, never this upload's to remove or cut.
  filePath_.clear();
}

int CFtpDataSocket::ReplaceTargetLocked() {
  // The old file's space goes with it; the temporary's was charged write by write.
  file_.Close();
  const uint64_t oldSize = GetFileSizeByName(filePath_);
  if (!ReplaceFile(tempPath_, filePath_)) {
    const int error = LastSystemError();
    DropTempLocked();
    return error != 0 ? error : kWsaEnobufs;
  }
  if (quota_.ledger && oldSize != 0) quota_.ledger->Add(-static_cast<int64_t>(oldSize));
  tempPath_.clear();
  replacing_ = false;
  return 0;
}

int CFtpDataSocket::SendFileChunk(uint8_t* buffer, size_t size, uint32_t waitMs, size_t& sent,
                                  int& failure) {
  sent = 0;
  failure = 0;
  int64_t n = 0;
  {
    CMutexLock lock(transferMutex_);
    if (direction_.load() != kDirectionSend || !file_.IsOpen()) {
      // A data connection that broke meanwhile has already let go of the file: that is the
      // client's connection failing (426), not the disk (451).
      lock.Unlock();
      failure = IsValid() ? kReadFailed : kSendFailed;
      return -1;
    }
    n = file_.Read(buffer, size);
  }
  if (n < 0) {
    transferError_ = LastSystemError();
    failure = kReadFailed;
    return -1;
  }
  if (n == 0) return 0;
  const int written = WriteSocketSome(buffer, static_cast<size_t>(n), waitMs);
  if (written < 0) {
    transferError_ = GetLastError() != 0 ? GetLastError() : kWsaEconnreset;
    failure = kSendFailed;
    return -1;
  }
  if (written < n) {
    // What the client did not take is read again by the next chunk.
    CMutexLock lock(transferMutex_);
    if (file_.IsOpen()) SeekFile(file_, -(n - written), 1);
  }
  sent = static_cast<size_t>(written);
  return 1;
}

int CFtpDataSocket::SendFileDirect(size_t size, uint32_t stretchMs, size_t& sent, int& failure) {
  sent = 0;
  failure = 0;
  CFile& file = DownloadFile();
  if (direction_.load() != kDirectionSend || !file.IsOpen()) {
    // A data connection that broke meanwhile has already let go of the file: that is the
    // client's connection failing (426), not the disk (451).
    failure = IsValid() ? kReadFailed : kSendFailed;
    return -1;
  }
  const int64_t n = WriteFile(file, size, stretchMs, true);
  if (n == kFileSendFallback) return 2;
  if (n == kFileSendIdle) return 1;  // nothing went in this wait: `sent` stays 0
  if (n < 0) {
    transferError_ = GetLastError() != 0 ? GetLastError() : kWsaEconnreset;
    failure = kSendFailed;
    return -1;
  }
  if (n == 0) return 0;
  sent = static_cast<size_t>(n);
  return 1;
}

// ---- Clean-up ----

void CFtpDataSocket::CloseTransfer() {
  CMutexLock lock(transferMutex_);
  CloseTransferLocked();
}

void CFtpDataSocket::CloseTransferLocked() {
  if (abortRequested_) DiscardPartialFileLocked();
  // An overwrite that did not complete leaves the old file as it was.
  DropTempLocked();
  replacing_ = false;
  CloseFileLocked();
  quota_ = {};
  append_ = false;
  direction_ = kDirectionNone;
  abortRequested_ = false;
}

void CFtpDataSocket::CloseFileLocked() {
  file_.Close();
  hold_.Release();
}

void CFtpDataSocket::RecordFileSizeLocked(uint64_t size) {
  if (quota_.ledger && size != chargedSize_) {
    quota_.ledger->Add(static_cast<int64_t>(size) - static_cast<int64_t>(chargedSize_));
  }
  chargedSize_ = size;
}

void CFtpDataSocket::BeginDrain() {
  CMutexLock lock(transferMutex_);
  if (direction_.load() == kDirectionReceive) draining_ = true;
}

uint64_t CFtpDataSocket::GetBytesWritten() const {
  CMutexLock lock(transferMutex_);
  return position_;
}

void CFtpDataSocket::DiscardPartialFile() {
  CMutexLock lock(transferMutex_);
  DiscardPartialFileLocked();
}

void CFtpDataSocket::DiscardPartialFileLocked() {
  if (replacing_) {
    DropTempLocked();  // the old file stays as it was
    return;
  }
  // An existing file that nothing was written into yet keeps its contents, whatever the
  // restart offset: an upload that never started must not cost the customer the old file.
  if (fileExisted_) {
    CloseFileLocked();
    return;
  }
  if (restartOffset_ != 0) {
    // A resumed (or appended) upload keeps what was there before it: the first bytes up to
    // its restart offset.
    if (file_.IsOpen() && TruncateFile(file_, restartOffset_)) RecordFileSizeLocked(restartOffset_);
    return;
  }
  CloseFileLocked();
  if (!filePath_.empty() && RemoveFile(filePath_)) RecordFileSizeLocked(0);
  filePath_.clear();
}

void CFtpDataSocket::AbortTransfer() {
  {
    // Under the lock: an upload whose connection has just ended on the upload worker (its
    // outcome taken, its file complete) is no longer receiving, and is left as it is.
    CMutexLock lock(transferMutex_);
    if (direction_.load() == kDirectionReceive) {
      abortRequested_ = true;
      DiscardPartialFileLocked();
    }
  }
  Close(false);
}

// ---- Listings ----

int64_t CFtpDataSocket::Send(const char* data, size_t length) {
  if (!IsConnected()) return -1;
  const int sent = WriteSocket(reinterpret_cast<const uint8_t*>(data), length);
  return sent == static_cast<int>(length) ? sent : -1;
}

// ---- Events ----

bool CFtpDataSocket::OnNetworkEvents(CEventObject* event, bool poll) {
  if (IsInCompletionMode()) return false;
  return CZmSocket::OnNetworkEvents(event, poll);
}

void CFtpDataSocket::OnIoReceived(uint8_t* data, size_t count, size_t capacity, bool more) {
  (void)capacity;
  if (count > 0) {
    size_t consumed = 0;
    OnReceiveData(data, count, consumed);
  }
  if (more && IsValid()) Receive(nullptr, 0, true);
}

bool CFtpDataSocket::OnReceive(int code) {
  if (protection_ && !IsTlsActive() && !IsInCompletionMode() && IsConnected()) {
    uint8_t first = 0;
    int error = 0;
    // Only bytes that are there: a handshake begun on a mere connect would wait for a client
    // that waits for the preliminary reply.
    if (ReceiveSocket(GetHandle(), &first, 1, true, error) <= 0) return CZmSocket::OnReceive(code);
    if (!SecureConnection()) {
      if (direction_.load() == kDirectionReceive) {
        HandOverToWorker();  // ends the upload as refused (522)
      } else {
        Close(false);
      }
      return false;
    }
    if (direction_.load() == kDirectionReceive && announced_) HandOverToWorker();
    return false;
  }
  return CZmSocket::OnReceive(code);
}

int CFtpDataSocket::OnReceiveData(uint8_t* data, size_t length, size_t& consumed) {
  consumed = length;
  CMutexLock lock(transferMutex_);
  if (direction_.load() != kDirectionReceive) {
    // A client may not send on a download connection.
    lock.Unlock();
    Close(false);
    return 0;
  }
  if (abortRequested_ || transferError_.load() != 0) return 0;
  if (!file_.IsOpen()) {
    lock.Unlock();
    Close(false);
    return 0;
  }
  // SECURITY: every write is charged against the home's ledger, before it is made and under
  // the ledger's lock, by what it grows the file by (rewriting bytes in place costs nothing),
  // so that neither a resumed upload, an overwrite nor two sessions of one home at once carry
  // the home past its quota. The first write into an existing file cuts it at the restart
  // offset first; a write that does not fit is refused before that, so a refused upload
  // never cuts a file.
  const uint64_t end = restartOffset_ + position_ + length;
  const uint64_t sizeAfter = fileExisted_ ? end : std::max(end, chargedSize_);
  if (sizeAfter > chargedSize_) {
    if (quota_.ledger && !quota_.ledger->TryCharge(quota_.quota, sizeAfter - chargedSize_)) {
      transferError_ = kUploadLimitError;
      DiscardPartialFileLocked();
      lock.Unlock();
      Close(false);
      return 0;
    }
    chargedSize_ = sizeAfter;
  }
  if (fileExisted_) {
    // The first write into an existing file: cut it at the restart offset (0 for a plain
    // STOR, its size for APPE).
    SeekFile(file_, static_cast<int64_t>(restartOffset_), 0);
    TruncateFile(file_, restartOffset_);
    fileExisted_ = false;
  }
  if (owner_ != nullptr) owner_->OnUploadData(length);  // data arrived, whatever the disk says
  if (!file_.Write(data, length)) {
    // Stop at the first failed write: what was written stays (the client may resume), and
    // the ledger counts what the file holds.
    int error = LastSystemError();
    transferError_ = error != 0 ? error : kWsaEnobufs;
    RecordFileSizeLocked(GetFileSize64(file_));
    lock.Unlock();
    Close(false);
    return 0;
  }
  position_ += length;
  if (sizeAfter < chargedSize_) RecordFileSizeLocked(sizeAfter);  // a rewrite that shrank it
  lock.Unlock();
  // Charged outside the lock: the budget is the account's, shared with its other transfers.
  // An upload that drains after its client left is not slowed.
  if (owner_ != nullptr && !draining_.load()) {
    ThrottleUpload(owner_->ChargeBandwidth(length, MonotonicMilliseconds()));
  }
  return 0;
}

void CFtpDataSocket::ThrottleUpload(int64_t delayMs) {
  if (delayMs == 0) return;
  if (owner_ != nullptr) owner_->OnUploadPaused(delayMs);
  if (IsInCompletionMode()) {
    // The worker serves every upload: this one waits without holding up the others.
    DeferReceive(static_cast<uint32_t>(delayMs));
  } else {
    for (int64_t left = delayMs; left > 0 && !abortRequested_; left -= kThrottleSliceMs) {
      SleepMilliseconds(static_cast<uint32_t>(std::min(left, kThrottleSliceMs)));
    }
  }
}

bool CFtpDataSocket::OnAccept(SocketHandle socket, SocketAddress address) {
  // SECURITY: a data connection belongs to its control connection's client; another PC that
  // connects first gets nothing and gives nothing.
  if (expectedPeer_ != 0 && address.address != expectedPeer_) {
    if (owner_ != nullptr) owner_->OnForeignDataConnection(address.address);
    return false;
  }
  if (!Attach(socket, GetEvent())) return false;
  OnConnect(0);
  return true;
}

void CFtpDataSocket::OnConnect(int code) {
  if (code == 0) connectionMade_ = true;
  tlsRefused_ = false;  // a new connection
  CZmSocket::OnConnect(code);
  if (owner_ != nullptr) owner_->OnDataConnected(code == 0);
  // A protected upload waits for its preliminary reply before its handshake (AnnounceTransfer).
  if (code == 0 && direction_.load() == kDirectionReceive && (!protection_ || announced_)) {
    HandOverToWorker();
  }
}

void CFtpDataSocket::HandOverToWorker() {
  if (!IsValid()) return;
  if (!SecureConnection()) {
    // Nothing of this connection is written: a new file goes, an old one stays.
    {
      CMutexLock lock(transferMutex_);
      abortRequested_ = true;
      DiscardPartialFileLocked();
    }
    Close(false);
    return;
  }
  if (UseCompletionPort()) Receive(nullptr, 0, true);
}

// ---- TLS ----

void CFtpDataSocket::SetProtection(std::shared_ptr<CTlsServer> context,
                                   std::string sessionContext) {
  protection_ = std::move(context);
  sessionContext_ = std::move(sessionContext);
}

void CFtpDataSocket::AnnounceTransfer() {
  announced_ = true;
  if (direction_.load() == kDirectionReceive && IsConnected() && !IsInCompletionMode()) {
    HandOverToWorker();
  }
}

bool CFtpDataSocket::SecureConnection() {
  if (tlsRefused_) return false;  // this connection failed already: it stays refused
  if (!protection_ || IsTlsActive()) return true;
  std::string error;
  if (!StartTls(protection_, sessionContext_, kDataTlsHandshakeMs, error, false)) {
    tlsFailure_ = "TLS handshake failed: " + error;
  } else if (!Tls()->IsResumed()) {
    tlsFailure_ = "TLS session not resumed from the control connection";
  } else {
    return true;
  }
  transferError_ = kDataTlsError;
  tlsRefused_ = true;
  return false;
}

void CFtpDataSocket::OnClosing(bool byPeer) {
  if (byPeer && transferError_.load() == 0) peerEnded_ = true;  // the event thread saw the end
  CZmSocket::OnClosing(byPeer);
}

void CFtpDataSocket::OnIoClosed(int error) {
  // A client that resets the connection broke the upload off: what arrived stays, but the
  // transfer did not complete.
  if (error != 0 && transferError_.load() == 0) transferError_ = error;
  if (error == 0 && transferError_.load() == 0) peerEnded_ = true;  // the end of the stream
  CZmSocket::OnIoClosed(error);
}

bool CFtpDataSocket::OnError(int eventBit, int code) {
  if (eventBit == kEventBitReceive && (code == kWsaEconnreset || code == kWsaEtimedout) &&
      direction_.load() == kDirectionReceive && transferError_.load() == 0) {
    transferError_ = code;  // as in OnIoClosed, for an upload served by the event thread
  }
  return CZmSocket::OnError(eventBit, code);
}

void CFtpDataSocket::OnClosed(bool wasConnected, bool wasListening) {
  if (wasListening && countedListening_.exchange(false)) ServiceMetrics().PassivePortClosed();
  if (wasListening || !(wasConnected || connectionMade_.exchange(false))) return;
  UploadOutcome outcome;
  bool upload = false;
  {
    CMutexLock lock(transferMutex_);
    upload = direction_.load() == kDirectionReceive;
    outcome.error = transferError_.load();
    // With the control connection gone, an upload that did not end cleanly is aborted.
    if (upload && draining_.load() && outcome.error != 0) abortRequested_ = true;
    // An overwrite replaces the old file once its connection ended cleanly with every byte
    // written; any other end removes the temporary (in CloseTransferLocked).
    if (upload && replacing_ && outcome.error == 0 && peerEnded_.load() && !abortRequested_) {
      outcome.error = ReplaceTargetLocked();
    } else if (upload && replacing_ && outcome.error == 0) {
      outcome.error = kWsaEconnaborted;  // ended by this side: not complete
    }
    outcome.bytesWritten = position_;
    outcome.aborted = upload && abortRequested_.load();
    // A transfer that did not complete and was not aborted keeps what it wrote (the client may
    // resume); the ledger has counted it write by write.
    outcome.growth = static_cast<int64_t>(chargedSize_) - static_cast<int64_t>(sizeBefore_);
    CloseTransferLocked();
  }
  if (upload && owner_ != nullptr) owner_->OnUploadEnded(outcome);
}

}  // namespace zelm
