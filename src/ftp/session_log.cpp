// Owns the routing of session log entries to the console and the journal.
#include "ftp/session_log.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace zelm {
namespace {

std::mutex gSinkMutex;  // guards gSink and serialises calls into it
CLogSink* gSink = nullptr;
std::mutex gJournalMutex;  // keeps journal lines whole
std::atomic<bool> gJournal{true};
std::atomic<bool> gAuthenticated{false};

// One journal line: the entry's line breaks become " | ", the final one is dropped.
std::string JournalLine(std::string_view text, std::string_view userName, uint32_t peerAddress) {
  std::string line = FormatLogEntry({}, userName, peerAddress);
  line.resize(line.size() - 2);  // the header's own CR LF
  line += ' ';
  while (text.size() >= 2 && text.substr(text.size() - 2) == "\r\n") text.remove_suffix(2);
  const std::string escaped = EscapeLogText(text, true);
  for (size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] == '\r') {  // only CR LF pairs are left
      line += " | ";
      ++i;
    } else {
      line += escaped[i];
    }
  }
  line += '\n';
  return line;
}

}  // namespace

void SetLogSink(CLogSink* sink) {
  std::lock_guard lock(gSinkMutex);
  gSink = sink;
}

void SetJournalLogging(bool enabled) { gJournal = enabled; }

std::string EscapeLogText(std::string_view text, bool keepLineBreaks) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (keepLineBreaks && byte == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      out += "\r\n";
      ++i;
    } else if (byte < 0x20 || byte == 0x7F ||
               (byte == '\\' && i + 1 < text.size() && text[i + 1] == 'x')) {
      char code[5];
      std::snprintf(code, sizeof code, "\\x%02x", byte);
      out += code;
    } else {
      out += static_cast<char>(byte);
    }
  }
  return out;
}

std::string FormatLogEntry(std::string_view text, std::string_view userName, uint32_t peerAddress) {
  const auto* b = reinterpret_cast<const uint8_t*>(&peerAddress);
  char head[40];
  std::snprintf(head, sizeof head, "(%u.%u.%u.%u)(", b[0], b[1], b[2], b[3]);
  std::string entry = head;
  entry += userName.empty() ? std::string("<Not logged>") : EscapeLogText(userName, false);
  entry += "):\r\n";
  entry += EscapeLogText(text, true);
  return entry;
}

void PostLog(std::string_view text, std::string_view userName, uint32_t peerAddress,
             std::string_view journalText) {
  {
    std::lock_guard lock(gSinkMutex);
    if (gSink != nullptr) {
      const bool secret = !journalText.empty() && journalText != text;
      gSink->AddLog(FormatLogEntry(text, userName, peerAddress),
                    secret ? FormatLogEntry(journalText, userName, peerAddress) : std::string());
    }
  }
  if (gJournal) {
    const std::string line =
        JournalLine(journalText.empty() ? text : journalText, userName, peerAddress);
    std::lock_guard lock(gJournalMutex);
    std::fwrite(line.data(), 1, line.size(), stderr);
  }
}

bool IsAdministratorAuthenticated() { return gAuthenticated; }
void SetAdministratorAuthenticated(bool authenticated) { gAuthenticated = authenticated; }

}  // namespace zelm
