// The command handlers of a control session, and the dispatcher that picks one by command id.
//
// Every handler runs on the session's thread, takes the session and the parsed command, and
// answers through the session's reply senders.
#pragma once

namespace zelm {

class CFtpSession;
class CFtpCommand;

// Runs the handler of `command` (which passed the session's gates).
void DispatchCommand(CFtpSession& session, CFtpCommand& command);

// Login and connection commands.
void HandleUserPass(CFtpSession& session, CFtpCommand& command);
void HandleRein(CFtpSession& session, CFtpCommand& command);
void HandleQuit(CFtpSession& session, CFtpCommand& command);
// Directory commands: CWD, CDUP, PWD, MKD, RMD and their X forms.
void HandleDirectory(CFtpSession& session, CFtpCommand& command);
// Transfer parameters: PORT, PASV, TYPE, STRU, MODE, REST, ABOR.
void HandleTransferParameters(CFtpSession& session, CFtpCommand& command);
void HandleRetrieve(CFtpSession& session, CFtpCommand& command);
// STOR, APPE and STOU.
void HandleStore(CFtpSession& session, CFtpCommand& command);
// LIST and NLST.
void HandleList(CFtpSession& session, CFtpCommand& command);
// File commands: DELE, RNFR, RNTO, SIZE.
void HandleFileCommand(CFtpSession& session, CFtpCommand& command);
// Informational commands: HELP, SITE, SYST, NOOP, FEAT, ACCT.
void HandleInformational(CFtpSession& session, CFtpCommand& command);

}  // namespace zelm
