// CFtpDataSocket: the data connection of one control session, and the file state of the
// transfer it carries.
//
// Each control session owns exactly one, through its CTransferEngine (transfer_engine.h), closed
// after every transfer and opened again for the next: active mode connects out to the client
// (PORT), passive mode listens on a port of the passive sequence (`ListenPassive`) and takes the
// first connection that arrives (PASV). The socket shares its session's event object and thread;
// while it receives an upload it leaves the event thread for the process-wide upload worker. It
// tells its owner when the connection is up and when an upload has ended. Which events the socket
// selects is the transfer engine's business alone.
//
// The transfer: the file is opened for the direction with the restart and append rules, and
// held in the process's table of open files (transfer/open_file_table.h: one writer, any
// readers) until it is closed; downloads are sent by the engine's download loop with
// `SendFileDirect` and `SendFileChunk`; uploads are written by `OnReceiveData` as data arrives,
// every write charged against the home's quota ledger (vfs/quota_ledger.h) by the bytes it grows
// the file by, and slowed to the account's bandwidth limit. An upload is complete when its
// connection ended cleanly and every byte was written. A plain STOR over an existing file
// writes a temporary file beside it (kUploadTempPrefix) that replaces the old file only then;
// any other end removes the temporary and leaves the old file as it was. An upload stopped by
// the quota or aborted (its client gone) is cleaned up: a fresh file is deleted, a resumed one
// that was written to cut back to its restart offset, an existing file nothing was written
// into is left as it was; the ledger is credited with what went. One whose write failed or
// whose connection was reset while the client stays keeps what it wrote, for resuming.
//
// Threads: everything runs on the owner's thread except the upload writer (`OnReceiveData`,
// `OnIoReceived`, `OnIoClosed`, `OnClosed`), which runs on the upload worker in completion
// mode. The writer never sends replies or touches the session: it reports to the owner, which
// carries the report over to its own thread. `transferMutex_`, a plain mutex, guards the file
// and the transfer fields; it is never held across a send (a failed send may close the
// connection, and `OnClosed` takes it) nor while the owner is asked for its bandwidth limit
// (which takes the session's lock); `OnUploadData`, which only counts, is called under it.
// The direction, the error, the abort request and the drain flag are atomics.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "net/zm_socket.h"
#include "platform/files.h"
#include "platform/thread_annotations.h"
#include "transfer/open_file_table.h"
#include "vfs/listing.h"
#include "vfs/quota_ledger.h"

namespace zelm {

class CFtpDataSocket;

// The outcome of an upload, taken when its connection closed.
struct UploadOutcome {
  int64_t growth = 0;  // bytes the file grew by (negative when it shrank), after any clean-up
  int error = 0;       // 0, kUploadLimitError, or the system error of a failed write or read
  uint64_t bytesWritten = 0;
  bool aborted = false;  // AbortTransfer stopped it: the partial-file rules have run
};

// The quota an upload is charged against: the home's ledger (none: nothing is counted) and the
// account's quota in bytes (0: no quota).
struct UploadQuota {
  std::shared_ptr<CQuotaLedger> ledger;
  uint64_t quota = 0;
};

// Marks an upload stopped by the quota.
inline constexpr int kUploadLimitError = 8227;
// Marks a file another transfer is writing (an upload's open refused).
inline constexpr int kFileInUseError = 8228;
// Marks a data connection whose TLS failed or did not resume its control connection's session.
inline constexpr int kDataTlsError = 8229;
// How long a data connection's TLS handshake may take (real time).
inline constexpr int kDataTlsHandshakeMs = 30000;

// What the data connection and the transfer engine tell and ask their control session.
class CDataSocketOwner {
 public:
  virtual ~CDataSocketOwner() = default;
  // An awaited connection was made (or failed). The owner's thread.
  virtual void OnDataConnected(bool ok) = 0;
  // A connection from another address than the client's reached the passive port and was
  // closed (`address` in network order).
  virtual void OnForeignDataConnection(uint32_t address) { (void)address; }
  // An upload's connection has closed. Any thread; the owner moves it to its own.
  virtual void OnUploadEnded(const UploadOutcome& outcome) = 0;
  // `bytes` of upload data arrived (they are written next). Any thread.
  virtual void OnUploadData(size_t bytes) = 0;
  // The account's bandwidth limit in KiB per second, 0 = none. Any thread.
  virtual uint32_t GetBandwidthLimit() const = 0;
  // Counts `bytes` this transfer just moved at `nowMs` against the account's bandwidth
  // budget, which every transfer of the account shares; the pause due before its next bytes.
  // Any thread.
  virtual int64_t ChargeBandwidth(uint64_t bytes, int64_t nowMs) = 0;
  // The upload worker will not read the upload for `milliseconds` (the bandwidth limit): that
  // time is the server's, not a client that stopped sending. Any thread.
  virtual void OnUploadPaused(int64_t milliseconds) = 0;

