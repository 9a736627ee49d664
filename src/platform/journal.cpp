// Owns the writing of journal lines to standard error and of structured journal entries.
#include "platform/journal.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace zelm {
namespace {

std::mutex gWriteMutex;  // keeps lines whole

// Whether standard error is the journal's stream ($JOURNAL_STREAM is "device:inode").
bool StandardErrorIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr || *stream == '\0') return false;
  struct stat st {};
  if (::fstat(STDERR_FILENO, &st) != 0) return false;
  unsigned long long device = 0;
  unsigned long long inode = 0;
  if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
  return device == static_cast<unsigned long long>(st.st_dev) &&
         inode == static_cast<unsigned long long>(st.st_ino);
}

}  // namespace

bool IsStandardErrorJournal() {
  static const bool journal = StandardErrorIsJournal();
  return journal;
}

void WriteJournalLine(LogPriority priority, std::string_view line) {
  const bool journal = IsStandardErrorJournal();
  std::string text;
  text.reserve(line.size() + 4);
  if (journal) {
    text += '<';
    text += static_cast<char>('0' + static_cast<int>(priority));
    text += '>';
  }
  text += line;
  text += '\n';
  std::lock_guard lock(gWriteMutex);
  std::fwrite(text.data(), 1, text.size(), stderr);
}

bool SendJournalEntry(LogPriority priority, std::string_view message,
                      std::span<const JournalField> fields) {
  if (!IsStandardErrorJournal()) return false;
  std::vector<std::string> items;
  items.reserve(fields.size() + 3);
  items.push_back("MESSAGE=" + std::string(message));
  items.push_back("PRIORITY=" + std::to_string(static_cast<int>(priority)));
  items.push_back(std::string("SYSLOG_IDENTIFIER=") + program_invocation_short_name);
  for (const JournalField& field : fields) {
    std::string item(field.name);
    item += '=';
    item += field.value;
    items.push_back(std::move(item));
  }
  std::vector<iovec> parts(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    parts[i].iov_base = items[i].data();
    parts[i].iov_len = items[i].size();
  }
  return sd_journal_sendv(parts.data(), static_cast<int>(parts.size())) == 0;
}

}  // namespace zelm
