// Owns the transfer commands (PORT, PASV, TYPE, STRU, MODE, REST, ABOR, RETR, STOR, APPE,
// STOU, LIST, NLST) and the control session's side of data transfers.
#include <algorithm>
#include <cerrno>
#include <vector>

#include "ftp/command_handlers.h"
#include "ftp/ftp_session.h"
#include "ftp/session_owner.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "vfs/file_helpers.h"
#include "vfs/shortcut_folder.h"

namespace zelm {
namespace {

constexpr int64_t kThrottleSliceMs = 15;

// REST's argument: a signed decimal number's leading digits; nothing (or a negative number)
// restarts at 0.
uint64_t ParseRestartOffset(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  uint64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
    if (value > (INT64_MAX - digit) / 10) return INT64_MAX;
    value = value * 10 + digit;
  }
  return negative ? 0 : value;
}

char UpperLetter(const std::string& argument) {
  return argument.empty()
             ? '\0'
             : static_cast<char>(std::toupper(static_cast<unsigned char>(argument[0])));
}

}  // namespace

// ---- The session's side of transfers ----

uint32_t CFtpSession::GetControlAddress() {
  if (controlAddress_ == 0) controlAddress_ = GetLocalAddress();
  return controlAddress_;
}

int CFtpSession::OpenDataConnection(uint32_t port) {
  const uint32_t local = NetworkToHost32(GetControlAddress());
  data_.SetEvent(GetEvent());
  if (HasFlag(kFlagPassive)) {
    const bool connected = data_.IsConnected();
    if ((connected || data_.IsListening()) && (port == 0 || port == data_.GetActivePort())) {
      if (connected) return 2;
      // A client connects right after PASV and sends its command straight away, so the
      // connection is usually waiting already: taking it now saves a pass of the event loop.
      // (An upload's connection is left to the event, which hands it to the upload worker.)
      if (data_.GetDirection() != kDirectionReceive && data_.AcceptPending() &&
          data_.IsConnected()) {
        return 2;
      }
      data_.SelectEvents(kMaskListening);  // from now on the connection wakes the session
      SetFlags(kFlagDataAwaited);
      activityTimer_.Restart();
      return 0;
    }
    data_.Close(false);
    if (port != 0) data_.SetActivePort(port);
    if (!data_.Listen(data_.GetActivePort(), local)) return -1;
    SetFlags(kFlagDataAwaited);
    activityTimer_.Restart();
    return 0;
  }
  if (data_.IsConnected() && (port == 0 || port == data_.GetActivePort())) return 2;
  data_.Close(false);
  if (port != 0) data_.SetActivePort(port);
  data_.SetActiveTarget(NetworkToHost32(GetPeer()), data_.GetActivePort());
  data_.SetConnectBindAddress(local);
  if (data_.GetActivePort() == 0 || !data_.ConnectActive()) return -1;
  if (data_.IsConnected()) return 1;
  SetFlags(kFlagDataAwaited);
  activityTimer_.Restart();
  return 0;
}

int CFtpSession::StartTransfer(const CFtpCommand& command, const std::string& realPath, bool append,
                               std::string_view shownName) {
  const bool receiving = !command.Is(kCmdRetr);
  data_.SetTransfer(realPath, receiving ? kDirectionReceive : kDirectionSend, append,
                    restartOffset_);
  restartOffset_ = 0;  // a restart marker serves the next transfer only
  CFtpFileSystem& fs = account_.fileSystem;
  if (receiving && account_.quota != 0 && fs.GetUsedBytes() == 0) fs.ComputeUsedSpace();
  const bool existed = receiving && PathExists(realPath, 0);
  if (!data_.OpenTransferFile()) {
    std::string text;
    if (GetSystemErrorText(data_.GetTransferError(), text)) {
      SendErrorReply(kReplySystemErrorText, &command, text);
    } else {
      SendErrorReply(kReplyAccessDenied, &command);
    }
    data_.CloseTransfer();
    return -1;
  }
  if (receiving) {
    const uint64_t used = fs.GetUsedBytes();
    data_.SetGrowthLimit(account_.quota == 0     ? kNoGrowthLimit
                         : account_.quota > used ? static_cast<int64_t>(account_.quota - used)
                                                 : 0);
  }
  const int r = OpenDataConnection(0);
  if (r < 0) {
    data_.CloseTransfer();
    if (receiving && !existed) RemoveFile(realPath);
    SendErrorReply(425, nullptr);
    return -1;
  }
  if (r == 2) {
    SendReply(125, &command);
    // A connection made before the command arrived is read by the upload worker from now on.
    if (receiving && data_.UseCompletionPort()) data_.Receive(nullptr, 0, true);
  } else if (!shownName.empty()) {
    CFtpCommand shown;
    shown.def = command.def;
    shown.argument.assign(shownName);
    SendReply(150, &shown);
  } else {
    SendReply(150, &command);
  }
  SetFlags(kFlagBusy);
  return r;
}