  // ---- During a download (the owner's thread, called by CTransferEngine::RunDownload) ----
  // `bytes` of the file went to the client.
  virtual void OnDownloadData(size_t bytes) = 0;
  // One pass over the control connection between two chunks (a command such as ABOR, a
  // close), without waiting.
  virtual void PollControlConnection() = 0;
  // The client sent ABOR during the download: it ends like a broken one (426). The owner's
  // thread.
  virtual bool IsTransferAborted() { return false; }
  // The control connection is closing: the download stops.
  virtual bool IsControlClosing() const = 0;
};

// Transfer directions.
enum TransferDirection : uint32_t { kDirectionNone = 0, kDirectionSend = 1, kDirectionReceive = 2 };

// The range passive ports are drawn from (both ends included).
inline constexpr uint32_t kFirstPassivePort = 1500;
struct PassivePortRange {
  uint32_t first = kFirstPassivePort;
  uint32_t last = 65535;
};

// Where `ListenPassive` takes the ports it tries; tests supply their own.
using PassivePortSource = std::function<uint32_t()>;

// SECURITY: ports drawn at random from `range` (a bad range reads as the default), so that no
// PC on the LAN can tell which port a customer's next PASV opens. Any thread.
PassivePortSource RandomPassivePorts(PassivePortRange range);

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

  // A port of `ports` that is free at `address` (host order), found by binding a probe to
  // each in turn; 0 when none of 65535 tries is free.
  static uint32_t ChoosePassivePort(uint32_t address, const PassivePortSource& ports);
  // Listens at `address` (host order) on the next port of `ports` that is free: the port, or
  // 0 when none could be had. The next port is nearly always free, so it listens on a few in
  // turn directly (one socket each) before ChoosePassivePort searches with a probe.
  uint32_t ListenPassive(uint32_t address, const PassivePortSource& ports);
  // Listens for the client at `port` of `address` (host order), kept when it listens there
  // already; while it listens it counts in the service's passive ports in use
  // (net/service_metrics.h). The owner's thread.
  bool ListenForClient(uint32_t port, uint32_t address);
  // SECURITY: the only address (network order) a passive connection is taken from: the
  // control connection's client. Others are closed at once and reported to the owner
  // (`OnForeignDataConnection`); the listener goes on waiting. 0: any address.
  void SetExpectedPeer(uint32_t networkAddress) { expectedPeer_ = networkAddress; }
  // PORT's argument "h1,h2,h3,h4,p1,p2": the address in network order and the port, which
  // must be 1024 or above.
  static bool ParsePortArgument(std::string_view text, uint32_t& address, uint32_t& port);

  // ---- TLS (the owner's thread) ----

