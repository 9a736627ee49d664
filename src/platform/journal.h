// The journal: lines with a priority on standard error, which under systemd is the journal,
// and structured entries sent to the journal directly.
//
// Under systemd (standard error is the stream $JOURNAL_STREAM names) each line starts with its
// syslog priority as "<N>", which journald takes as the entry's priority; elsewhere (a
// terminal, a test) lines are written plain. Structured entries (fields of their own besides
// the message, for `journalctl FIELD=value`) exist only under systemd.
// Thread safety: every function may be called from any thread; lines are written whole.
#pragma once

#include <span>
#include <string_view>

namespace zelm {

// Syslog priorities.
enum class LogPriority : int {
  kErr = 3,
  kWarning = 4,
  kNotice = 5,
  kInfo = 6,
  kDebug = 7,
};

// Writes one line (a line end is added) at `priority`.
void WriteJournalLine(LogPriority priority, std::string_view line);

// Whether standard error is the journal's stream: the service runs under systemd, with its
// output going to the journal. Decided once, at the first call.
bool IsStandardErrorJournal();

// A field of a structured entry: its name (upper-case letters, digits and '_', not starting
// with '_') and its value (any bytes).
struct JournalField {
  std::string_view name;
  std::string_view value;
};

// Under systemd, sends one entry to the journal (sd_journal_send): MESSAGE=`message`, its
// PRIORITY, SYSLOG_IDENTIFIER (the program's name, as its standard error lines carry) and
// `fields`; true when the journal took it. Elsewhere nothing is written and it returns false.
bool SendJournalEntry(LogPriority priority, std::string_view message,
                      std::span<const JournalField> fields);

}  // namespace zelm