void CFtpSession::SendListing() {
  CFtpListing listing(&account_.fileSystem.GetCodePage());
  listing.WriteDirectoryListing(listingPath_, data_, transferKind_.load() == kTransferNlst);
  ResetTransfer(true);
  SendReply(226, nullptr);
}

void CFtpSession::SendFile() {
  SetFlags(kFlagBusy);
  data_.SelectConnectClose();
  const uint32_t limit = GetBandwidthLimit();
  // Without a bandwidth limit the file goes from the page cache to the socket directly, in
  // stretches (kDirectStretch); with a limit the chunks shrink so that each one is a small
  // part of a second.
  bool direct = limit == 0;
  const size_t chunk = limit == 0
                           ? kDownloadChunk
                           : std::clamp<size_t>(size_t{limit} * 1024 / 16, 1024, kDownloadChunk);
  std::vector<uint8_t> buffer;  // only for chunks that are read and sent
  uint64_t offset = data_.GetRestartOffset();
  const uint64_t size = data_.GetFileSize();
  CBandwidthWindow window;
  uint32_t chunks = 0;
  int failure = 0;
  while (offset < size) {
    size_t sent = 0;
    int result = 2;
    if (direct) {
      const uint64_t left = size - offset;  // no call that only finds the end
      result = data_.SendFileDirect(static_cast<size_t>(std::min<uint64_t>(kDirectStretch, left)),
                                    kDirectStretchMs, sent, failure);
      if (result == 1) chunks += kControlPollChunks - 1;  // a look after every stretch
      direct = result != 2;
    }
    if (result == 2) {
      buffer.resize(chunk);
      result = data_.SendFileChunk(buffer.data(), chunk, sent, failure);
    }
    if (result != 1) break;
    offset += sent;
    bytesSent_ += sent;
    // Data flowing counts as activity: a long download is not an idle session.
    activityTimer_.Restart();
    if (const int64_t delay = window.Account(limit, sent, MonotonicMilliseconds()); delay > 0) {
      const int64_t until = MonotonicMilliseconds() + delay;
      for (int64_t now = MonotonicMilliseconds(); now < until && !HasFlag(kFlagClosing);
           now = MonotonicMilliseconds()) {
        SleepMilliseconds(static_cast<uint32_t>(std::min(until - now, kThrottleSliceMs)));
      }
    }
    // After the last chunk there is nothing left to interrupt.
    if (++chunks % kControlPollChunks == 0 && offset < size) {
      OnNetworkEvents(GetEvent().get(), false);
    }
    if (HasFlag(kFlagClosing)) {
      failure = CFtpDataSocket::kSendFailed;
      break;
    }
  }
  ResetTransfer(true);
  if (HasFlag(kFlagClosing)) return;
  if (failure == CFtpDataSocket::kSendFailed) {
    SendErrorReply(426, nullptr);  // the client's connection broke: the file is incomplete
  } else if (failure == CFtpDataSocket::kReadFailed) {
    SendErrorReply(451, nullptr);
  } else {
    ++completedTransfers_;
    SendReply(226, nullptr);
  }
}

