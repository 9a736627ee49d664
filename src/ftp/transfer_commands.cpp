// Owns the transfer commands (PORT, PASV, TYPE, STRU, MODE, REST, ABOR, RETR, STOR, APPE,
// STOU, LIST, NLST) and the control session's side of data transfers.
#include <algorithm>
#include <cerrno>

#include "ftp/command_handlers.h"
#include "ftp/ftp_session.h"
#include "ftp/session_owner.h"
#include "net/service_metrics.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/socket.h"
#include "vfs/file_helpers.h"
#include "vfs/shortcut_folder.h"

namespace zelm {
namespace {

// 522 (RFC 4217): the data connection's TLS failed or did not resume the control connection's.
constexpr const char* kDataTlsRefusal =
    "TLS on the data connection failed; it must resume the control connection's TLS session.";

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

// STRU and MODE: the one structure or mode this server supports.
void AcceptOnlyLetter(CFtpSession& session, CFtpCommand& command, char wanted) {
  if (UpperLetter(command.argument) == wanted) {
    session.SendReply(250, &command);
  } else {
    session.SendErrorReply(504, &command);
  }
}

}  // namespace

// ---- The session's side of transfers ----

uint32_t CFtpSession::GetControlAddress() {
  if (controlAddress_ == 0) controlAddress_ = GetLocalAddress();
  return controlAddress_;
}

CTransferEngine::Endpoints CFtpSession::DataEndpoints() {
  return {GetEvent(), NetworkToHost32(GetControlAddress()), NetworkToHost32(GetPeer()), {}};
}

void CFtpSession::UseActivePort(uint32_t port) {
  ClearFlags(kFlagPassive);
  transfer_.SetActivePort(port);
}

uint32_t CFtpSession::OpenPassivePort() {
  const PassiveSettings passive =
      owner_ != nullptr ? owner_->GetPassiveSettings() : PassiveSettings{};
  CTransferEngine::Endpoints at = DataEndpoints();
  at.passivePorts = passive.ports;
  passiveReplyAddress_ = passive.replyAddress;
  const uint32_t port = transfer_.OpenPassive(at);
  if (port != 0) {
    SetFlags(kFlagPassive);
    passiveTimer_.Restart();
  }
  return port;
}

void CFtpSession::OnForeignDataConnection(uint32_t address) {
  Log("Data connection from " + FormatIpAddress(address) + " refused: not this client\r\n");
}

CTransferEngine::ConnectionState CFtpSession::OpenDataConnection() {
  const CTransferEngine::ConnectionState state =
      transfer_.OpenDataConnection(HasFlag(kFlagPassive), DataEndpoints());
  if (state == CTransferEngine::kConnectionAwaited) {
    SetFlags(kFlagDataAwaited);
    activityTimer_.Restart();
  }
  return state;
}

CTransferEngine::ConnectionState CFtpSession::StartTransfer(const CFtpCommand& command,
                                                            const std::string& realPath,
                                                            bool append,
                                                            std::string_view shownName) {
  const bool receiving = !command.Is(kCmdRetr);
  const uint64_t restartOffset = restartOffset_;
  restartOffset_ = 0;  // a restart marker serves the next transfer only
  // SECURITY: an upload never creates or writes through a symbolic link: not in the target's
  // place, not on the way to it below the home (a published folder is for reading only).
  if (receiving && PathMeetsLinkBelow(account_.fileSystem.GetHomePath(), realPath)) {
    ResetTransfer(false);
    SendErrorReply(kReplyAccessDenied, &command);
    return CTransferEngine::kConnectionFailed;
  }
  UploadQuota quota;
  if (receiving) quota = {QuotaLedger(), account_.quota};
  if (!transfer_.OpenFile(realPath, receiving ? kDirectionReceive : kDirectionSend, append,
                          restartOffset, std::move(quota))) {
    ResetTransfer(false);
    std::string text;
    if (transfer_.GetFileError() == kFileInUseError) {
      SendErrorReply(kReplySystemErrorText, &command, "File is in use by another transfer.");
    } else if (GetSystemErrorText(transfer_.GetFileError(), text)) {
      SendErrorReply(kReplySystemErrorText, &command, text);
    } else {
      SendErrorReply(kReplyAccessDenied, &command);
    }
    return CTransferEngine::kConnectionFailed;
  }
  const CTransferEngine::ConnectionState state = OpenDataConnection();
  if (state == CTransferEngine::kConnectionFailed) {
    transfer_.AbandonFile();
    ResetTransfer(false);
    SendErrorReply(425, nullptr);
    return state;
  }
  // Before the preliminary reply: a client may send an upload's bytes as soon as it has it, and
  // the upload worker counts them from then on.
  BeginTransferActivity(command, realPath, receiving, shownName, restartOffset);
  if (state == CTransferEngine::kConnectionOpen) {
    SendReply(125, &command);
  } else if (!shownName.empty()) {
    CFtpCommand shown;
    shown.def = command.def;
    shown.argument.assign(shownName);
    SendReply(150, &shown);
  } else {
    SendReply(150, &command);
  }
  SetFlags(kFlagBusy);
  transfer_.AnnounceTransfer();
  return state;
}

void CFtpSession::SendListing() {
  ListingOptions options;
  options.modificationTimes = extensions_;
  if (std::exchange(listingFacts_, false)) {
    options.facts = [this](const std::string& path, bool isDirectory) {
      return PermFactsOf(path, isDirectory);
    };
    options.factSet = mlstFacts_;
  }
  options.namePattern = std::exchange(listingNames_, std::string());
  options.exactName = listingExactName_;
  const bool complete =
      transfer_.SendListing(listingPath_, transferKind_.load() == kTransferNlst,
                            &account_.fileSystem.GetCodePage(), std::move(options));
  const bool tlsFailed = !complete && transfer_.TlsFailed();
  if (tlsFailed) Log(transfer_.GetTlsFailure() + "\r\n");
  ResetTransfer(true);
  if (complete) {
    SendReply(226, nullptr);
  } else if (tlsFailed) {
    SendText(522, kDataTlsRefusal);
  } else {
    SendErrorReply(426, nullptr);  // the client's connection broke: the listing is cut short
  }
}

bool CFtpSession::AbortTransfer() {
  const uint32_t kind = transferKind_.load();
  if (HasFlag(kFlagBusy) && !HasFlag(kFlagDataAwaited) && !abortRequested_ &&
      (kind == kTransferRetr || kind == kTransferUpload)) {
    // The download loop sees it at its next look and answers; an upload is stopped here (its
    // partial file dealt with as when the client leaves) and answered when its connection's
    // end reaches this thread. Commands after the ABOR wait for those replies.
    abortRequested_ = true;
    if (kind == kTransferUpload) transfer_.Abort();
    return true;
  }
  if (HasFlag(kFlagDataAwaited)) {
    // Nobody waits for the connection any more: no stray 425 after the time-out.
    EndTransferActivity(426, "aborted by the client (ABOR)");
    transfer_.AbandonFile();
    ResetTransfer(true);
    SendErrorReply(426, nullptr);
    SendText(226, "ABOR command successful.");
    return true;
  }
  return false;
}

void CFtpSession::SendFile() {
  SetFlags(kFlagBusy);
  abortRequested_ = false;
  const CTransferEngine::DownloadResult result = transfer_.RunDownload();
  if (result == CTransferEngine::kDownloadTlsFailed) Log(transfer_.GetTlsFailure() + "\r\n");
  if (HasFlag(kFlagClosing)) {
    EndTransferActivity(426, "the session was closed");
  } else if (abortRequested_) {
    EndTransferActivity(426, "aborted by the client (ABOR)");
  } else if (result == CTransferEngine::kDownloadTlsFailed) {
    EndTransferActivity(522, "the data connection's TLS failed");
  } else if (result == CTransferEngine::kDownloadSendFailed) {
    EndTransferActivity(426, "the data connection broke");
  } else if (result == CTransferEngine::kDownloadReadFailed) {
    EndTransferActivity(451, "the file could not be read");
  } else {
    EndTransferActivity(226, {});
  }
  ResetTransfer(true);
  if (HasFlag(kFlagClosing)) return;
  if (std::exchange(abortRequested_, false)) {
    SendErrorReply(426, nullptr);
    SendText(226, "ABOR command successful.");
    return;
  }
  if (result == CTransferEngine::kDownloadTlsFailed) {
    SendText(522, kDataTlsRefusal);
  } else if (result == CTransferEngine::kDownloadSendFailed) {
    SendErrorReply(426, nullptr);  // the client's connection broke: the file is incomplete
  } else if (result == CTransferEngine::kDownloadReadFailed) {
    SendErrorReply(451, nullptr);
  } else {
    ++completedTransfers_;
    SendReply(226, nullptr);
  }
}

void CFtpSession::OnDownloadData(size_t bytes) {
  bytesSent_ += bytes;
  ServiceMetrics().AddBytesSent(bytes);
  activityTimer_.Restart();
  lastActivityMs_ = MonotonicMilliseconds();
}

void CFtpSession::PollControlConnection() { OnNetworkEvents(GetEvent().get(), false); }

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
  // This is the upload's one final reply; the home's ledger has counted every write already.
  // The transfer log hears of it here, even when the session has closed meanwhile.
  const bool broke = outcome.error == kWsaEconnreset || outcome.error == kWsaEconnaborted ||
                     outcome.error == kWsaEtimedout;
  if (outcome.aborted) {
    EndTransferActivity(426, "aborted");
  } else if (outcome.error == kDataTlsError) {
    EndTransferActivity(522, "the data connection's TLS failed");
  } else if (outcome.error == kUploadLimitError) {
    EndTransferActivity(552, "over the quota");
  } else if (outcome.error != 0) {
    EndTransferActivity(broke                                                ? 426
                        : outcome.error == ENOSPC || outcome.error == EDQUOT ? 452
                                                                             : 451,
                        broke ? "the data connection broke" : "the file could not be written");
  } else {
    EndTransferActivity(226, {});
  }
  Post([outcome](CFtpSession& s) {
    if (s.transferKind_.load() == kTransferUpload && s.HasFlag(kFlagGreeted)) {
      const bool abortAnswerDue = std::exchange(s.abortRequested_, false);
      if (abortAnswerDue && outcome.aborted) {
        s.SendErrorReply(426, nullptr);
      } else if (outcome.error == kDataTlsError) {
        s.Log(s.transfer_.GetTlsFailure() + "\r\n");
        s.SendText(522, kDataTlsRefusal);
      } else if (outcome.error == kUploadLimitError) {
        s.SendErrorReply(552, nullptr);
      } else if (outcome.error != 0) {
        const bool connectionBroke = outcome.error == kWsaEconnreset ||
                                     outcome.error == kWsaEconnaborted ||
                                     outcome.error == kWsaEtimedout;
        s.SendErrorReply(connectionBroke                                      ? 426
                         : outcome.error == ENOSPC || outcome.error == EDQUOT ? 452
                                                                              : 451,
                         nullptr);
      } else {
        s.SendReply(226, nullptr);
        ++s.completedTransfers_;
      }
      // An ABOR that came as the upload ended on its own is answered after the upload's reply.
      if (abortAnswerDue) s.SendText(226, "ABOR command successful.");
      s.ResetTransfer(false);
    }
    s.ClearFlags(kFlagBusy);
  });
}

