// Owns the dispatch of parsed commands and the login, directory and informational handlers.
#include "ftp/command_handlers.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>
#include <vector>

#include "ftp/ftp_session.h"
#include "ftp/session_log.h"
#include "ftp/session_owner.h"
#include "net/service_metrics.h"
#include "platform/files.h"
#include "vfs/file_helpers.h"
#include "vfs/ftp_path.h"

namespace zelm {
namespace {

// The features this server implements, as FEAT lists them (one per line, each after a blank).
constexpr std::array<const char*, 2> kFeatures{"SIZE", "REST STREAM"};
// With "Extensions" on: exactly what this server answers.
constexpr std::array<const char*, 9> kExtensionFeatures{
    "EPRT",        "EPSV", "MDTM", "MFMT", "MLST type*;size*;modify*;perm*;",
    "REST STREAM", "SIZE", "TVFS", "UTF8"};

}  // namespace

void DispatchCommand(CFtpSession& session, CFtpCommand& command) {
  if (command.def.handler != nullptr) command.def.handler(session, command);
}

// ---- Login and connection ----

void HandleUserPass(CFtpSession& session, CFtpCommand& command) {
  const CFtpAccount& account = session.GetAccount();
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
  // SECURITY: with "TLS Mode" 2 no password is taken over a clear control connection.
  if (session.IsTlsRequired() && !session.IsControlSecured()) {
    ServiceMetrics().CountLogin(false);
    PostEvent(LogPriority::kNotice,
              "Login of " + account.userName + " refused: TLS is required (\"TLS Mode\" 2) and " +
                  "the control connection is in clear\r\n",
              account.userName, session.GetPeer());
    session.SendText(530, "TLS required: send AUTH TLS before logging in.");
    return;
  }
  session.SetPassword(command.argument);
  session.SubmitPassword();
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

// ---- Directories ----

void HandleCwd(CFtpSession& session, CFtpCommand& command) {
  CFtpFileSystem& fs = session.FileSystem();
  std::string real;
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
}

void HandleCdup(CFtpSession& session, CFtpCommand& command) {
  (void)command;
  session.FileSystem().ChangeToParent();
  session.SendText(250, "CWD command successful.");
}

void HandlePwd(CFtpSession& session, CFtpCommand& command) { session.SendReply(257, &command); }

void HandleMkd(CFtpSession& session, CFtpCommand& command) {
  std::string real;
  const ResolveResult result = session.FileSystem().ResolvePath(command.argument, true, real);
  if (result == ResolveExists) {
    session.SendErrorReply(kReplyAlreadyExists, &command);
    return;
  }
  // SECURITY: no folder is made behind a link (a published folder is for reading), nor one
  // the café's Windows PCs could not use.
  if (result != ResolveMissing || PathMeetsLinkBelow(session.FileSystem().GetHomePath(), real) ||
      IsNameWindowsRefuses(LastPathComponent(command.argument))) {
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
}

void HandleRmd(CFtpSession& session, CFtpCommand& command) {
  CFtpFileSystem& fs = session.FileSystem();
  std::string real;
  // SECURITY: neither a link nor a folder behind one is removed.
  if (fs.ResolveForRemoval(command.argument, true, real) != ResolveExists ||
      PathMeetsLinkBelow(fs.GetHomePath(), real)) {
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
}

// ---- Informational ----

void HandleHelp(CFtpSession& session, CFtpCommand& command) {
  session.SendReply(command.HasArgument() ? uint32_t{kReplyCommandHelp} : 214u, &command);
}

void HandleSite(CFtpSession& session, CFtpCommand& command) {
  if (command.HasArgument() && !EqualsNoCase(command.argument, "help")) {
    // With the extensions a sub-command that does nothing says so, instead of a 200 that
    // claims it was done (SITE CHMOD, SITE UTIME, ...).
    if (session.ExtensionsOn()) {
      session.SendErrorReply(502, &command);
      return;
    }
    session.SendReply(200, &command);
  } else {
    session.SendReply(kReplySiteHelp, &command);
  }
}

void HandleSyst(CFtpSession& session, CFtpCommand& command) {
  (void)command;
  session.SendText(215, "Windows_NT");
}

void HandleFeat(CFtpSession& session, CFtpCommand& command) {
  (void)command;
  std::string text = "Features:\r\n";
  if (session.ExtensionsOn()) {
    std::vector<std::string> lines;
    // FTPS (RFC 4217) while the service offers TLS.
    if (session.IsTlsOffered()) lines = {"AUTH TLS", "PBSZ", "PROT"};
    for (const char* feature : kExtensionFeatures) {
      std::string line = feature;
      if (line.starts_with("MLST ")) {
        // The facts offered, those shown now marked with "*" (RFC 3659).
        line = "MLST ";
        const uint32_t shown = session.GetMlstFacts();
        for (const auto& [name, bit] :
             {std::pair{"type", kFactType}, std::pair{"size", kFactSize},
              std::pair{"modify", kFactModify}, std::pair{"perm", kFactPerm}}) {
          line += std::string(name) + ((shown & bit) != 0 ? "*;" : ";");
        }
      }
      lines.push_back(std::move(line));
    }
    std::sort(lines.begin(), lines.end());
    for (const std::string& line : lines) text += " " + line + "\r\n";
  } else {
    for (const char* feature : kFeatures) text += std::string(" ") + feature + "\r\n";
  }
  text += "End";
  session.SendText(211, text);
}

void HandleAcct(CFtpSession& session, CFtpCommand& command) {
  session.SendErrorReply(502, &command);
}

void HandleNoop(CFtpSession& session, CFtpCommand& command) { session.SendReply(200, &command); }

}  // namespace zelm
