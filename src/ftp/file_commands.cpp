// Owns the file commands: DELE, RNFR, RNTO and SIZE.
#include <string>

#include "ftp/command_handlers.h"
#include "ftp/ftp_session.h"
#include "platform/files.h"
#include "vfs/file_helpers.h"

namespace zelm {

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
  if (!fs.DeleteFile(real)) {
    session.SendErrorReply(kReplySystemError, &command);
    return;
  }
  session.SendReply(250, &command);
  fs.SetUsedBytes(0);  // recomputed before the next upload
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
  session.SetRenameSource(real);
  session.SendReply(350, &command);
}

void HandleRnto(CFtpSession& session, CFtpCommand& command) {
  const std::string source = session.TakeRenameSource();
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
      fs.ResolvePath(command.argument, false, real) == ResolveInvalid || from == home ||
      PathMeetsLinkBelow(home, real) || PathMeetsLinkBelow(home, from) || !MovePath(from, real)) {
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
