// The FTP command vocabulary and the parser that turns one received control line into a
// `CFtpCommand`: its identifier, its table row and its validated argument.
//
// Each row of the command table (command_table.cpp) says everything about one command: its
// name and parsing rules, which the parser reads; its gates (whether it may run before the
// login, or while a data connection or a login answer is awaited), which the control session
// applies; its handler, which the session runs; and the syntax text HELP shows. A new command
// is one row and one handler.
//
// The parser decides only whether a line is well formed; failures are reported through
// `CFtpCommand::error`, which the reply builder turns into the reply text.
// Thread safety: the table is read-only; a `CFtpCommand` belongs to the session's thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zelm {

class CFtpSession;
class CFtpCommand;

using FtpCommandId = uint32_t;

// Command identifiers; the numbers are fixed (14 to 20 are unused).
enum : FtpCommandId {
  kCmdUser = 1,
  kCmdPass = 2,
  kCmdAcct = 3,
  kCmdRein = 4,
  kCmdQuit = 5,
  kCmdPort = 6,
  kCmdPasv = 7,
  kCmdType = 8,
  kCmdStru = 9,
  kCmdMode = 10,
  kCmdRetr = 11,
  kCmdStor = 12,
  kCmdAppe = 13,
  kCmdAllo = 21,
  kCmdRest = 22,
  kCmdRnfr = 23,
  kCmdRnto = 24,
  kCmdAbor = 25,
  kCmdDele = 26,
  kCmdList = 27,
  kCmdNlst = 28,
  kCmdSize = 29,
  kCmdSite = 30,
  kCmdStat = 31,
  kCmdHelp = 32,
  kCmdNoop = 33,
  kCmdCwd = 34,
  kCmdXcwd = 35,
  kCmdCdup = 36,
  kCmdXcup = 37,
  kCmdPwd = 38,
  kCmdXpwd = 39,
  kCmdSmnt = 40,
  kCmdStou = 41,
  kCmdRmd = 42,
  kCmdXrmd = 43,
  kCmdMkd = 44,
  kCmdXmkd = 45,
  kCmdSyst = 46,
  kCmdFeat = 47,
  // The extensions of later RFCs (setting "Extensions").
  kCmdEprt = 48,
  kCmdEpsv = 49,
  kCmdMdtm = 50,
  kCmdMfmt = 51,
  kCmdMlsd = 52,
  kCmdMlst = 53,
  kCmdOpts = 54,
  // FTPS (RFC 4217), while the service offers TLS.
  kCmdAuth = 55,
  kCmdPbsz = 56,
  kCmdProt = 57,
  kCmdCcc = 58,
};

// Parse failures carried in `CFtpCommand::error`.
enum : uint32_t {
  kParseOk = 0,
  kParseUnknownCommand = 500,
  kParseBadParameter = 457,
  kParseWrongParameterCount = 458,
};

// Bits of `FtpCommandDef::argKind` the parser consults.
inline constexpr uint32_t kArgSingleLetter = 0x10;
inline constexpr uint32_t kArgOneWordMask = 0xD0;

// Bits of `FtpCommandDef::gates`: when the control session lets the command run.
inline constexpr uint32_t kGateBeforeLogin = 0x1;  // also before the login
inline constexpr uint32_t kGateWhileBusy = 0x2;    // also while a data connection or a login
                                                   // answer is awaited, or a transfer runs
inline constexpr uint32_t kGateExtension = 0x4;    // exists only with "Extensions" on
inline constexpr uint32_t kGateBeforeLoginWithExtensions = 0x8;  // before the login too, with
                                                                 // "Extensions" on (FEAT)
inline constexpr uint32_t kGateTls = 0x10;  // exists only while the service offers TLS

// Runs a command that passed the gates (command_handlers.h); on the session's thread.
using FtpCommandHandler = void (*)(CFtpSession& session, CFtpCommand& command);

// One row of the command table.
struct FtpCommandDef {
  FtpCommandId id = 0;
  char name[8] = {};
  uint32_t argOptional = 0;  // 1: the argument may be left out
  uint32_t paramCount = 0;   // 0: none, 1: one, 2: up to two (TYPE)
  uint32_t argKind = 0;      // bit mask, see kArgSingleLetter and kArgOneWordMask
  uint32_t gates = 0;        // bit mask, see kGateBeforeLogin and kGateWhileBusy
  FtpCommandHandler handler = nullptr;
  const char* syntax = nullptr;  // what HELP shows for the command

  bool RunsBeforeLogin(bool extensions = false) const {
    return (gates & kGateBeforeLogin) != 0 ||
           (extensions && (gates & kGateBeforeLoginWithExtensions) != 0);
  }
  bool RunsWhileBusy() const { return (gates & kGateWhileBusy) != 0; }
};

// The command table in search order (the first row whose name prefixes the line wins); ends
// with a row whose id is 0 and name empty.
extern const FtpCommandDef kFtpCommands[];

// One received control line, parsed.
class CFtpCommand {
 public:
  CFtpCommand() = default;
  virtual ~CFtpCommand() = default;
  CFtpCommand(const CFtpCommand&) = delete;
  CFtpCommand& operator=(const CFtpCommand&) = delete;

  // Parses `line`, the whole received text still ending in CR LF (it is read up to its first
  // NUL byte). True: `def`, `argOffset`, `argLength` and `argument` are filled. False: `error`
  // says why, or stays 0 when the line holds no CR LF at all.
  // With `extensions` off, the rows of the later RFCs' commands (kGateExtension) do not
  // exist: the command table is the original one.
  // With `tls` off, neither do the rows of FTPS (kGateTls).
  bool Parse(std::string_view line, bool extensions = false, bool tls = false);

  bool Is(FtpCommandId id) const { return def.id == id; }
  bool HasArgument() const { return argLength != 0; }
  // The received line, when the session has set it, else nothing (data() null).
  bool HasLine() const { return line.data() != nullptr; }
  // Forgets the argument and the line.
  void FreeArgument();

  FtpCommandDef def;          // copy of the matched row; all zero while nothing matched
  uint32_t argOffset = 0;     // where the argument starts in the line
  uint32_t argLength = 0;     // argument length in bytes; 0 = no argument
  std::string argument;       // the argument text; empty when there is none
  uint32_t error = kParseOk;  // 0, 500, 457 or 458
  // The received line without its CR LF, set by the control session after parsing so that
  // error replies can quote it; not owned.
  std::string_view line;
};

// The table search applied to any text (HELP's argument): the id of the first row whose
// name prefixes `text` (case-insensitive), or 0.
FtpCommandId LookupCommandId(std::string_view text);

// The syntax text HELP shows for a command identifier (a row's, or one of the few commands
// known by name only, which no row matches); false for ids without one.
bool GetCommandSyntax(FtpCommandId id, std::string& text);

}  // namespace zelm
