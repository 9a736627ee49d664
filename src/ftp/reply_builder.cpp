// Owns the reply string table and the mapping of reply codes onto numbered reply lines.
#include "ftp/reply_builder.h"

#include <cctype>
#include <cstdio>

#include "ftp/command_parser.h"

namespace zelm {
namespace {

struct ReplyText {
  uint32_t id;
  const char* text;
};

// The texts are the system's own, letter for letter: clients and scripts match them.
constexpr ReplyText kReplyTexts[] = {
    {102, "Data connection already open; Transfer starting"},
    {103, "Opening %s mode data connection for /bin/ls."},
    {104, "Type set to %s."},
    {105, "PORT command successful."},
    {107, "'%s': Command okay."},
    {109,
     "The following  commands are recognized(* ==>'s unimplemented).\r\n"
     "   ABOR \r\n   ACCT \r\n   ALLO \r\n   APPE \r\n   CDUP \r\n   CWD  \r\n   DELE \r\n"
     "   HELP \r\n   LIST \r\n   MDTM \r\n   MKD  \r\n   MODE \r\n   NLST \r\n   NOOP \r\n"
     "   PASS \r\n   PASV \r\n   PORT \r\n   PWD  \r\n   QUIT \r\n   REIN \r\n   REST \r\n"
     "   RETR \r\n   RMD  \r\n   RNFR \r\n   RNTO \r\n   SITE \r\n   SIZE \r\n   SMNT \r\n"
     "   STAT \r\n   STOR \r\n   STOU \r\n   STRU \r\n   SYST \r\n   TYPE \r\n   USER \r\n"
     "   XCUP \r\n   XCWD \r\n   XMKD \r\n   XPWD \r\n   XRMD\r\n"
     "HELP command successful."},
    {114, "%s user logged in."},
    {115, "Password required for user %s"},
    {116, "Entering Passive Mode (%s)."},
    {117, "%s Cannot find specified directory of file name."},
    {118, "Service ready for new user."},
    {119, "Please login with USER and PASS."},
    {120, "Transfer complete."},
    {121, "User (%s) is invalid, or incorrect password"},
    {122, "Can't open data connection."},
    {123, "'%s': Command syntax error in parameters or arguments"},
    {124, "%s Command not imlemented"},
    {125, "%s Bad command sequence"},
    {126, "%s File exists, ready for destination name"},
    {127, "\"%s\" Directory created successfully"},
    {128, "Command aborted; exceeded max storage allowed."},
    {129, "'%s': File name or directory name is invalid"},
    {130, "\"%s\" is the current directory."},
    {131, "Opening %s mode data connection for %s."},
    {132, "'%s' cannot be created because it is already exist."},
    {133, "%s: Access denied."},
    {134, "%s: Action cannot be performed; system error."},
    {135, "'%s': Invalid number of parameters"},
    {136, "%s not implemented."},
    {137, "Byte size must be 8."},
    {138, "Login with USER first."},
    {139, "'%s': %s"},
    {140, "Connection closed; transfer aborted."},
    {141,
     "The following SITE  commands are recognized(* ==>'s unimplemented).\r\n"
     "   CKM      \r\n   DIRSTYLE \r\n   HELP     \r\n   STATS    \r\n"
     "HELP command successful."},
    {142, "Unknown command %s"},
    {143, "Terminating connection."},
    {144, "'%s': Invalid PORT address."},
    {145, "Invalid PORT Command "},
    {146, "Zelmar FTP Service ready for a new user"},
    {147, "Thank you for using Zelmar FTP Service"},
    {148, "Anonymous access allowed, send identity (e-mail name) as password."},
    {149, "Anonymous access is not allowed in this server."},
    {150,
     "Sorry.. \r\nThis server has reached the maximum connections allowed at this moment!\r\n"
     "Please try connecting again later."},
    {151,
     "Sorry!\r\nNo more Anonymous access available at this moment.\r\nYou may try again later."},
    {152, "User '%s' cannot log in because of max session filter."},
    {153, "File action failed."},
    {154, "Command okay."},
};

// printf-style filling of the "%s" placeholders, in order, with `args`; placeholders beyond
// the arguments stay as they are.
std::string FillPlaceholders(std::string_view format,
                             std::initializer_list<std::string_view> args) {
  std::string out;
  out.reserve(format.size() + 64);
  auto next = args.begin();
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 's' && next != args.end()) {
      out.append(*next++);
      ++i;
    } else {
      out.push_back(format[i]);
    }
  }
  return out;
}

std::string_view NameOf(const CFtpCommand* command) {
  return command != nullptr ? std::string_view(command->def.name) : std::string_view();
}

std::string_view ArgumentOf(const CFtpCommand* command) {
  return command != nullptr ? std::string_view(command->argument) : std::string_view();
}

