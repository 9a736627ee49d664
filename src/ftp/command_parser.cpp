// Owns the parsing of one control line against the command table.
#include "ftp/command_parser.h"

#include <cctype>
#include <cstring>

namespace zelm {

namespace {

bool LettersMatch(char a, char b) {
  return a == b ||
         std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

// The first row whose name is a prefix of `text`, or the terminator.
const FtpCommandDef& FindRow(std::string_view text, bool extensions, bool tls) {
  const FtpCommandDef* row = kFtpCommands;
  for (; row->id != 0; ++row) {
    if (!extensions && (row->gates & kGateExtension) != 0) continue;
    if (!tls && (row->gates & kGateTls) != 0) continue;
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

bool CFtpCommand::Parse(std::string_view text, bool extensions, bool tls) {
  // The line is a C string: nothing after its first NUL counts.
  if (const size_t nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
  if (text.find("\r\n") == std::string_view::npos) return false;

  const FtpCommandDef& row = FindRow(text, extensions, tls);
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
  return FindRow(text, false, false).id;
}

}  // namespace zelm
