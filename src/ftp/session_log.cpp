// Owns the routing of session log entries to the console and the journal.
#include "ftp/session_log.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "platform/clock.h"

namespace zelm {
namespace {

std::mutex gSinkMutex;  // guards gSink and serialises calls into it
CLogSink* gSink = nullptr;
std::atomic<bool> gJournal{true};
std::atomic<bool> gAuthenticated{false};

// An entry's text on one line: made safe, its line breaks shown as " | ", the final one
// dropped.
std::string OneLine(std::string_view text) {
  while (text.size() >= 2 && text.substr(text.size() - 2) == "\r\n") text.remove_suffix(2);
  const std::string escaped = EscapeLogText(text, true);
  std::string line;
  line.reserve(escaped.size());
  for (size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] == '\r') {  // only CR LF pairs are left
      line += " | ";
      ++i;
    } else {
      line += escaped[i];
    }
  }
  return line;
}

std::string AddressText(uint32_t peerAddress) {
  const auto* b = reinterpret_cast<const uint8_t*>(&peerAddress);
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return text;
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

std::string FormatLogLine(const LogRecord& record, bool showPassword) {
  const std::string& text = !showPassword && !record.masked.empty() ? record.masked : record.text;
  return "(" + AddressText(record.peer) + ")(" + record.user + "): " + text;
}

void PostLog(std::string_view text, std::string_view userName, uint32_t peerAddress,
             std::string_view journalText, LogPriority priority) {
  LogRecord record;
  record.priority = priority;
  record.timeMs = UnixMilliseconds();
  record.peer = peerAddress;
  record.user = userName.empty() ? std::string("<Not logged>") : EscapeLogText(userName, false);
  record.text = OneLine(text);
  if (!journalText.empty() && journalText != text) record.masked = OneLine(journalText);
  {
    std::lock_guard lock(gSinkMutex);
    if (gSink != nullptr) gSink->AddLog(record);
  }
  if (gJournal) WriteJournalLine(priority, FormatLogLine(record, false));
}

bool IsAdministratorAuthenticated() { return gAuthenticated; }
void SetAdministratorAuthenticated(bool authenticated) { gAuthenticated = authenticated; }

}  // namespace zelm