  // PROT P: the data connections from now on speak TLS with `context` and must resume a
  // session of `sessionContext` (the control connection's); null: in clear (PROT C).
  void SetProtection(std::shared_ptr<CTlsServer> context, std::string sessionContext);
  bool IsProtected() const { return protection_ != nullptr; }
  // The transfer's preliminary reply (150, 125) has gone: the client starts its side of the
  // data connection's TLS only then, so the handshake may run from now on. An upload is
  // handed to the upload worker here when its connection is there already.
  void AnnounceTransfer();
  // Protected: runs the handshake on the open connection unless done. False (the reason in
  // `GetTlsFailure`, kDataTlsError set) when it fails or does not resume the control
  // connection's session: SECURITY: a connection from anywhere else cannot take the transfer.
  bool SecureConnection();
  const std::string& GetTlsFailure() const { return tlsFailure_; }

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
  // Opens the file for the direction, positions it and takes its hold in the open-file table.
  // False with `GetTransferError` set (kFileInUseError: an upload's file has another writer).
  bool OpenTransferFile();
  // Uploads: every write is charged against `quota`.
  void SetQuota(UploadQuota quota);
  uint32_t GetDirection() const { return direction_.load(); }
  uint64_t GetRestartOffset() const;
  // Direction send: the file's size.
  uint64_t GetFileSize() const;
  int GetTransferError() const { return transferError_.load(); }

  // Reads up to `size` bytes of the file and sends what the client takes of them, waiting at
  // most `waitMs` (real time) for room while nothing has gone: 1 with `sent` set (0 when the
  // client took nothing in that time; the file's position stays after the bytes sent), 0 at
  // the end of the file, -1 when reading (kReadFailed) or sending (kSendFailed) failed.
  enum ChunkFailure { kReadFailed = 1, kSendFailed = 2 };
  int SendFileChunk(uint8_t* buffer, size_t size, uint32_t waitMs, size_t& sent, int& failure);
  // As SendFileChunk, without copying the bytes through the process, and returning early
  // (with fewer bytes) once `stretchMs` have passed or a wait of `stretchMs` found no room:
  // 1 with `sent` set (0 when the client took nothing in that wait), 0 at the end of the
  // file, -1 when sending failed (kSendFailed), and 2 when the file must be read and sent
  // with SendFileChunk instead (nothing was sent; the failure, if it was one, shows there).
  int SendFileDirect(size_t size, uint32_t stretchMs, size_t& sent, int& failure);

  // Ends the transfer state (discarding a partial upload when aborted) and closes the file.
  void CloseTransfer();
  // The client has closed the control connection while this upload runs: the rest is read
  // without the bandwidth limit, and an upload whose connection then ends with an error (a
  // reset) is aborted rather than kept for resuming.
  void BeginDrain();
  // Upload: bytes written so far.
  uint64_t GetBytesWritten() const;
  // Removes what an unfinished upload wrote.
  void DiscardPartialFile();
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
  // Protected and not secured yet: bytes waiting are the client's first TLS message (curl
  // starts its handshake at once, before its command), so the handshake runs now instead of
  // the bytes being read as data.
  bool OnReceive(int code) override;
  bool OnAccept(SocketHandle socket, SocketAddress address) override;
  void OnConnect(int code) override;
  void OnClosing(bool byPeer) override;
  void OnClosed(bool wasConnected, bool wasListening) override;

