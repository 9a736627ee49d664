// Owns the writing of journal lines to standard error.
#include "platform/journal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

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

void WriteJournalLine(LogPriority priority, std::string_view line) {
  static const bool journal = StandardErrorIsJournal();
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

}  // namespace zelm
