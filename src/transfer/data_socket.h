// CFtpDataSocket: the data connection of one control session, and the transfer it carries.
//
// Each control session owns exactly one, closed after every transfer and opened again for the
// next: active mode connects out to the client (PORT), passive mode listens on a port chosen
// by `ListenPassive` and takes the first connection that arrives (PASV). The socket shares
// its session's event object and thread; while it receives an upload it leaves the event
// thread for the process-wide upload worker. It tells its owner when the connection is up and
// when an upload has ended.
//
// The transfer: the file is opened for the direction with the restart and append rules;
// downloads are sent by the session's download loop with `SendFileChunk`; uploads are written
// by `OnReceiveData` as data arrives, within the account's growth limit (quota); both are
// slowed to the account's bandwidth limit. A refused or aborted upload is cleaned up: a fresh
// file is deleted, a resumed one cut back to its restart offset.
//
// Threads: everything runs on the owner's thread except the upload writer, which runs on the
// upload worker in completion mode. The writer never sends replies or touches the session: it
// reports to the owner, which carries the report over to its own thread. `transferMutex_`
// serialises the writer with the clean-up operations that the owner's thread may start.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "net/zm_socket.h"
#include "platform/files.h"
#include "vfs/listing.h"

namespace zelm {

class CFtpDataSocket;

// The outcome of an upload, taken when its connection closed.
struct UploadOutcome {
  int64_t growth = 0;  // bytes the file grew by (negative when it shrank)
  int error = 0;       // 0, kUploadLimitError, or the system error of a failed write
  uint64_t bytesWritten = 0;
};

// Marks an upload stopped by the growth limit.
inline constexpr int kUploadLimitError = 8227;
// No growth limit.
inline constexpr int64_t kNoGrowthLimit = INT64_MAX;

// What the data connection tells its control session.
class CDataSocketOwner {
 public:
  virtual ~CDataSocketOwner() = default;
  // An awaited connection was made (or failed). The owner's thread.
  virtual void OnDataConnected(bool ok) = 0;
  // An upload's connection has closed. Any thread; the owner moves it to its own.
  virtual void OnUploadEnded(const UploadOutcome& outcome) = 0;
  // The upload went over its limit and is being stopped (reply 450). Any thread.
  virtual void OnUploadRefused() = 0;
  // `bytes` of upload data arrived (they are written next). Any thread.
  virtual void OnUploadData(size_t bytes) = 0;
  // The account's bandwidth limit in KiB per second, 0 = none. Any thread.
  virtual uint32_t GetBandwidthLimit() const = 0;
};

// Transfer directions.
enum TransferDirection : uint32_t { kDirectionNone = 0, kDirectionSend = 1, kDirectionReceive = 2 };

// Milliseconds still to wait so that `bytes` sent in `elapsedMs` keep to `limitKib` KiB per
// second; 0 when no limit or no wait is due.
int64_t ThrottleDelay(uint32_t limitKib, uint64_t bytes, int64_t elapsedMs);

// Keeps one transfer to a bandwidth limit. The window runs from the transfer's start, so a
// pause that overslept (a busy machine) is made good by the next ones; a transfer that fell
// more than kMaxCatchUpMs behind (a slow client) starts a new window instead of bursting.
class CBandwidthWindow final {
 public:
  static constexpr int64_t kThresholdMs = 15;  // shorter pauses are not taken yet
  static constexpr int64_t kMaxCatchUpMs = 1000;

  // Counts `bytes` just moved at `nowMs`; returns the pause due before the next bytes
  // (0 below the threshold or without a limit).
  int64_t Account(uint32_t limitKib, uint64_t bytes, int64_t nowMs);
  void Reset() {
    startMs_ = -1;
    bytes_ = 0;
  }

 private:
  int64_t startMs_ = -1;
  uint64_t bytes_ = 0;
};

class CFtpDataSocket : public CZmSocket, public CListingSink {
 public:
  explicit CFtpDataSocket(CDataSocketOwner* owner);
  ~CFtpDataSocket() override;

  // A free TCP port at `address` (host order) for a passive listener, from 1500 upward and
  // rising from call to call (process-wide); 0 when none is free.
  static uint32_t ChoosePassivePort(uint32_t address);
  // Listens on the next port of that same sequence that is free at `address` (host order):
  // the port, or 0 when none could be had. Costs one socket when the first port tried is free
  // (ChoosePassivePort's probe and the listener would be two).
  uint32_t ListenPassive(uint32_t address);
  // PORT's argument "h1,h2,h3,h4,p1,p2": the address in network order and the port, which
  // must be 1024 or above.
  static bool ParsePortArgument(std::string_view text, uint32_t& address, uint32_t& port);

