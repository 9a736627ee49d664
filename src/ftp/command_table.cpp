// Owns the FTP command table: every command's name, parsing rules, gates, handler and syntax.
#include "ftp/command_handlers.h"
#include "ftp/command_parser.h"

namespace zelm {

namespace {

// Gates, short for the table's width.
constexpr uint32_t kLogin = kGateBeforeLogin;
constexpr uint32_t kBusy = kGateWhileBusy;
constexpr uint32_t kAlways = kGateBeforeLogin | kGateWhileBusy;
constexpr uint32_t kExt = kGateExtension;
constexpr uint32_t kTls = kGateTls | kGateBeforeLogin;

}  // namespace

// In search order: the first row whose name prefixes the line wins (CWD before XCWD, PWD
// before XPWD). Columns: id, name, argument optional, parameter count, argument kind, gates,
// handler, HELP's syntax text.
// clang-format off
const FtpCommandDef kFtpCommands[] = {
    {kCmdAbor, "ABOR", 0, 0, 0x000, kBusy, HandleAbor, "Syntax: ABOR (abort operation)"},
    {kCmdAcct, "ACCT", 0, 1, 0x020, 0, HandleAcct, "Syntax: ACCT (specify account)"},
    {kCmdAppe, "APPE", 0, 1, 0x004, 0, HandleStore, "Syntax: APPE <sp> file-name"},
    {kCmdAuth, "AUTH", 0, 1, 0x020, kTls, HandleAuth, "Syntax: AUTH <sp> TLS"},
    {kCmdCcc, "CCC", 0, 0, 0x000, kTls, HandleCcc, "Syntax: CCC (clear command channel)"},
    {kCmdCdup, "CDUP", 0, 0, 0x000, 0, HandleCdup, "Syntax: CDUP (change to parent directory)"},
    {kCmdCwd, "CWD", 1, 1, 0x001, 0, HandleCwd, "Syntax: CWD [ <sp> directory-name ]"},
    {kCmdXcwd, "XCWD", 1, 1, 0x001, 0, HandleCwd, "Syntax: XCWD [ <sp> directory-name ]"},
    {kCmdDele, "DELE", 0, 1, 0x004, 0, HandleDele, "Syntax: DELE <sp> file-name"},
    {kCmdEprt, "EPRT", 0, 1, 0x280, kExt, HandleEprt, "Syntax: EPRT <sp> |1|address|port|"},
    {kCmdEpsv, "EPSV", 1, 1, 0x080, kExt, HandleEpsv, "Syntax: EPSV [ <sp> 1 | ALL ]"},
    {kCmdFeat, "FEAT", 0, 0, 0x000, kGateBeforeLoginWithExtensions, HandleFeat, nullptr},
    {kCmdHelp, "HELP", 1, 1, 0x020, kAlways, HandleHelp, "Syntax: HELP [ <sp> <string>]"},
    {kCmdList, "LIST", 1, 1, 0x008, 0, HandleList, "Syntax: LIST [ <sp> path-name ]"},
    {kCmdMdtm, "MDTM", 0, 1, 0x004, kExt, HandleMdtm, "Syntax: MDTM <sp> file-name"},
    {kCmdMfmt, "MFMT", 0, 1, 0x004, kExt, HandleMfmt, "Syntax: MFMT <sp> YYYYMMDDHHMMSS <sp> path"},
    {kCmdMkd, "MKD", 0, 1, 0x002, 0, HandleMkd, "Syntax: MKD <sp> path-name"},
    {kCmdMlsd, "MLSD", 1, 1, 0x008, kExt, HandleList, "Syntax: MLSD [ <sp> path-name ]"},
    {kCmdMlst, "MLST", 1, 1, 0x008, kExt, HandleMlst, "Syntax: MLST [ <sp> path-name ]"},
    {kCmdMode, "MODE", 0, 1, 0x010, kBusy, HandleMode, "Syntax: MODE (specify transfer mode)"},
    {kCmdNlst, "NLST", 1, 1, 0x008, 0, HandleList, "Syntax: NLST [ <sp> path-name ]"},
    {kCmdNoop, "NOOP", 0, 0, 0x000, 0, HandleNoop, "Syntax: NOOP"},
    {kCmdOpts, "OPTS", 0, 1, 0x020, kExt | kGateBeforeLoginWithExtensions, HandleOpts,
     "Syntax: OPTS <sp> UTF8 <sp> ON | OFF"},
    {kCmdPass, "PASS", 1, 1, 0x020, kLogin, HandleUserPass, "Syntax: PASS <sp> password"},
    {kCmdPasv, "PASV", 0, 0, 0x000, 0, HandlePasv, "Syntax: PASV (set server in passive mode)"},
    {kCmdPbsz, "PBSZ", 0, 1, 0x020, kTls, HandlePbsz, "Syntax: PBSZ <sp> 0"},
    {kCmdProt, "PROT", 0, 1, 0x020, kTls, HandleProt, "Syntax: PROT <sp> C | P"},
    {kCmdPwd, "PWD", 0, 0, 0x000, 0, HandlePwd, "Syntax: PWD (return current directory)"},
    {kCmdPort, "PORT", 0, 1, 0x280, kLogin, HandlePort, "Syntax: PORT <sp> h1,h2,h3,h4,p1,p2"},
    {kCmdQuit, "QUIT", 0, 0, 0x000, kAlways, HandleQuit, "Syntax: QUIT (terminate service)"},
    {kCmdRein, "REIN", 0, 0, 0x000, kAlways, HandleRein,
     "Syntax: REIN (reinitialize server state)"},
    {kCmdRest, "REST", 1, 1, 0x240, 0, HandleRest, "Syntax: REST <sp> marker"},
    {kCmdRetr, "RETR", 0, 1, 0x001, 0, HandleRetrieve, "Syntax: RETR <sp> file-name"},
    {kCmdRmd, "RMD", 0, 1, 0x002, 0, HandleRmd, "Syntax: RMD <sp> path-name"},
    {kCmdRnfr, "RNFR", 0, 1, 0x001, 0, HandleRnfr, "Syntax: RNFR <sp> file-name"},
    {kCmdRnto, "RNTO", 0, 1, 0x001, 0, HandleRnto, "Syntax: RNTO <sp> file-name"},
    {kCmdSize, "SIZE", 0, 1, 0x004, 0, HandleSize, "Syntax: SIZE (sp) file-name"},
    {kCmdSite, "SITE", 1, 1, 0x220, 0, HandleSite, "Syntax: SITE (site-specific commands)"},
    {kCmdStor, "STOR", 0, 1, 0x008, 0, HandleStore, "Syntax: STOR <sp> file-name"},
    {kCmdStou, "STOU", 0, 0, 0x000, 0, HandleStore, "Syntax: STOU (store unique file)"},
    {kCmdStru, "STRU", 0, 1, 0x010, 0, HandleStru, "Syntax: STRU (specify file structure)"},
    {kCmdSyst, "SYST", 0, 0, 0x000, 0, HandleSyst, "Syntax: SYST (get operating system type)"},
    {kCmdType, "TYPE", 0, 2, 0x110, kBusy, HandleType, "Syntax: TYPE <sp> [ A | E | I | L ]"},
    {kCmdUser, "USER", 0, 1, 0x020, kLogin, HandleUserPass, "Syntax: USER <sp> username"},
    {kCmdXcup, "XCUP", 0, 0, 0x000, 0, HandleCdup, "Syntax: XCUP (change to parent directory)"},
    {kCmdXmkd, "XMKD", 0, 1, 0x002, 0, HandleMkd, "Syntax: MKD <sp> path-name"},
    {kCmdXpwd, "XPWD", 0, 0, 0x000, 0, HandlePwd, "Syntax: PWD (return current directory)"},
    {kCmdXrmd, "XRMD", 0, 1, 0x002, 0, HandleRmd, "Syntax: XRMD <sp> path-name"},
    {0, "", 0, 1, 0, 0, nullptr, nullptr},
};
// clang-format on

namespace {

// Commands HELP knows by name only: no row matches them, so a line naming them is unknown.
struct NameOnlySyntax {
  FtpCommandId id;
  const char* text;
};
constexpr NameOnlySyntax kNameOnlySyntax[] = {
    {21, "Syntax: ALLO (allocate storage vacuously)"},
    {31, "Syntax: STAT (get server status)"},
    {40, "Syntax: SMNT <sp> pathname"},
};

}  // namespace

bool GetCommandSyntax(FtpCommandId id, std::string& text) {
  if (id == 0) return false;
  for (const FtpCommandDef* row = kFtpCommands; row->id != 0; ++row) {
    if (row->id == id) {
      if (row->syntax == nullptr) return false;
      text = row->syntax;
      return true;
    }
  }
  for (const NameOnlySyntax& entry : kNameOnlySyntax) {
    if (entry.id == id) {
      text = entry.text;
      return true;
    }
  }
  return false;
}

}  // namespace zelm