void CFtpSession::OnUploadData(size_t bytes) {
  bytesReceived_ += bytes;
  ServiceMetrics().AddBytesReceived(bytes);
  lastActivityMs_ = MonotonicMilliseconds();
  int64_t now = 0;
  if (ReadClockCounter(now)) lastUploadData_ = now != 0 ? now : 1;
}

void CFtpSession::OnUploadPaused(int64_t milliseconds) {
  // The stall timer counts from the end of the pause: the client could not send before then.
  int64_t now = 0;
  int64_t frequency = 0;
  if (ReadClockCounter(now) && ReadClockFrequency(frequency) && frequency > 0) {
    lastUploadData_ = now + milliseconds * frequency / 1000;
  }
}

// ---- Handlers ----

namespace {

// "NLST *.txt" (the Windows ftp's mget) lists the matching names of that folder, "LIST file"
// that file: the folder to list (a real path, inside the home like every path) and which of
// its names. False when the argument is neither.
bool ResolveListedNames(CFtpFileSystem& fs, const std::string& argument, std::string& folderReal,
                        std::string& names, bool& exactName) {
  const std::string_view last = LastPathComponent(argument);
  if (last.empty()) return false;
  const bool wildcard = last.find_first_of("*?") != std::string_view::npos;
  if (!wildcard) {
    std::string file;
    if (fs.ResolvePath(argument, false, file) != ResolveExists || !PathExists(file, 0)) {
      return false;
    }
  }
  std::string folder = argument.substr(0, static_cast<size_t>(last.data() - argument.data()));
  if (folder.empty()) folder = ".";
  if (fs.ResolvePath(folder, true, folderReal) != ResolveExists) return false;
  names.assign(last);
  exactName = !wildcard;
  return true;
}

// The argument without its leading option words ("-a", "-l", "-la", ...).
std::string WithoutListOptions(std::string_view argument) {
  while (argument.size() >= 2 && argument[0] == '-' && argument[1] != ' ') {
    const size_t blank = argument.find(' ');
    if (blank == std::string_view::npos) return {};
    argument.remove_prefix(blank);
    while (!argument.empty() && argument.front() == ' ') argument.remove_prefix(1);
  }
  return std::string(argument);
}

}  // namespace