// The received line when the session set it, otherwise the argument.
std::string_view LineOf(const CFtpCommand* command) {
  if (command == nullptr) return {};
  return command->HasLine() ? command->line : std::string_view(command->argument);
}

bool IsAny(const CFtpCommand* command, FtpCommandId a, FtpCommandId b) {
  return command != nullptr && (command->Is(a) || command->Is(b));
}

}  // namespace

const char* GetReplyText(uint32_t id) {
  for (const ReplyText& entry : kReplyTexts) {
    if (entry.id == id) return entry.text;
  }
  return nullptr;
}

std::string DoubleQuotes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    out += c;
    if (c == '"') out += '"';
  }
  return out;
}

void LoadReplyText(CFtpReply& reply, uint32_t code, uint32_t textId, std::string_view arg) {
  const char* text = GetReplyText(textId);
  if (text == nullptr) {
    reply.Reset();
    return;
  }
  reply.AddLines(code, arg.empty() ? std::string(text) : FillPlaceholders(text, {arg}));
}

void LoadReplyText(CFtpReply& reply, uint32_t code, uint32_t textId, std::string_view arg1,
                   std::string_view arg2) {
  const char* text = GetReplyText(textId);
  if (text == nullptr) {
    reply.Reset();
    return;
  }
  reply.AddLines(code, FillPlaceholders(text, {arg1, arg2}));
}

bool CFtpReply::AddLines(uint32_t code, std::string_view text) {
  buffer_.clear();
  char prefix[16];
  if (text.empty()) {
    std::snprintf(prefix, sizeof prefix, "%03u \r\n", code);
    buffer_ = prefix;
    return true;
  }
  buffer_.reserve(text.size() + 16);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    const bool last = end == std::string_view::npos || end + 2 >= text.size();
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    if (last) {
      std::snprintf(prefix, sizeof prefix, "%03u ", code);
      buffer_ += prefix;
    } else if (line.empty() || line[0] != ' ') {
      std::snprintf(prefix, sizeof prefix, "%03u-", code);
      buffer_ += prefix;
    }
    buffer_.append(line);
    buffer_ += "\r\n";
    start = end + 2;
  }
  return true;
}

bool CFtpReply::BuildPositive(uint32_t code, const CFtpCommand* command, std::string_view extra) {
  Reset();
  const bool haveExtra = !extra.empty();
  switch (code) {
    case 125:
      LoadReplyText(*this, 125, kTextDataAlreadyOpen, {});
      break;
    case 150:
      if (command != nullptr && !IsAny(command, kCmdList, kCmdNlst)) {
        if (haveExtra) LoadReplyText(*this, 150, kTextOpeningTransfer, extra, ArgumentOf(command));
      } else if (haveExtra) {
        LoadReplyText(*this, 150, kTextOpeningListing, extra);
      }
      break;
    case 200:
      if (IsAny(command, kCmdPort, kCmdPort)) {
        LoadReplyText(*this, 200, kTextPortOk, {});
      } else if (IsAny(command, kCmdType, kCmdType)) {
        LoadReplyText(*this, 200, kTextTypeSet, haveExtra ? extra : "A");
      } else {
        LoadReplyText(*this, 200, kTextCommandOk, NameOf(command));
      }
      break;
    case 214:
      LoadReplyText(*this, 214, kTextHelpList, {});
      break;
    case 220:
      LoadReplyText(*this, 220, kTextServiceReady, {});
      break;
    case 225:
    case 250:
      LoadReplyText(*this, code, kTextCommandOk, NameOf(command));
      break;
    case 226:
      LoadReplyText(*this, 226, kTextTransferComplete, {});
      break;
    case 227:
      if (haveExtra) LoadReplyText(*this, 227, kTextPassiveMode, extra);
      break;
    case 230:
      if (haveExtra) LoadReplyText(*this, 230, kTextLoggedIn, extra);
      break;
    case 257:
      // A quote inside the quoted name is doubled, so that clients read the whole name.
      if (IsAny(command, kCmdPwd, kCmdXpwd)) {
        LoadReplyText(*this, 257, kTextCurrentDirectory, DoubleQuotes(extra));
      } else {
        LoadReplyText(*this, 257, kTextDirectoryCreated, DoubleQuotes(ArgumentOf(command)));
      }
      break;
    case 331:
      if (haveExtra) LoadReplyText(*this, 331, kTextPasswordRequired, extra);
      break;
    case 350:
      if (IsAny(command, kCmdRnfr, kCmdRnfr)) {
        LoadReplyText(*this, 350, kTextFileExists, ArgumentOf(command));
      }
      break;
    case 421:
      LoadReplyText(*this, 421, kTextTerminating, {});
      break;
    case kReplySiteHelp:
      LoadReplyText(*this, 214, kTextSiteHelpList, {});
      break;
    case kReplyCommandHelp: {
      std::string syntax;
      const std::string_view argument = ArgumentOf(command);
      if (GetCommandSyntax(command != nullptr ? LookupCommandId(argument) : 0, syntax)) {
        AddLines(214, syntax);
      } else {
        std::string upper(LineOf(command));
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        LoadReplyText(*this, 501, kTextUnknownCommand, upper);
      }
      break;
    }
    case kReplyAnonymousWelcome:
      LoadReplyText(*this, 331, kTextAnonymousWelcome, {});
      break;
    default:
      if (command != nullptr) {
        LoadReplyText(*this, 250, kTextCommandOk, NameOf(command));
      } else {
        LoadReplyText(*this, 250, kTextOkay, {});
      }
      break;
  }
  return !IsEmpty();
}

