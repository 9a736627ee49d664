// The log of FTP commands and replies: every received command line and every sent reply is
// posted here with the session's user name and peer address.
//
// An entry goes to the operator's console (through the installed `CLogSink`, when there is
// one) and, as one line, to standard error, which under systemd is the journal. Passwords:
// the session posts "PASS ******" unless the administrator has authenticated at the console;
// the journal line is always given in its masked form.
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/journal.h"

namespace zelm {

// One entry as the console keeps it: one line, made safe (EscapeLogText), line breaks of a
// multi-line reply shown as " | ".
struct LogRecord {
  int64_t timeMs = 0;  // UnixMilliseconds when it was posted
  uint32_t peer = 0;   // network order
  std::string user;    // "<Not logged>" for an empty user name
  std::string text;
  // The text with its password masked when `text` shows one in clear (the administrator was
  // authenticated), else empty: the console shows it to viewers who are not.
  std::string masked;
  // Commands and replies are debug; the service's own events carry theirs.
  LogPriority priority = LogPriority::kDebug;
};

// Where console entries go; AddLog is called from any thread and must not block for long.
class CLogSink {
 public:
  virtual ~CLogSink() = default;
  virtual void AddLog(const LogRecord& record) = 0;
};

// Installs (or, with null, removes) the console's sink. Removing waits for calls in progress.
void SetLogSink(CLogSink* sink);
// Standard error lines on or off (on by default).
void SetJournalLogging(bool enabled);

// Client bytes made safe for a log line: every control byte (below 0x20, and DEL) is shown
// as \xNN, and so is a backslash that could be read as the start of one (\x5c). With
// `keepLineBreaks`, a CR LF pair stays as it is (the entry's own line ends); a bare CR or LF
// is escaped. Bytes from 0x80 up pass unchanged (names in UTF-8 or the code page).
std::string EscapeLogText(std::string_view text, bool keepLineBreaks);

// "(a.b.c.d)(user):\r\ntext": the peer address in network order, first octet first, and
// "<Not logged>" for an empty user name. The user name and the text are escaped
// (EscapeLogText; the text keeps its CR LF line ends), so no client can forge a line.
std::string FormatLogEntry(std::string_view text, std::string_view userName, uint32_t peerAddress);

// "(a.b.c.d)(user): text", the one-line form of an entry (the journal's, and the console's
// after the time).
std::string FormatLogLine(const LogRecord& record, bool showPassword = true);

// Posts one entry. `journalText`, when not empty, replaces `text` on standard error (the
// masked form of a password line).
void PostLog(std::string_view text, std::string_view userName, uint32_t peerAddress,
             std::string_view journalText = {}, LogPriority priority = LogPriority::kDebug);
// An event of the service (a login refused and why, an operator's action): `priority` says
// how much it matters.
inline void PostEvent(LogPriority priority, std::string_view text, std::string_view userName,
                      uint32_t peerAddress) {
  PostLog(text, userName, peerAddress, {}, priority);
}

// Whether passwords may appear in the console in clear (set by the console after the
// administrator authenticated, for a while).
bool IsAdministratorAuthenticated();
void SetAdministratorAuthenticated(bool authenticated);

}  // namespace zelm