void HandlePort(CFtpSession& session, CFtpCommand& command) {
  if (RefuseAfterEpsvAll(session, command)) return;
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
  session.UseActivePort(port);
  session.SendReply(200, &command);
}

void HandlePasv(CFtpSession& session, CFtpCommand& command) {
  if (RefuseAfterEpsvAll(session, command)) return;
  if (session.OpenPassivePort() == 0) {
    session.SendErrorReply(500, nullptr);
    return;
  }
  session.SendReply(227, &command);
}

void HandleType(CFtpSession& session, CFtpCommand& command) {
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
}

void HandleStru(CFtpSession& session, CFtpCommand& command) {
  AcceptOnlyLetter(session, command, 'F');
}

void HandleMode(CFtpSession& session, CFtpCommand& command) {
  AcceptOnlyLetter(session, command, 'S');
}

void HandleRest(CFtpSession& session, CFtpCommand& command) {
  session.SetRestartOffset(ParseRestartOffset(command.argument));
  // 350: the restart marker waits for its transfer (clients refuse any other code).
  session.SendText(350, "'REST': Command okay.");
}

void HandleAbor(CFtpSession& session, CFtpCommand& command) {
  // With the extensions ABOR aborts (RFC 959): a download ends with 426, then 226 answers the
  // ABOR; an awaited data connection is given up.
  if (session.ExtensionsOn() && session.AbortTransfer()) return;
  session.SendReply(225, &command);
}

