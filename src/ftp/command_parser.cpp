// Owns the FTP command table, the syntax texts and the parsing of one control line.
#include "ftp/command_parser.h"

#include <cctype>
#include <cstring>

namespace zelm {

const FtpCommandDef kFtpCommands[] = {
    {kCmdAbor, "ABOR", 0, 0, 0x000}, {kCmdAcct, "ACCT", 0, 1, 0x020},
    {kCmdAppe, "APPE", 0, 1, 0x004}, {kCmdCdup, "CDUP", 0, 0, 0x000},
    {kCmdCwd, "CWD", 1, 1, 0x001},   {kCmdXcwd, "XCWD", 1, 1, 0x001},
    {kCmdDele, "DELE", 0, 1, 0x004}, {kCmdFeat, "FEAT", 0, 0, 0x000},
    {kCmdHelp, "HELP", 1, 1, 0x020}, {kCmdList, "LIST", 1, 1, 0x008},
    {kCmdMkd, "MKD", 0, 1, 0x002},   {kCmdMode, "MODE", 0, 1, 0x010},
    {kCmdNlst, "NLST", 1, 1, 0x008}, {kCmdNoop, "NOOP", 0, 0, 0x000},
    {kCmdPass, "PASS", 1, 1, 0x020}, {kCmdPasv, "PASV", 0, 0, 0x000},
    {kCmdPwd, "PWD", 0, 0, 0x000},   {kCmdPort, "PORT", 0, 1, 0x280},
    {kCmdQuit, "QUIT", 0, 0, 0x000}, {kCmdRein, "REIN", 0, 0, 0x000},
    {kCmdRest, "REST", 1, 1, 0x240}, {kCmdRetr, "RETR", 0, 1, 0x001},
    {kCmdRmd, "RMD", 0, 1, 0x002},   {kCmdRnfr, "RNFR", 0, 1, 0x001},
    {kCmdRnto, "RNTO", 0, 1, 0x001}, {kCmdSize, "SIZE", 0, 1, 0x004},
    {kCmdSite, "SITE", 1, 1, 0x220}, {kCmdStor, "STOR", 0, 1, 0x008},
    {kCmdStou, "STOU", 0, 0, 0x000}, {kCmdStru, "STRU", 0, 1, 0x010},
    {kCmdSyst, "SYST", 0, 0, 0x000}, {kCmdType, "TYPE", 0, 2, 0x110},
    {kCmdUser, "USER", 0, 1, 0x020}, {kCmdXcup, "XCUP", 0, 0, 0x000},
    {kCmdXmkd, "XMKD", 0, 1, 0x002}, {kCmdXpwd, "XPWD", 0, 0, 0x000},
    {kCmdXrmd, "XRMD", 0, 1, 0x002}, {0, "", 0, 1, 0},
};

namespace {

struct SyntaxText {
  FtpCommandId id;
  const char* text;
};

constexpr SyntaxText kSyntaxTexts[] = {
    {1, "Syntax: USER <sp> username"},
    {2, "Syntax: PASS <sp> password"},
    {3, "Syntax: ACCT (specify account)"},
    {4, "Syntax: REIN (reinitialize server state)"},
    {5, "Syntax: QUIT (terminate service)"},
    {6, "Syntax: PORT <sp> h1,h2,h3,h4,p1,p2"},
    {7, "Syntax: PASV (set server in passive mode)"},
    {8, "Syntax: TYPE <sp> [ A | E | I | L ]"},
    {9, "Syntax: STRU (specify file structure)"},
    {10, "Syntax: MODE (specify transfer mode)"},
    {11, "Syntax: RETR <sp> file-name"},
    {12, "Syntax: STOR <sp> file-name"},
    {13, "Syntax: APPE <sp> file-name"},
    {21, "Syntax: ALLO (allocate storage vacuously)"},
    {22, "Syntax: REST <sp> marker"},
    {23, "Syntax: RNFR <sp> file-name"},
    {24, "Syntax: RNTO <sp> file-name"},
    {25, "Syntax: ABOR (abort operation)"},
    {26, "Syntax: DELE <sp> file-name"},
    {27, "Syntax: LIST [ <sp> path-name ]"},
    {28, "Syntax: NLST [ <sp> path-name ]"},
    {29, "Syntax: SIZE (sp) file-name"},
    {30, "Syntax: SITE (site-specific commands)"},
    {31, "Syntax: STAT (get server status)"},
    {32, "Syntax: HELP [ <sp> <string>]"},
    {33, "Syntax: NOOP"},
    {34, "Syntax: CWD [ <sp> directory-name ]"},
    {35, "Syntax: XCWD [ <sp> directory-name ]"},
    {36, "Syntax: CDUP (change to parent directory)"},
    {37, "Syntax: XCUP (change to parent directory)"},
    {38, "Syntax: PWD (return current directory)"},
    {39, "Syntax: PWD (return current directory)"},
    {40, "Syntax: SMNT <sp> pathname"},
    {41, "Syntax: STOU (store unique file)"},
    {42, "Syntax: RMD <sp> path-name"},
    {43, "Syntax: XRMD <sp> path-name"},
    {44, "Syntax: MKD <sp> path-name"},
    {45, "Syntax: MKD <sp> path-name"},
    {46, "Syntax: SYST (get operating system type)"},
};

bool LettersMatch(char a, char b) {
  return a == b ||
         std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

// The first row whose name is a prefix of `text`, or the terminator.
const FtpCommandDef& FindRow(std::string_view text) {
  const FtpCommandDef* row = kFtpCommands;
  for (; row->id != 0; ++row) {
    const size_t nameLength = std::strlen(row->name);
    if (text.size() < nameLength) continue;
    size_t i = 0;
    while (i < nameLength && LettersMatch(row->name[i], text[i])) ++i;
    if (i == nameLength) break;
  }
  return *row;
}

bool InLetterSet(FtpCommandId id, char letter) {
  const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  const char* set = id == kCmdType ? "AEI" : id == kCmdStru ? "FRP" : id == kCmdMode ? "SBC" : "";
  return upper != '\0' && std::strchr(set, upper) != nullptr;
}

bool IsCrLfAt(std::string_view text, size_t at) {
  return at + 1 < text.size() && text[at] == '\r' && text[at + 1] == '\n';
}

}  // namespace

void CFtpCommand::FreeArgument() {
  argument.clear();
  line = {};
}

bool CFtpCommand::Parse(std::string_view text) {
  // The line is a C string: nothing after its first NUL counts.
  if (const size_t nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
  if (text.find("\r\n") == std::string_view::npos) return false;

  const FtpCommandDef& row = FindRow(text);
  if (row.id == 0) {
    error = kParseUnknownCommand;
    return false;
  }
  def = row;
  FreeArgument();
  argOffset = 0;
  argLength = 0;
  size_t p = std::strlen(def.name);

  if (def.paramCount == 0) {
    while (p < text.size() && text[p] == ' ') ++p;
    if (IsCrLfAt(text, p)) return true;
    error = kParseWrongParameterCount;
    return false;
  }

  if (p < text.size() && text[p] != ' ' && def.argOptional == 0) {
    error = IsCrLfAt(text, p) ? kParseWrongParameterCount : kParseUnknownCommand;
    return false;
  }
  while (p < text.size() && text[p] == ' ') ++p;
  argOffset = static_cast<uint32_t>(p);

  size_t length = 0;
  while (p + length < text.size() && !IsCrLfAt(text, p + length)) ++length;
  if (def.argOptional == 0 && length == 0) {
    error = kParseWrongParameterCount;
    return false;
  }

  const std::string_view arg = text.substr(p, length);
  const bool singleLetter = (def.argKind & kArgSingleLetter) != 0;
  const bool oneWord = def.paramCount == 1 && (def.argKind & kArgOneWordMask) != 0;
  if (singleLetter) {
    // The letter must stand alone: the next byte is a blank, the line end or a control byte.
    const unsigned char second = arg.size() > 1 ? static_cast<unsigned char>(arg[1]) : 0;
    if (second > 0x20 || arg.empty() || !InLetterSet(def.id, arg[0])) {
      error = kParseBadParameter;
      return false;
    }
  }
  if (length == 0) return true;

  size_t i = 0;
  if (singleLetter) {
    i = 1;
  } else {
    while (i < length && arg[i] != ' ') ++i;
  }
  size_t trailingBlanks = 0;
  for (; i < length; ++i) {
    if (arg[i] == ' ') {
      ++trailingBlanks;
    } else if (arg[i] != '\r' && arg[i] != '\n') {
      trailingBlanks = 0;
      if (oneWord) {
        error = kParseBadParameter;
        return false;
      }
    }
  }
  if (trailingBlanks != 0 && oneWord) {
    length -= trailingBlanks;
  } else if (singleLetter && length - trailingBlanks == 1) {
    length -= trailingBlanks;
  }

  argument.assign(arg.substr(0, length));
  if (singleLetter && argument.size() > 2) {
    // "A    N" becomes "A N": the second parameter moves next to the first.
    const size_t next = argument.find_first_not_of(' ', 3);
    if (next != std::string::npos) {
      argument[2] = argument[next];
      argument.resize(3);
    }
  }
  argLength = static_cast<uint32_t>(length);
  return true;
}

FtpCommandId LookupCommandId(std::string_view text) {
  if (text.data() == nullptr) return 0;
  return FindRow(text).id;
}

bool GetCommandSyntax(FtpCommandId id, std::string& text) {
  for (const SyntaxText& entry : kSyntaxTexts) {
    if (entry.id == id) {
      text = entry.text;
      return true;
    }
  }
  return false;
}

}  // namespace zelm
