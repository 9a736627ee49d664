// Owns the FTPS commands (RFC 4217): AUTH, PBSZ, PROT and the refusal of CCC.
#include "ftp/command_handlers.h"
#include "ftp/ftp_session.h"
#include "vfs/ftp_path.h"

namespace zelm {

void HandleAuth(CFtpSession& session, CFtpCommand& command) {
  // "AUTH SSL" is the old name of the same thing; clients of both kinds get TLS.
  const bool known = EqualsNoCase(command.argument, "TLS") ||
                     EqualsNoCase(command.argument, "SSL") ||
                     EqualsNoCase(command.argument, "TLS-C");
  if (!known) {
    session.SendText(504, "AUTH " + command.argument + " not supported; use AUTH TLS.");
    return;
  }
  if (session.IsControlSecured()) {
    session.SendText(503, "The connection is protected already.");
    return;
  }
  if (session.IsLoggedIn()) {
    // A logged-in session's password has gone in clear already; RFC 4217 leaves this open,
    // and starting over (a new connection) is what the client should do.
    session.SendText(503, "AUTH TLS must come before the login.");
    return;
  }
  session.SendText(234, "AUTH TLS successful");
  session.SecureControlConnection();
}

void HandlePbsz(CFtpSession& session, CFtpCommand& command) {
  if (!session.IsControlSecured()) {
    session.SendText(503, "PBSZ needs a protected connection: send AUTH TLS first.");
    return;
  }
  // TLS has no buffer size of its own: 0 is the one value (RFC 4217, 8.1).
  session.SetPbsz();
  session.SendText(200, command.argument == "0" ? "PBSZ=0" : "PBSZ=0 (no other size is used)");
}

void HandleProt(CFtpSession& session, CFtpCommand& command) {
  if (!session.IsControlSecured()) {
    session.SendText(503, "PROT needs AUTH TLS first.");
    return;
  }
  if (EqualsNoCase(command.argument, "P")) {
    if (!session.IsPbszSet()) {  // RFC 4217: PBSZ before PROT P (clear needs no buffer size)
      session.SendText(503, "PROT P needs PBSZ 0 first.");
      return;
    }
    session.SetDataProtection(true);
    session.SendText(200, "Protection level set to P");
  } else if (EqualsNoCase(command.argument, "C")) {
    // With "TLS Mode" 2 the transfers that follow are refused (521), not the choice itself.
    session.SetDataProtection(false);
    session.SendText(200, "Protection level set to C");
  } else if (EqualsNoCase(command.argument, "S") || EqualsNoCase(command.argument, "E")) {
    session.SendText(536, "PROT " + command.argument + " is not supported with TLS.");
  } else {
    session.SendText(504, "PROT takes C or P.");
  }
}

void HandleCcc(CFtpSession& session, CFtpCommand& command) {
  (void)command;
  // SECURITY: once protected, the control connection stays so (a clear channel would show
  // every later command to the café LAN).
  session.SendText(534, "CCC refused: the control connection stays protected.");
}

}  // namespace zelm
