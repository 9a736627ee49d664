// Owns the transfer log: the xferlog line of each ended transfer, its file and its journal
// entry.
#include "server/transfer_log.h"

#include <cstdio>

#include "ftp/session_log.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/journal.h"
#include "platform/local_time.h"
#include "platform/service_manager.h"

namespace zelm {
namespace {

constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string DottedAddress(uint32_t peer) {
  // Network order: the first octet is the lowest byte.
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", peer & 0xFF, (peer >> 8) & 0xFF,
                (peer >> 16) & 0xFF, peer >> 24);
  return text;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

// "12.345": milliseconds as seconds.
std::string SecondsText(int64_t milliseconds) {
  if (milliseconds < 0) milliseconds = 0;
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(milliseconds / 1000),
                static_cast<long long>(milliseconds % 1000));
  return text;
}

std::string LastErrorText() {
  std::string text = "unknown error";
  GetSystemErrorText(0, text);
  return text;
}

// The transfer in words, for the journal entry's message.
std::string Describe(const TransferRecord& record) {
  std::string text = record.upload ? "Upload of " : "Download of ";
  text += EscapeLogText(record.realPath, false);
  text += " by " + (record.userName.empty() ? std::string("<Not logged>")
                                            : EscapeLogText(record.userName, false));
  text += " from " + DottedAddress(record.peer) + ": " + std::to_string(record.bytes) +
          " bytes in " + SecondsText(record.milliseconds) + " s, ";
  if (record.complete) return text + "completed";
  text += "failed (" + std::to_string(record.replyCode);
  if (!record.why.empty()) text += ", " + EscapeLogText(record.why, false);
  return text + ")";
}

void SendJournalEntryOf(const TransferRecord& record) {
  const std::string address = DottedAddress(record.peer);
  const std::string bytes = std::to_string(record.bytes);
  const std::string seconds = SecondsText(record.milliseconds);
  const std::string reply = std::to_string(record.replyCode);
  const JournalField fields[] = {
      {"ZELMFTP_USER", record.userName},
      {"ZELMFTP_ADDRESS", address},
      {"ZELMFTP_FILE", record.realPath},
      {"ZELMFTP_BYTES", bytes},
      {"ZELMFTP_SECONDS", seconds},
      {"ZELMFTP_RESULT", record.complete ? "completed" : "failed"},
      {"ZELMFTP_DIRECTION", record.upload ? "upload" : "download"},
      {"ZELMFTP_REPLY", reply},
      {"ZELMFTP_REASON", record.why},
  };
  // The reason only where there is one.
  const size_t count =
      record.complete || record.why.empty() ? std::size(fields) - 1 : std::size(fields);
  SendJournalEntry(LogPriority::kInfo, Describe(record), {fields, count});
}

}  // namespace

std::string EncodeTransferLogName(std::string_view bytes) {
  if (bytes.empty()) return "*";
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F || byte == '\\') {
      char code[5];
      std::snprintf(code, sizeof code, "\\x%02x", byte);
      out += code;
    } else {
      out += c;
    }
  }
  return out;
}

int64_t TransferLogSeconds(int64_t milliseconds) {
  const int64_t seconds = (milliseconds + 500) / 1000;
  return seconds < 1 ? 1 : seconds;
}

std::string FormatTransferLogTime(int64_t unixSeconds) {
  SystemTime t;
  if (!ToLocalTime(unixSeconds, t) || t.dayOfWeek > 6 || t.month < 1 || t.month > 12) return {};
  char text[40];
  std::snprintf(text, sizeof text, "%s %s %2u %02u:%02u:%02u %u", kDayNames[t.dayOfWeek],
                kMonthNames[t.month - 1], static_cast<unsigned>(t.day),
                static_cast<unsigned>(t.hour), static_cast<unsigned>(t.minute),
                static_cast<unsigned>(t.second), static_cast<unsigned>(t.year));
  return text;
}

std::string FormatTransferLogLine(const TransferRecord& record, int64_t unixSeconds) {
  std::string line = FormatTransferLogTime(unixSeconds);
  if (line.empty()) line = "Thu Jan  1 00:00:00 1970";
  line += ' ' + std::to_string(TransferLogSeconds(record.milliseconds));
  line += ' ' + DottedAddress(record.peer);
  line += ' ' + std::to_string(record.bytes);
  line += ' ' + EncodeTransferLogName(record.realPath);
  line += record.binary ? " b _ " : " a _ ";
  line += record.upload ? "i r " : "o r ";
  line += EncodeTransferLogName(record.userName);
  line += " ftp 0 * ";
  line += record.complete ? "c\n" : "i\n";
  return line;
}

void CTransferLog::Write(const TransferRecord& record, const std::string& path) {
  SendJournalEntryOf(record);
  CMutexLock lock(mutex_);
  if (path.empty()) {
    file_.Close();
    openPath_.clear();
    return;
  }
  if (!EnsureOpenLocked(path)) return;
  const std::string line = FormatTransferLogLine(record, UnixMilliseconds() / 1000);
  if (!file_.Write(line.data(), line.size())) {
    WarnLocked(path, "cannot be written");
    file_.Close();
    openPath_.clear();
    return;
  }
  warnedPath_.clear();
}

bool CTransferLog::EnsureOpenLocked(const std::string& path) {
  if (file_.IsOpen() && openPath_ == path) {
    // Still the file of that name? Log rotation moves it away and expects a new one.
    FileStatus status;
    if (GetFileStatus(path, status) && IdOf(status) == openId_) return true;
  }
  file_.Close();
  openPath_.clear();
  if (!file_.Open(path, CFile::Mode::kAppend)) {
    const std::string folder = FolderOf(path);
    // SECURITY: the folder of a log is the service's: others may not even read it.
    if (folder.empty() || !MakeFolders(folder, 0750) || !file_.Open(path, CFile::Mode::kAppend)) {
      WarnLocked(path, "cannot be opened");
      return false;
    }
  }
  if (!GetFileId(file_, openId_)) openId_ = {};
  openPath_ = path;
  return true;
}

void CTransferLog::WarnLocked(const std::string& path, const std::string& what) {
  if (warnedPath_ == path) return;
  warnedPath_ = path;
  PostEvent(LogPriority::kWarning,
            "Transfer log " + path + " " + what + ": " + LastErrorText() +
                "; transfers go on without it (setting \"Transfer Log\")\r\n",
            {}, 0);
}

}  // namespace zelm