bool CFtpReply::BuildError(uint32_t code, const CFtpCommand* command, std::string_view extra) {
  Reset();
  const std::string_view line = LineOf(command);
  const std::string_view argument = ArgumentOf(command);
  switch (code) {
    case 425:
      LoadReplyText(*this, 425, kTextCantOpenData, {});
      break;
    case 426:
      LoadReplyText(*this, 426, kTextTransferAborted, {});
      break;
    case 450:
    case 451:
    case 452:
    case 505:
      LoadReplyText(*this, code, kTextFileActionFailed, {});
      break;
    case kParseBadParameter:
      LoadReplyText(*this, 500, kTextSyntaxError, line, {});
      break;
    case kParseWrongParameterCount:
      LoadReplyText(*this, 500, kTextParameterCount, line);
      break;
    case 501:
      return BuildPositive(kReplyCommandHelp, command, extra);
    case 502:
      LoadReplyText(*this, 502, kTextNotImplemented, line);
      break;
    case 503:
      if (IsAny(command, kCmdPass, kCmdPass)) {
        LoadReplyText(*this, 503, kTextLoginFirst, {});
      } else {
        LoadReplyText(*this, 503, kTextBadSequence, line);
      }
      break;
    case 504:
      LoadReplyText(*this, 504, kTextParameterNotImplemented, line);
      break;
    case 530:
      if (command != nullptr && !command->Is(kCmdPass)) {
        LoadReplyText(*this, 530, kTextPleaseLogin, {});
      } else if (!extra.empty()) {
        LoadReplyText(*this, 530, kTextInvalidUser, extra);
      }
      break;
    case 550:
      LoadReplyText(*this, 550, kTextNotFound, argument);
      break;
    case 552:
      LoadReplyText(*this, 552, kTextStorageExceeded, {});
      break;
    case 553:
      LoadReplyText(*this, 550, kTextInvalidName, argument);
      break;
    case kReplyAlreadyExists:
      LoadReplyText(*this, 550, kTextAlreadyExist, argument);
      break;
    case kReplyAccessDenied:
      LoadReplyText(*this, 550, kTextAccessDenied, line);
      break;
    case kReplySystemErrorText:
      if (!extra.empty()) {
        LoadReplyText(*this, 550, kTextQuoted, line, extra);
        break;
      }
      [[fallthrough]];
    case kReplySystemError:
      LoadReplyText(*this, 550, kTextSystemError, line);
      break;
    case kReplyByteSize:
      LoadReplyText(*this, 504, kTextByteSize, line);
      break;
    case kReplyTransferStalled:
      LoadReplyText(*this, 452, kTextFileActionFailed, {});
      break;
    case kReplyBadPortAddress:
      if (command != nullptr) {
        LoadReplyText(*this, 500, kTextInvalidPortAddress, line);
      } else {
        LoadReplyText(*this, 500, kTextInvalidPort, {});
      }
      break;
    case kReplyConnectionLimit:
      LoadReplyText(*this, 421, kTextTooManyConnections, {});
      break;
    case kReplySessionLimit:
      if (!extra.empty()) LoadReplyText(*this, 530, kTextSessionLimit, extra);
      break;
    case kReplyAnonymousRefused:
      LoadReplyText(*this, 530, kTextAnonymousRefused, {});
      break;
    case kReplyAnonymousLimit:
      LoadReplyText(*this, 530, kTextAnonymousLimit, {});
      break;
    default:
      if (command != nullptr) {
        // An empty line quotes nothing: no placeholder is left in the reply.
        LoadReplyText(*this, 500, kTextSyntaxError, line, {});
      } else {
        LoadReplyText(*this, 500, kTextFileActionFailed, {});
      }
      break;
  }
  return !IsEmpty();
}

}  // namespace zelm
