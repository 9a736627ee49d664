// CFtpReply: every reply the server writes on a control connection is built here.
//
// Callers name a reply code, optionally the current command and an extra string; the builder
// picks the text from the string table, fills its placeholder and lays the text out as
// numbered lines ("%03u-" before every line but the last, "%03u " before the last, a line
// that starts with a blank unprefixed). Besides FTP codes the builder takes the extended
// codes 800 to 813 below, each standing for one outcome.
// Thread safety: a reply is built and used on one thread; the string table is read-only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zelm {

class CFtpCommand;

// Extended reply codes: particular outcomes that map to an FTP code and a text.
enum : uint32_t {
  kReplyAlreadyExists = 800,
  kReplyAccessDenied = 801,
  kReplySystemError = 802,
  kReplySystemErrorText = 803,
  kReplyByteSize = 804,
  kReplySiteHelp = 805,
  kReplyCommandHelp = 806,
  kReplyTransferStalled = 807,
  kReplyBadPortAddress = 808,
  kReplyConnectionLimit = 809,
  kReplySessionLimit = 810,
  kReplyAnonymousWelcome = 811,
  kReplyAnonymousRefused = 812,
  kReplyAnonymousLimit = 813,
};

// Ids of the reply texts (the string table).
enum ReplyTextId : uint32_t {
  kTextDataAlreadyOpen = 102,
  kTextOpeningListing = 103,
  kTextTypeSet = 104,
  kTextPortOk = 105,
  kTextCommandOk = 107,
  kTextHelpList = 109,
  kTextLoggedIn = 114,
  kTextPasswordRequired = 115,
  kTextPassiveMode = 116,
  kTextNotFound = 117,
  kTextServiceReady = 118,
  kTextPleaseLogin = 119,
  kTextTransferComplete = 120,
  kTextInvalidUser = 121,
  kTextCantOpenData = 122,
  kTextSyntaxError = 123,
  kTextNotImplemented = 124,
  kTextBadSequence = 125,
  kTextFileExists = 126,
  kTextDirectoryCreated = 127,
  kTextStorageExceeded = 128,
  kTextInvalidName = 129,
  kTextCurrentDirectory = 130,
  kTextOpeningTransfer = 131,
  kTextAlreadyExist = 132,
  kTextAccessDenied = 133,
  kTextSystemError = 134,
  kTextParameterCount = 135,
  kTextParameterNotImplemented = 136,
  kTextByteSize = 137,
  kTextLoginFirst = 138,
  kTextQuoted = 139,
  kTextTransferAborted = 140,
  kTextSiteHelpList = 141,
  kTextUnknownCommand = 142,
  kTextTerminating = 143,
  kTextInvalidPortAddress = 144,
  kTextInvalidPort = 145,
  kTextDefaultWelcome = 146,
  kTextDefaultQuit = 147,
  kTextAnonymousWelcome = 148,
  kTextAnonymousRefused = 149,
  kTextTooManyConnections = 150,
  kTextAnonymousLimit = 151,
  kTextSessionLimit = 152,
  kTextFileActionFailed = 153,
  kTextOkay = 154,
};

// The text of a string-table id; null for an id the table does not hold.
const char* GetReplyText(uint32_t id);
// `text` with every '"' doubled: a name inside the quotes of a 257 reply (RFC 959).
std::string DoubleQuotes(std::string_view text);

class CFtpReply {
 public:
  CFtpReply() = default;
  virtual ~CFtpReply() = default;
  CFtpReply(const CFtpReply&) = delete;
  CFtpReply& operator=(const CFtpReply&) = delete;

  // Lays `text` out as numbered lines under `code`, replacing what the reply held. An empty
  // text gives the bare "%03u \r\n". Always true.
  bool AddLines(uint32_t code, std::string_view text);

  // Success and informational replies. `command` may be null; `extra` may be empty. True when
  // a reply was built (some rows build nothing without an extra string).
  bool BuildPositive(uint32_t code, const CFtpCommand* command, std::string_view extra);
  // Error replies; code 501 is handed to the positive builder as the command-help code 806.
  bool BuildError(uint32_t code, const CFtpCommand* command, std::string_view extra);

  // Empties the reply.
  void Reset() { buffer_.clear(); }
  bool IsEmpty() const { return buffer_.empty(); }
  const std::string& Text() const { return buffer_; }
  uint32_t Length() const { return static_cast<uint32_t>(buffer_.size()); }

 private:
  std::string buffer_;
};

// Loads text `textId`, fills its "%s" with `arg` (an empty `arg` leaves the text as it is)
// and lays it out under `code`. An unknown text leaves the reply empty.
void LoadReplyText(CFtpReply& reply, uint32_t code, uint32_t textId, std::string_view arg);
// The two-argument form, always formatted (texts 131 and 139).
void LoadReplyText(CFtpReply& reply, uint32_t code, uint32_t textId, std::string_view arg1,
                   std::string_view arg2);

}  // namespace zelm