void CFtpSession::OnDataConnected(bool ok) {
  if (HasFlag(kFlagCommandPending) || !HasFlag(kFlagDataAwaited)) return;
  ClearFlags(kFlagDataAwaited);
  if (!ok) {
    ResetTransfer(true);
    SendErrorReply(425, nullptr);
    return;
  }
  switch (transferKind_.load()) {
    case kTransferList:
    case kTransferNlst:
      SendListing();
      break;
    case kTransferRetr:
      SendFile();
      break;
    case kTransferUpload:
      uploadTimer_.Restart();
      break;
    default:
      break;
  }
}

void CFtpSession::OnUploadEnded(const UploadOutcome& outcome) {
  // May come from the upload worker: the reply and the reset happen on the session's thread.
  Post([outcome](CFtpSession& s) {
    if (s.transferKind_.load() == kTransferUpload && s.HasFlag(kFlagGreeted)) {
      CFtpFileSystem& fs = s.account_.fileSystem;
      if (outcome.error == kUploadLimitError) {
        s.SendErrorReply(426, nullptr);
        fs.SetUsedBytes(0);
      } else if (outcome.error != 0) {
        const bool connectionBroke = outcome.error == kWsaEconnreset ||
                                     outcome.error == kWsaEconnaborted ||
                                     outcome.error == kWsaEtimedout;
        s.SendErrorReply(connectionBroke                                         ? 426
                         : outcome.error == ENOSPC || outcome.error == EDQUOT ? 452
                                                                              : 451,
                         nullptr);
        fs.SetUsedBytes(0);
      } else {
        const int64_t used = static_cast<int64_t>(fs.GetUsedBytes()) + outcome.growth;
        if (fs.GetUsedBytes() != 0) fs.SetUsedBytes(used > 0 ? static_cast<uint64_t>(used) : 1);
        s.SendReply(226, nullptr);
        ++s.completedTransfers_;
      }
      s.ResetTransfer(false);
    }
    s.ClearFlags(kFlagBusy);
  });
}

void CFtpSession::OnUploadRefused() {
  Post([](CFtpSession& s) { s.SendErrorReply(450, nullptr); });
}

void CFtpSession::OnUploadData(size_t bytes) {
  bytesReceived_ += bytes;
  int64_t now = 0;
  if (GetClock().ReadCounter(now)) lastUploadData_ = now != 0 ? now : 1;
}

uint32_t CFtpSession::GetBandwidthLimit() const {
  std::lock_guard lock(accountMutex_);
  return account_.bandwidth;
}

// ---- Handlers ----

void HandleTransferParameters(CFtpSession& session, CFtpCommand& command) {
  switch (command.def.id) {
    case kCmdPort: {
      uint32_t address = 0;
      uint32_t port = 0;
      if (!CFtpDataSocket::ParsePortArgument(command.argument, address, port)) {
        session.SendErrorReply(500, &command);
        return;
      }
      // SECURITY: data connections go only to the client itself (no bouncing to others).
      if (address != session.GetPeer()) {
        session.SendErrorReply(kReplyBadPortAddress, &command);
        return;
      }
      session.ClearFlags(kFlagPassive);
      session.Data().SetActivePort(port);
      session.SendReply(200, &command);
      return;
    }
    case kCmdPasv: {
      CFtpDataSocket& data = session.Data();
      data.Close(false);
      const uint32_t local = NetworkToHost32(session.GetControlAddress());
      data.SetEvent(session.GetEvent());
      const uint32_t port = data.ListenPassive(local);
      if (port == 0) {
        session.SendErrorReply(500, nullptr);
        return;
      }
      // The connection is taken in the session's next pass or when the transfer command
      // comes, whichever is first; until a command waits for it, its arrival need not wake
      // the session (a client connects and sends its command at once: one wake-up, not two).
      data.SelectEvents(0);
      session.SetFlags(kFlagPassive);
      data.SetActivePort(port);
      session.SendReply(227, &command);
      return;
    }
    case kCmdType: {
      const char letter = UpperLetter(command.argument);
      if (letter != 'A' && letter != 'I') {
        session.SendErrorReply(504, &command);
      } else if (letter == 'A' && command.argument.size() > 1) {
        session.SendErrorReply(500, &command);
      } else {
        if (letter == 'A') {
          session.ClearFlags(kFlagImageType);
        } else {
          session.SetFlags(kFlagImageType);
        }
        session.SendReply(200, &command);
      }
      return;
    }
    case kCmdStru:
    case kCmdMode: {
      const char wanted = command.Is(kCmdStru) ? 'F' : 'S';
      if (UpperLetter(command.argument) == wanted) {
        session.SendReply(250, &command);
      } else {
        session.SendErrorReply(504, &command);
      }
      return;
    }
    case kCmdRest:
      session.SetRestartOffset(ParseRestartOffset(command.argument));
      // 350: the restart marker waits for its transfer (clients refuse any other code).
      session.SendText(350, "'REST': Command okay.");
      return;
    case kCmdAbor:
      session.SendReply(225, &command);
      return;
    default:
      return;
  }
}

