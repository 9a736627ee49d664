// Owns the file commands: DELE, RNFR, RNTO and SIZE.
#include <string>

#include "ftp/command_handlers.h"
#include "ftp/ftp_session.h"
#include "platform/files.h"
#include "transfer/open_file_table.h"
#include "vfs/file_helpers.h"

namespace zelm {
namespace {

constexpr std::string_view kFileInUseText = "File is in use by a transfer.";

// SECURITY: a file a transfer has open (reading or writing) is neither deleted nor renamed
// nor replaced by a rename, as on a platform whose open files share reading only: the
// refusal is 550 with the reason.
bool RefuseOpenFile(CFtpSession& session, const CFtpCommand& command, const std::string& real) {
  if (!COpenFileTable::Instance().IsPathOpen(real)) return false;
  session.SendErrorReply(kReplySystemErrorText, &command, kFileInUseText);
  return true;
}

// The size of the regular file at `real` (0 for anything else), for crediting the ledger.
uint64_t RegularFileSize(const std::string& real) {
  FileStatus status;
  return GetFileStatus(real, status, LinkPolicy::kNoFollow) && status.kind == FileKind::kRegular
             ? status.size
             : 0;
}

}  // namespace

void HandleDele(CFtpSession& session, CFtpCommand& command) {
  CFtpFileSystem& fs = session.FileSystem();
  std::string real;
  // SECURITY: neither a link nor what lies behind one is deleted (links are for reading).
  if (fs.ResolveForRemoval(command.argument, false, real) != ResolveExists ||
      PathMeetsLinkBelow(fs.GetHomePath(), real)) {
    session.SendErrorReply(553, &command);
    return;
  }
  const int access = session.CheckAccess(real, kOpDelete, false, kTransferDele, command);
  if (access < 0) return;
  if (access == 0) {
    session.SendErrorReply(kReplyAccessDenied, &command);
    return;
  }
  if (RefuseOpenFile(session, command, real)) return;
  const std::shared_ptr<CQuotaLedger> ledger = session.QuotaLedger();
  const uint64_t size = RegularFileSize(real);
  if (!fs.DeleteFile(real)) {
    session.SendErrorReply(kReplySystemError, &command);
    return;
  }
  if (ledger) ledger->Add(-static_cast<int64_t>(size));
  session.SendReply(250, &command);
}

void HandleRnfr(CFtpSession& session, CFtpCommand& command) {
  CFtpFileSystem& fs = session.FileSystem();
  std::string real;
  // SECURITY: neither a link nor what lies behind one is renamed.
  if ((fs.ResolvePath(command.argument, false, real) != ResolveExists &&
       fs.ResolvePath(command.argument, true, real) != ResolveExists) ||
      PathMeetsLinkBelow(fs.GetHomePath(), real)) {
    session.SendErrorReply(550, &command);
    return;
  }
  // SECURITY: a rename takes the file away from where it was: it needs the right to delete it.
  const int access = session.CheckAccess(real, kOpDelete, false, kTransferDele, command);
  if (access < 0) return;
  if (access == 0) {
    session.SendErrorReply(kReplyAccessDenied, &command);
    return;
  }
  if (RefuseOpenFile(session, command, real)) return;
  session.SetRenameSource(real);
  session.SendReply(350, &command);
}

void HandleRnto(CFtpSession& session, CFtpCommand& command) {
  // The source stays set while the target's rights are asked (the command runs again then).
  const std::string source = session.PeekRenameSource();
  if (source.empty()) {
    session.SendErrorReply(503, &command);
    return;
  }
  // SECURITY: the target resolves inside the home like any path; the home itself is never
  // renamed away, and nothing is moved onto a link or through one.
  CFtpFileSystem& fs = session.FileSystem();
  std::string real;
  std::string home = fs.GetHomePath();
  std::string from = source;
  while (from.size() > 1 && from.back() == '/') from.pop_back();
  if (HasInvalidNameChars(command.argument) ||
      IsNameWindowsRefuses(LastPathComponent(command.argument)) ||
      fs.ResolvePath(command.argument, false, real) == ResolveInvalid || from == home ||
      PathMeetsLinkBelow(home, real) || PathMeetsLinkBelow(home, from)) {
    session.TakeRenameSource();
    session.SendErrorReply(553, &command);
    return;
  }
  // SECURITY: and it puts a file where the target is: it needs the right to store there.
  const int access = session.CheckAccess(real, kOpStore, false, kTransferDele, command);
  if (access < 0) return;
  session.TakeRenameSource();
  if (access == 0) {
    session.SendErrorReply(kReplyAccessDenied, &command);
    return;
  }
  // The source may have been opened since RNFR; a target a transfer has open is not replaced.
  if (RefuseOpenFile(session, command, from) || RefuseOpenFile(session, command, real)) return;
  // A rename never replaces an existing target (553), so the used space stays as it is.
  if (!MovePath(from, real)) {
    session.SendErrorReply(553, &command);
    return;
  }
  session.SendReply(250, &command);
}

void HandleSize(CFtpSession& session, CFtpCommand& command) {
  CFtpFileSystem& fs = session.FileSystem();
  std::string real;
  if (fs.ResolvePath(command.argument, false, real) != ResolveExists || !PathExists(real, 0)) {
    session.SendErrorReply(550, &command);
    return;
  }
  session.SendText(213, std::to_string(GetFileSizeByName(real)));
}

}  // namespace zelm