 private:
  void DiscardPartialFileLocked() ZELM_REQUIRES(transferMutex_);
  void CloseTransferLocked() ZELM_REQUIRES(transferMutex_);
  // Closes the file and gives its hold back.
  void CloseFileLocked() ZELM_REQUIRES(transferMutex_);
  // The file's size is now `size`: the ledger is told the difference.
  void RecordFileSizeLocked(uint64_t size) ZELM_REQUIRES(transferMutex_);
  // Opens an upload's file: the temporary of an overwrite, the file itself when resumed,
  // appended or new; takes the writer hold. False with `transferError_` set.
  bool OpenUploadTargetLocked() ZELM_REQUIRES(transferMutex_);
  // Another transfer writes the upload's file: closes it, sets kFileInUseError; false.
  bool RefuseInUseLocked() ZELM_REQUIRES(transferMutex_);
  // Creates the temporary file of an overwrite beside the target.
  bool OpenUploadTempLocked() ZELM_REQUIRES(transferMutex_);
  // Removes the temporary file of an overwrite that did not complete (none: nothing).
  void DropTempLocked() ZELM_REQUIRES(transferMutex_);
  // Renames the completed temporary over the target: 0, or the system error (the temporary
  // is removed then and the old file stays).
  int ReplaceTargetLocked() ZELM_REQUIRES(transferMutex_);
  // The file of a download, for `SendFileDirect`. The lock cannot be held there: a send that
  // fails may close the connection, and `OnClosed` takes the lock. A download has no second
  // user of the file: the upload worker serves receiving sockets only, and the owner's thread
  // is the one sending.
  CFile& DownloadFile() ZELM_NO_THREAD_SAFETY_ANALYSIS { return file_; }
  // Keeps an upload within the bandwidth limit: defers the next read of the upload worker by
  // `delayMs`, or (in event mode) sleeps the pause.
  void ThrottleUpload(int64_t delayMs);

  // Secures an upload's connection and gives it to the upload worker (a failure aborts it).
  void HandOverToWorker();

  CDataSocketOwner* const owner_;
  std::shared_ptr<CTlsServer> protection_;  // the owner's thread
  std::string sessionContext_;
  bool announced_ = false;  // the preliminary reply has gone
  std::string tlsFailure_;
  bool tlsRefused_ = false;  // the connection's TLS failed or resumed no session of ours
  uint32_t activePort_ = 0;
  uint32_t activeAddress_ = 0;
  uint32_t expectedPeer_ = 0;  // network order; the owning thread
  // The listening socket counts in ServiceMetrics' passive ports (set by ListenForClient,
  // cleared when the listener closes, whichever thread closes it).
  std::atomic<bool> countedListening_{false};

  mutable CMutex transferMutex_;
  std::string filePath_ ZELM_GUARDED_BY(transferMutex_);
  CFile file_ ZELM_GUARDED_BY(transferMutex_);
  std::atomic<uint32_t> direction_{kDirectionNone};
  // send: the file's size; receive: bytes written
  uint64_t position_ ZELM_GUARDED_BY(transferMutex_) = 0;
  uint64_t restartOffset_ ZELM_GUARDED_BY(transferMutex_) = 0;
  // the upload target's size before the transfer
  uint64_t sizeBefore_ ZELM_GUARDED_BY(transferMutex_) = 0;
  // the upload target's size as the quota ledger counts it now
  uint64_t chargedSize_ ZELM_GUARDED_BY(transferMutex_) = 0;
  UploadQuota quota_ ZELM_GUARDED_BY(transferMutex_);
  COpenFileTable::CHold hold_ ZELM_GUARDED_BY(transferMutex_);
  bool append_ ZELM_GUARDED_BY(transferMutex_) = false;
  // an existing upload target nothing was written into yet
  bool fileExisted_ ZELM_GUARDED_BY(transferMutex_) = false;
  // an overwrite: `file_` is the temporary `tempPath_`, renamed over `filePath_` at the end
  bool replacing_ ZELM_GUARDED_BY(transferMutex_) = false;
  std::string tempPath_ ZELM_GUARDED_BY(transferMutex_);
  // the client ended the data connection cleanly (end of stream, no reset)
  std::atomic<bool> peerEnded_{false};
  std::atomic<bool> abortRequested_{false};
  // the control connection has closed: the rest of the upload is read without throttling
  std::atomic<bool> draining_{false};
  std::atomic<int> transferError_{0};
  // The data connection was made: its end is the transfer's end even when the connection
  // broke so hard (a reset) that the socket no longer counts as connected.
  std::atomic<bool> connectionMade_{false};
};

}  // namespace zelm
