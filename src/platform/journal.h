// The journal: lines with a priority on standard error, which under systemd is the journal.
//
// Under systemd (standard error is the stream $JOURNAL_STREAM names) each line starts with its
// syslog priority as "<N>", which journald takes as the entry's priority; elsewhere (a
// terminal, a test) lines are written plain.
// Thread safety: every function may be called from any thread; lines are written whole.
#pragma once

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

}  // namespace zelm