  // Active mode: connects to the configured address and port.
  bool ConnectActive();
  void SetActiveTarget(uint32_t hostAddress, uint32_t port) {
    activeAddress_ = hostAddress;
    activePort_ = port;
  }
  uint32_t GetActivePort() const { return activePort_; }
  void SetActivePort(uint32_t port) { activePort_ = port; }

  // ---- Transfer set-up (the owner's thread) ----
  void SetTransfer(std::string path, uint32_t direction, bool append, uint64_t restartOffset);
  // Opens the file for the direction and positions it. False with `GetLastError` set.
  bool OpenTransferFile();
  // Uploads: the file may grow by at most `limit` bytes (kNoGrowthLimit: no limit).
  void SetGrowthLimit(int64_t limit) { growthLimit_ = limit; }
  const std::string& GetFilePath() const { return filePath_; }
  uint32_t GetDirection() const { return direction_.load(); }
  uint64_t GetRestartOffset() const { return restartOffset_; }
  // Direction send: the file's size.
  uint64_t GetFileSize() const { return position_; }
  int GetTransferError() const { return transferError_.load(); }

  // Reads up to `size` bytes of the file and sends them: 1 with `sent` set, 0 at the end of
  // the file, -1 when reading (kReadFailed) or sending (kSendFailed) failed.
  enum ChunkFailure { kReadFailed = 1, kSendFailed = 2 };
  int SendFileChunk(uint8_t* buffer, size_t size, size_t& sent, int& failure);
  // As SendFileChunk, without copying the bytes through the process, and returning early
  // (with fewer bytes) once `stretchMs` have passed: 1 with `sent` set, 0 at the end of the
  // file, -1 when sending failed (kSendFailed), and 2 when the file must be read and sent
  // with SendFileChunk instead (nothing was sent; the failure, if it was one, shows there).
  int SendFileDirect(size_t size, uint32_t stretchMs, size_t& sent, int& failure);
  // Selects only connect and close events (while a file is being sent).
  bool SelectConnectClose() { return SelectEvents(kMaskConnectClose); }

  // Ends the transfer state (discarding a partial upload when aborted) and closes the file.
  void CloseTransfer();
  // Removes what an unfinished upload wrote.
  void DiscardPartialFile();
  void CloseTransferFile();
  // Aborts whatever runs and closes the data connection.
  void AbortTransfer();

  // ---- CListingSink ----
  int64_t Send(const char* data, size_t length) override;

  // ---- CZmSocket ----
  bool OnNetworkEvents(CEventObject* event, bool poll) override;
  void OnIoReceived(uint8_t* data, size_t count, size_t capacity, bool more) override;
  void OnIoClosed(int error) override;
  bool OnError(int eventBit, int code) override;
  int OnReceiveData(uint8_t* data, size_t length, size_t& consumed) override;
  bool OnAccept(SocketHandle socket, SocketAddress address) override;
  void OnConnect(int code) override;
  void OnClosed(bool wasConnected, bool wasListening) override;

 private:
  void DiscardPartialFileLocked();
  void CloseTransferLocked();
  // Keeps an upload within the bandwidth limit: defers the next read of the upload worker,
  // or (in event mode) sleeps the pause.
  void ThrottleUpload(size_t length);

  CDataSocketOwner* const owner_;
  uint32_t activePort_ = 0;
  uint32_t activeAddress_ = 0;

  std::recursive_mutex transferMutex_;  // guards the transfer fields below and file_
  std::string filePath_;
  CFile file_;
  std::atomic<uint32_t> direction_{kDirectionNone};
  uint64_t position_ = 0;  // send: the file's size; receive: bytes written
  uint64_t restartOffset_ = 0;
  uint64_t sizeBefore_ = 0;  // the upload target's size before the transfer
  int64_t growthLimit_ = kNoGrowthLimit;
  bool append_ = false;
  bool fileExisted_ = false;
  std::atomic<bool> abortRequested_{false};
  std::atomic<int> transferError_{0};
  // The data connection was made: its end is the transfer's end even when the connection
  // broke so hard (a reset) that the socket no longer counts as connected.
  std::atomic<bool> connectionMade_{false};
  CBandwidthWindow window_;
};

}  // namespace zelm