void HandleRetrieve(CFtpSession& session, CFtpCommand& command) {
  CFtpFileSystem& fs = session.Account().fileSystem;
  std::string real;
  if (fs.ResolvePath(command.argument, false, real) != ResolveExists || !PathExists(real, 0)) {
    session.SendErrorReply(550, &command);
    return;
  }
  const int access = session.CheckAccess(real, kOpDownload, false, kTransferRetr, command);
  if (access < 0) return;
  if (access == 0) {
    session.SendErrorReply(kReplyAccessDenied, &command);
    return;
  }
  const int r = session.StartTransfer(command, real, false);
  if (r < 0) return;
  session.SetTransferKind(kTransferRetr);
  if (r == 1 || r == 2) session.SendFile();
}

void HandleStore(CFtpSession& session, CFtpCommand& command) {
  CFtpFileSystem& fs = session.Account().fileSystem;
  std::string real;
  std::string shownName;
  uint32_t operation = kOpStore;
  const bool append = command.Is(kCmdAppe);
  bool isMapped = false;
  if (command.Is(kCmdStou)) {
    if (!fs.MakeUniqueFileName(real)) {
      session.SendErrorReply(kReplyAccessDenied, &command);
      return;
    }
    const std::string name = real.substr(real.find_last_of('/') + 1);
    if (!fs.GetCodePage().FromUtf8(name, shownName)) shownName = name;
    // A name reached through a shortcut folder is the management server's to allow.
    if (session.Owner() != nullptr) {
      std::string through;
      const int r =
          ResolveShortcutPath(real, false, through, session.Owner()->GetShortcutContext());
      isMapped = r == kFileThroughShortcut || r == kFileThroughBrokenShortcut;
    }
  } else {
    const ResolveResult result = fs.ResolvePath(command.argument, false, real);
    if (result == ResolveParentMissing || result == ResolveInvalid) {
      session.SendErrorReply(550, &command);
      return;
    }
    if (append && result == ResolveExists) operation = kOpAppend;
  }
  session.UploadTimer().Restart();
  const int access = session.CheckAccess(real, operation, isMapped, kTransferUpload, command);
  if (access < 0) return;
  if (access == 0) {
    session.SendErrorReply(kReplyAccessDenied, &command);
    return;
  }
  if (session.StartTransfer(command, real, append, shownName) >= 0) {
    session.SetTransferKind(kTransferUpload);
  }
}

void HandleList(CFtpSession& session, CFtpCommand& command) {
  CFtpFileSystem& fs = session.Account().fileSystem;
  std::string real;
  if (fs.ResolvePath(command.argument, true, real) != ResolveExists) {
    session.SendErrorReply(550, &command);
    return;
  }
  const uint32_t kind = command.Is(kCmdNlst) ? kTransferNlst : kTransferList;
  const int access = session.CheckAccess(real, kOpList, false, kind, command);
  if (access < 0) return;
  if (access == 0) {
    session.SendErrorReply(kReplyAccessDenied, &command);
    return;
  }
  const int r = session.OpenDataConnection(0);
  if (r < 0) {
    session.SendErrorReply(425, nullptr);
    return;
  }
  session.SetListingPath(real + "*.*");
  session.SetTransferKind(kind);
  if (r == 1 || r == 2) {
    session.SendReply(125, &command);
    session.SendListing();
  } else {
    session.SendReply(150, nullptr);
  }
}

}  // namespace zelm
