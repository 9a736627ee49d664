// Owns the dispatch of parsed commands and the login, directory and informational handlers.
#include "ftp/command_handlers.h"

#include <array>
#include <cctype>

#include "ftp/ftp_session.h"
#include "ftp/session_owner.h"
#include "platform/files.h"
#include "vfs/ftp_path.h"

namespace zelm {
namespace {

// The features this server implements, as FEAT lists them (one per line, each after a blank).
constexpr std::array<const char*, 2> kFeatures{"SIZE", "REST STREAM"};

}  // namespace

void DispatchCommand(CFtpSession& session, CFtpCommand& command) {
  switch (command.def.id) {
    case kCmdUser:
    case kCmdPass:
      HandleUserPass(session, command);
      break;
    case kCmdRein:
      HandleRein(session, command);
      break;
    case kCmdQuit:
      HandleQuit(session, command);
      break;
    case kCmdCwd:
    case kCmdXcwd:
    case kCmdCdup:
    case kCmdXcup:
    case kCmdPwd:
    case kCmdXpwd:
    case kCmdMkd:
    case kCmdXmkd:
    case kCmdRmd:
    case kCmdXrmd:
      HandleDirectory(session, command);
      break;
    case kCmdHelp:
    case kCmdSite:
    case kCmdSyst:
    case kCmdNoop:
    case kCmdAllo:
    case kCmdStat:
    case kCmdFeat:
    case kCmdAcct:
      HandleInformational(session, command);
      break;
    case kCmdPort:
    case kCmdPasv:
    case kCmdType:
    case kCmdStru:
    case kCmdMode:
    case kCmdRest:
    case kCmdAbor:
      HandleTransferParameters(session, command);
      break;
    case kCmdRetr:
      HandleRetrieve(session, command);
      break;
    case kCmdStor:
    case kCmdAppe:
    case kCmdStou:
      HandleStore(session, command);
      break;
    case kCmdList:
    case kCmdNlst:
      HandleList(session, command);
      break;
    case kCmdDele:
    case kCmdRnfr:
    case kCmdRnto:
    case kCmdSize:
      HandleFileCommand(session, command);
      break;
    default:
      break;
  }
}

void HandleUserPass(CFtpSession& session, CFtpCommand& command) {
  CFtpAccount& account = session.Account();
  if (command.Is(kCmdUser)) {
    session.ResetAccount();
    session.SetUserName(command.argument);
    session.SendReply(
        EqualsNoCase(command.argument, "anonymous") ? uint32_t{kReplyAnonymousWelcome} : 331u,
        &command);
    return;
  }
  if (account.userName.empty() || session.IsLoggedIn()) {
    session.SendErrorReply(503, &command);
    return;
  }
  {
    std::lock_guard lock(session.AccountMutex());
    account.password = command.argument;
  }
  const int route =
      session.Owner() != nullptr ? session.Owner()->ValidateLogin(session) : kLoginRefused;
  session.HandleLoginResult(route);
  if (route == kLoginAccepted || route == kLoginAsked) return;
  session.ResetAccount();
  const uint32_t failed = session.FailedLogins();
  session.CountFailedLogin();
  if (failed > kMaxFailedLogins) session.CloseSession(true, 0);
}

void HandleRein(CFtpSession& session, CFtpCommand& command) {
  (void)command;
  session.ResetAccount();
  session.ResetCounters();
  session.ResetTransfer(true);
  session.SendReply(220, nullptr);
  session.SetTransferKind(kTransferFresh);
}

void HandleQuit(CFtpSession& session, CFtpCommand& command) {
  (void)command;
  session.CloseSession(false, 0);
}

void HandleDirectory(CFtpSession& session, CFtpCommand& command) {
  CFtpFileSystem& fs = session.FileSystem();
  std::string real;
  switch (command.def.id) {
    case kCmdCwd:
    case kCmdXcwd: {
      if (fs.ResolvePath(command.argument, true, real, nullptr, true) != ResolveExists) {
        session.SendErrorReply(550, &command);
        return;
      }
      const int access = session.CheckAccess(real, kOpList, false, kTransferCwd, command);
      if (access < 0) return;
      if (access == 0) {
        session.SendErrorReply(kReplyAccessDenied, &command);
        return;
      }
      fs.ChangeDirectory(command.argument);
      session.SendText(250, "CWD command successful.");
      return;
    }
    case kCmdCdup:
    case kCmdXcup:
      fs.ChangeToParent();
      session.SendText(250, "CWD command successful.");
      return;
    case kCmdPwd:
    case kCmdXpwd:
      session.SendReply(257, &command);
      return;
    case kCmdMkd:
    case kCmdXmkd: {
      const ResolveResult result = fs.ResolvePath(command.argument, true, real);
      if (result == ResolveExists) {
        session.SendErrorReply(kReplyAlreadyExists, &command);
        return;
      }
      if (result != ResolveMissing) {
        session.SendErrorReply(553, &command);
        return;
      }
      const int access = session.CheckAccess(real, kOpMakeDir, false, kTransferMkd, command);
      if (access < 0) return;
      if (access == 0) {
        session.SendErrorReply(kReplyAccessDenied, &command);
        return;
      }
      if (!CreateOneDirectory(real)) {
        session.SendErrorReply(kReplySystemError, &command);
        return;
      }
      session.SendReply(257, &command);
      return;
    }
    case kCmdRmd:
    case kCmdXrmd: {
      if (fs.ResolveForRemoval(command.argument, true, real) != ResolveExists) {
        session.SendErrorReply(553, &command);
        return;
      }
      const int access = session.CheckAccess(real, kOpRemoveDir, false, kTransferRmd, command);
      if (access < 0) return;
      if (access == 0) {
        session.SendErrorReply(kReplyAccessDenied, &command);
        return;
      }
      if (!fs.RemoveDirectory(real)) {
        session.SendErrorReply(kReplySystemError, &command);
        return;
      }
      session.SendReply(250, &command);
      return;
    }
    default:
      return;
  }
}

void HandleInformational(CFtpSession& session, CFtpCommand& command) {
  switch (command.def.id) {
    case kCmdHelp:
      session.SendReply(command.HasArgument() ? uint32_t{kReplyCommandHelp} : 214u, &command);
      return;
    case kCmdSite:
      if (command.HasArgument() && !EqualsNoCase(command.argument, "help")) {
        session.SendReply(200, &command);
      } else {
        session.SendReply(kReplySiteHelp, &command);
      }
      return;
    case kCmdSyst:
      session.SendText(215, "Windows_NT");
      return;
    case kCmdFeat: {
      std::string text = "Features:\r\n";
      for (const char* feature : kFeatures) text += std::string(" ") + feature + "\r\n";
      text += "End";
      session.SendText(211, text);
      return;
    }
    case kCmdAcct:
      session.SendErrorReply(502, &command);
      return;
    default:  // NOOP (and ALLO and STAT, had they rows)
      session.SendReply(200, &command);
      return;
  }
}

}  // namespace zelm
