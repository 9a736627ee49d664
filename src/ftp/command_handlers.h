// The command handlers of a control session, and the dispatcher that runs a command's handler.
//
// Every handler is named in its command's row of the command table (command_table.cpp); a row
// may share its handler with its X form (XCWD, XMKD...) or a sibling that differs in one step
// (STOR, APPE and STOU; LIST and NLST). A handler runs on the session's thread, only after the
// session's gates let the command through, takes the session and the parsed command, and
// answers through the session's reply senders. It reads like the protocol's steps: resolve
// the path, check the rights, start the transfer, reply.
#pragma once

namespace zelm {

class CFtpSession;
class CFtpCommand;

// Runs the handler of `command`'s table row (the command passed the session's gates).
void DispatchCommand(CFtpSession& session, CFtpCommand& command);

// Login and connection (command_handlers.cpp): USER and PASS, REIN, QUIT.
void HandleUserPass(CFtpSession& session, CFtpCommand& command);
void HandleRein(CFtpSession& session, CFtpCommand& command);
void HandleQuit(CFtpSession& session, CFtpCommand& command);
// Directories (command_handlers.cpp), each also for its X form.
void HandleCwd(CFtpSession& session, CFtpCommand& command);
void HandleCdup(CFtpSession& session, CFtpCommand& command);
void HandlePwd(CFtpSession& session, CFtpCommand& command);
void HandleMkd(CFtpSession& session, CFtpCommand& command);
void HandleRmd(CFtpSession& session, CFtpCommand& command);
// Informational (command_handlers.cpp).
void HandleHelp(CFtpSession& session, CFtpCommand& command);
void HandleSite(CFtpSession& session, CFtpCommand& command);
void HandleSyst(CFtpSession& session, CFtpCommand& command);
void HandleNoop(CFtpSession& session, CFtpCommand& command);
void HandleFeat(CFtpSession& session, CFtpCommand& command);
void HandleAcct(CFtpSession& session, CFtpCommand& command);
// Transfer parameters (transfer_commands.cpp).
void HandlePort(CFtpSession& session, CFtpCommand& command);
void HandlePasv(CFtpSession& session, CFtpCommand& command);
void HandleType(CFtpSession& session, CFtpCommand& command);
void HandleStru(CFtpSession& session, CFtpCommand& command);
void HandleMode(CFtpSession& session, CFtpCommand& command);
void HandleRest(CFtpSession& session, CFtpCommand& command);
void HandleAbor(CFtpSession& session, CFtpCommand& command);
// Transfers (transfer_commands.cpp): RETR; STOR, APPE and STOU; LIST, NLST and MLSD.
void HandleRetrieve(CFtpSession& session, CFtpCommand& command);
void HandleStore(CFtpSession& session, CFtpCommand& command);
void HandleList(CFtpSession& session, CFtpCommand& command);
// The later RFCs' commands (extension_commands.cpp), with "Extensions" on.
void HandleEpsv(CFtpSession& session, CFtpCommand& command);
void HandleEprt(CFtpSession& session, CFtpCommand& command);
void HandleMdtm(CFtpSession& session, CFtpCommand& command);
void HandleMfmt(CFtpSession& session, CFtpCommand& command);
void HandleMlst(CFtpSession& session, CFtpCommand& command);
void HandleOpts(CFtpSession& session, CFtpCommand& command);
// FTPS (tls_commands.cpp), while the service offers TLS.
void HandleAuth(CFtpSession& session, CFtpCommand& command);
void HandlePbsz(CFtpSession& session, CFtpCommand& command);
void HandleProt(CFtpSession& session, CFtpCommand& command);
void HandleCcc(CFtpSession& session, CFtpCommand& command);
// After EPSV ALL: answers the refusal of a PORT or PASV and returns true.
bool RefuseAfterEpsvAll(CFtpSession& session, CFtpCommand& command);
// Files (file_commands.cpp).
void HandleDele(CFtpSession& session, CFtpCommand& command);
void HandleRnfr(CFtpSession& session, CFtpCommand& command);
void HandleRnto(CFtpSession& session, CFtpCommand& command);
void HandleSize(CFtpSession& session, CFtpCommand& command);

}  // namespace zelm
