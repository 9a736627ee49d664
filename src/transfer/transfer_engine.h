// CTransferEngine: the data side of one control session: the data connection's mode and
// set-up, the download loop, listings and the hand-over of uploads to the upload worker.
//
// The control session owns one and drives it from its command handlers, step by step: PORT
// and PASV choose the mode (`SetActivePort`, `OpenPassive`); a transfer command opens the file
// (`OpenFile`) and asks for the connection (`OpenDataConnection`); once the connection is up
// the session runs the download (`RunDownload`) or the listing (`SendListing`), or leaves an
// upload to the data socket (`AnnounceTransfer` after the preliminary reply). Replies
// are the session's: every operation returns what happened. What the download loop needs of
// the session (the look at the control connection between chunks, the bandwidth limit, the
// counters) it asks through CDataSocketOwner.
//
// Ownership: the engine owns the session's CFtpDataSocket and is the only code that selects
// its network events. The port of the last PORT or PASV is the data socket's.
//
// Threads: every operation runs on the session's thread. The data socket's upload writer runs
// on the upload worker and reports to the CDataSocketOwner directly.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/event_object.h"
#include "transfer/data_socket.h"
#include "vfs/listing.h"

namespace zelm {

class CCodePage;

// Downloads: bytes read and sent at a time, and how many chunks pass between two looks at the
// control connection.
inline constexpr size_t kDownloadChunk = 64 * 1024;
inline constexpr uint32_t kControlPollChunks = 4;
// Unthrottled downloads go from the page cache to the socket in stretches of at most this
// many bytes or this long a wait for the client, whichever ends first; the control connection
// is looked at after each. Long stretches keep the client's side of the connection full: on
// loopback a stretch of 256 KiB cost a sixth of the rate.
inline constexpr size_t kDirectStretch = 4 * 1024 * 1024;
inline constexpr uint32_t kDirectStretchMs = 50;
// When the client closes the control connection right after an upload's data connection
// (scripted clients do), the data may still be on its way, the data connection's end behind
// it: the session lets the upload end by itself while bytes keep arriving, and counts it as
// cut off (aborted) once none have arrived for this long. Real time, in polls of
// kUploadDrainPollMs: the injectable clock does not move while the session waits.
inline constexpr uint32_t kUploadDrainPollMs = 2;
inline constexpr uint32_t kUploadDrainIdleMs = 3000;
// A download waits for a client whose side is full in slices of at most this long (real
// time), and looks at the control connection and the posted tasks between them, so that ABOR,
// QUIT, NOOP, an end-session order and shutdown never wait for a client that reads nothing.
inline constexpr uint32_t kSendSliceMs = 50;
// Seconds within which a data connection must be made, and for which a download's client may
// take no data before the transfer fails (on the injectable clock).
inline constexpr int64_t kDataConnectionTimeout = 30;

class CTransferEngine final {
 public:
  // Where data connections are made: the control connection's event object (the data socket
  // shares it), the control connection's local address and the client's address, both in host
  // order.
  struct Endpoints {
    std::shared_ptr<CEventObject> event;
    uint32_t localAddress = 0;  // host order
    uint32_t peerAddress = 0;   // host order
    PassivePortRange passivePorts;
  };

  // What `OpenDataConnection` found or did.
  enum ConnectionState : int {
    kConnectionFailed = -1,
    kConnectionAwaited = 0,  // it comes later: CDataSocketOwner::OnDataConnected tells
    kConnectionMade = 1,     // an active connect completed at once
    kConnectionOpen = 2,     // it was there before the command (taken now, for passive mode)
  };

  // How a download ended.
  enum DownloadResult : int {
    kDownloadComplete = 0,
    kDownloadReadFailed = CFtpDataSocket::kReadFailed,  // the disk failed (451)
    kDownloadSendFailed = CFtpDataSocket::kSendFailed,  // the client's connection did (426)
    kDownloadTlsFailed = 3,  // the connection's TLS failed or resumed no session of ours (522)
  };

  // `owner` receives the data socket's reports and the download loop's questions;
  // `thread` is the socket whose event thread drives the data connection (the session).
  CTransferEngine(CDataSocketOwner* owner, CZmSocket* thread) : owner_(owner), data_(owner) {
    data_.SetDriver(thread);
  }
  // The owner calls `Abort` before it goes; what is left open the data socket closes.
  ~CTransferEngine() = default;
  CTransferEngine(const CTransferEngine&) = delete;
  CTransferEngine& operator=(const CTransferEngine&) = delete;

  // ---- Mode ----