void HandleRetrieve(CFtpSession& session, CFtpCommand& command) {
  if (session.RefuseClearData(command)) return;
  CFtpFileSystem& fs = session.FileSystem();
  std::string real;
  if (fs.ResolvePath(command.argument, false, real) != ResolveExists || !PathExists(real, 0)) {
    session.SendErrorReply(550, &command);
    return;
  }
  const int access = session.CheckAccess(real, kOpDownload, false, kTransferRetr, command);
  if (access < 0) return;
  if (access == 0) {
    session.ResetTransfer(false);
    session.SendErrorReply(kReplyAccessDenied, &command);
    return;
  }
  const CTransferEngine::ConnectionState state = session.StartTransfer(command, real, false);
  if (state == CTransferEngine::kConnectionFailed) return;
  session.SetTransferKind(kTransferRetr);
  if (state != CTransferEngine::kConnectionAwaited) session.SendFile();
}

void HandleStore(CFtpSession& session, CFtpCommand& command) {
  if (session.RefuseClearData(command)) return;
  CFtpFileSystem& fs = session.FileSystem();
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
    // A new file gets a name the café's Windows PCs can use (RNTO's rule).
    if (result == ResolveMissing && IsNameWindowsRefuses(LastPathComponent(command.argument))) {
      session.SendErrorReply(553, &command);
      return;
    }
    if (append && result == ResolveExists) operation = kOpAppend;
  }
  session.RestartUploadTimer();
  const int access = session.CheckAccess(real, operation, isMapped, kTransferUpload, command);
  if (access < 0) return;
  if (access == 0) {
    session.ResetTransfer(false);
    session.SendErrorReply(kReplyAccessDenied, &command);
    return;
  }
  if (session.StartTransfer(command, real, append, shownName) !=
      CTransferEngine::kConnectionFailed) {
    session.SetTransferKind(kTransferUpload);
  }
}

void HandleList(CFtpSession& session, CFtpCommand& command) {
  if (session.RefuseClearData(command)) return;
  CFtpFileSystem& fs = session.FileSystem();
  const bool facts = command.Is(kCmdMlsd);
  // "LIST -la" (the Windows ftp's "ls -l", lftp's "ls -la"): options are no path.
  if (session.ExtensionsOn() && !facts) {
    command.argument = WithoutListOptions(command.argument);
    command.argLength = static_cast<uint32_t>(command.argument.size());
  }
  std::string real;
  std::string names;  // with the extensions: which names of the folder are listed
  bool exactName = false;
  if (fs.ResolvePath(command.argument, true, real) != ResolveExists &&
      (!session.ExtensionsOn() || facts ||
       !ResolveListedNames(fs, command.argument, real, names, exactName))) {
    session.SendErrorReply(550, &command);
    return;
  }
  const uint32_t kind = command.Is(kCmdNlst) ? kTransferNlst : kTransferList;
  const int access = session.CheckAccess(real, kOpList, false, kind, command);
  if (access < 0) return;
  if (access == 0) {
    session.ResetTransfer(false);
    session.SendErrorReply(kReplyAccessDenied, &command);
    return;
  }
  const CTransferEngine::ConnectionState state = session.OpenDataConnection();
  if (state == CTransferEngine::kConnectionFailed) {
    session.ResetTransfer(false);
    session.SendErrorReply(425, nullptr);
    return;
  }
  session.SetListingPath(real + "*.*");
  session.SetListingFacts(facts);
  session.SetListingNames(names, exactName);
  session.SetTransferKind(kind);
  if (state != CTransferEngine::kConnectionAwaited) {
    session.SendReply(125, &command);
    session.SendListing();
  } else {
    session.SendReply(150, nullptr);
  }
}

}  // namespace zelm