  // PORT: the next active connection goes to this port of the client.
  void SetActivePort(uint32_t port) { data_.SetActivePort(port); }
  // PASV: closes the data connection and listens on the next passive port at
  // `at.localAddress`: the port, or 0 when none could be had. Until a transfer command waits
  // for it, an arriving connection does not wake the session: it is taken with the command or
  // in the session's next pass, whichever comes first (a client that connects and sends its
  // command at once costs one wake-up, not two).
  uint32_t OpenPassive(const Endpoints& at);
  // The port of the last PORT or PASV (for the 227 reply).
  uint32_t GetPort() const { return data_.GetActivePort(); }
  // A passive listener waits, with no connection taken yet.
  bool IsPassiveWaiting() const { return data_.IsListening() && !data_.IsConnected(); }

  // ---- Data connection ----

  // Makes the connection the transfer just opened (or a listing) needs, in the mode of the
  // last PORT or PASV (`passive`). Passive: an open connection, one waiting at the listener
  // (taken now, except for an upload, which the data socket's accept hands to the upload
  // worker), or one awaited from now on (listening again when the listener has gone). Active:
  // an open connection, or a connect to the client's port from the control connection's
  // address.
  ConnectionState OpenDataConnection(bool passive, const Endpoints& at);
  // Closes the data connection (an upload's connection ends its transfer: the data socket
  // reports the outcome).
  void CloseConnection() { data_.Close(false); }
  // Aborts whatever runs (a partial upload is cleaned up) and closes the connection: the
  // session goes.
  void Abort() { data_.AbortTransfer(); }
  // The client has closed the control connection (or sent QUIT). An upload is complete when
  // its data connection ends cleanly with every byte written: it is left to end by itself
  // while its bytes keep arriving (the data connection is driven here when the upload worker
  // does not have it yet); one that ends with a reset or goes quiet for kUploadDrainIdleMs
  // is aborted, with the partial-file rules. Then as `Abort`. Blocks the session's thread.
  void EndForClosedControl();
  // One pass over the data connection's events; false when it has none or is not open.
  bool OnNetworkEvents(CEventObject* event, bool poll);

  // ---- Transfers ----

  // Opens `path` for a transfer in `direction` with the restart and append rules; an upload's
  // writes are charged against `quota` (by default against nothing). False when the file
  // could not be opened or another transfer writes it: `GetFileError` says why, and the
  // transfer state is closed.
  bool OpenFile(std::string path, TransferDirection direction, bool append, uint64_t restartOffset,
                UploadQuota quota = {});
  // The system error of the failed open, or kFileInUseError.
  int GetFileError() const { return data_.GetTransferError(); }
  // The connection could not be had: closes the file, and removes it when the upload that
  // was to fill it created it.
  void AbandonFile();
  // The transfer's preliminary reply (150, 125) has gone. An upload whose connection is open
  // (made before its command, or by an active connect) is secured when protected and read by
  // the upload worker from now on; the data socket does this itself for a connection that
  // comes later.
  void AnnounceTransfer();
  // PROT P / PROT C for the data connections from now on (see CFtpDataSocket::SetProtection).
  void SetProtection(std::shared_ptr<CTlsServer> context, std::string sessionContext) {
    data_.SetProtection(std::move(context), std::move(sessionContext));
  }
  bool IsProtected() const { return data_.IsProtected(); }
  // Why the last protected data connection was refused (see CFtpDataSocket::SecureConnection).
  const std::string& GetTlsFailure() const { return data_.GetTlsFailure(); }
  // The last listing or download failed for the data connection's TLS.
  bool TlsFailed() const { return data_.GetTransferError() == kDataTlsError; }
  // Sends the opened file from its restart offset over the open connection, within the
  // owner's bandwidth limit, looking at the control connection between chunks and between the
  // slices of a wait for a client that takes nothing (kSendSliceMs); stops when the control
  // connection closes or the client took no data for kDataConnectionTimeout seconds
  // (kDownloadSendFailed). Blocks the session's thread for the download's length. The caller
  // closes the connection after it.
  DownloadResult RunDownload();
  // LIST (`namesOnly` false) or NLST of the real directory `pattern` over the open connection,
  // names converted by `names`. False when a send failed: the client got part of the listing
  // at most (426); an empty or unreadable directory is a complete (empty) listing.
  bool SendListing(const std::string& pattern, bool namesOnly, CCodePage* names,
                   ListingOptions options = {});

 private:
  ConnectionState TakeWaitingConnection(const Endpoints& at);
  ConnectionState OpenActive(const Endpoints& at);

  CDataSocketOwner* const owner_;
  CFtpDataSocket data_;
  // `OpenFile`: the path and whether it existed before, for `AbandonFile`.
  std::string filePath_;
  bool removeOnAbandon_ = false;
};

}  // namespace zelm
