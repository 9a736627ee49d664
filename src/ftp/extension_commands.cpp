// Owns the handlers of the later RFCs' commands, answered with "Extensions" on: EPSV and EPRT
// (RFC 2428), MDTM, MLST (RFC 3659) and MFMT (its modification-time draft), OPTS UTF8
// (RFC 2640). MLSD is a listing (transfer_commands.cpp).
#include <cstdio>
#include <string>

#include "ftp/command_handlers.h"
#include "ftp/ftp_session.h"
#include "platform/files.h"
#include "platform/local_time.h"
#include "platform/socket.h"
#include "vfs/file_helpers.h"
#include "vfs/ftp_path.h"
#include "vfs/listing.h"

namespace zelm {
namespace {

// "YYYYMMDDHHMMSS" of a time in UTC.
std::string FormatUtc(int64_t seconds) {
  SystemTime utc;
  if (!ToUtcTime(seconds, utc)) return "19700101000000";
  char text[32];
  std::snprintf(text, sizeof text, "%04u%02u%02u%02u%02u%02u", utc.year, utc.month, utc.day,
                utc.hour, utc.minute, utc.second);
  return text;
}

// "YYYYMMDDHHMMSS" with an optional ".sss" fraction (ignored), as seconds since the epoch.
bool ParseUtc(std::string_view text, int64_t& seconds) {
  if (const size_t dot = text.find('.'); dot == 14) text = text.substr(0, 14);
  if (text.size() != 14) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  const auto number = [&text](size_t at, size_t length) {
    uint16_t value = 0;
    for (size_t i = at; i < at + length; ++i)
      value = static_cast<uint16_t>(value * 10 + (text[i] - '0'));
    return value;
  };
  SystemTime utc;
  utc.year = number(0, 4);
  utc.month = number(4, 2);
  utc.day = number(6, 2);
  utc.hour = number(8, 2);
  utc.minute = number(10, 2);
  utc.second = number(12, 2);
  return utc.year >= 1970 && FromUtcTime(utc, seconds);
}

// The data-connection commands that EPSV ALL rules out answer this.
bool RefusedAfterEpsvAll(CFtpSession& session, const char* name) {
  if (!session.IsEpsvAll()) return false;
  session.SendText(501, std::string(name) + " not allowed after EPSV ALL.");
  return true;
}

}  // namespace

bool RefuseAfterEpsvAll(CFtpSession& session, CFtpCommand& command) {
  return RefusedAfterEpsvAll(session, command.def.name);
}

void HandleEpsv(CFtpSession& session, CFtpCommand& command) {
  if (EqualsNoCase(command.argument, "ALL")) {
    session.SetEpsvAll();
    session.SendText(200, "EPSV ALL ok.");
    return;
  }
  if (command.HasArgument() && command.argument != "1") {
    session.SendText(522, "Network protocol not supported, use (1)");
    return;
  }
  const uint32_t port = session.OpenPassivePort();
  if (port == 0) {
    session.SendErrorReply(500, nullptr);
    return;
  }
  session.SendText(229, "Entering Extended Passive Mode (|||" + std::to_string(port) + "|)");
}

void HandleEprt(CFtpSession& session, CFtpCommand& command) {
  if (RefusedAfterEpsvAll(session, "EPRT")) return;
  // "<d>1<d>address<d>port<d>", the delimiter any printable character.
  const std::string& text = command.argument;
  if (text.size() < 7 || text[0] < 33 || text[0] > 126) {
    session.SendErrorReply(500, &command);
    return;
  }
  const char delimiter = text[0];
  std::string fields[3];
  size_t at = 1;
  for (std::string& field : fields) {
    const size_t end = text.find(delimiter, at);
    if (end == std::string::npos) {
      session.SendErrorReply(500, &command);
      return;
    }
    field = text.substr(at, end - at);
    at = end + 1;
  }
  if (at != text.size()) {
    session.SendErrorReply(500, &command);
    return;
  }
  if (fields[0] != "1") {
    session.SendText(522, "Network protocol not supported, use (1)");
    return;
  }
  uint32_t address = 0;
  char* end = nullptr;
  const unsigned long port = std::strtoul(fields[2].c_str(), &end, 10);
  if (!ParseDottedAddress(fields[1].c_str(), address) || fields[2].empty() || *end != '\0' ||
      port < 1024 || port > 65535) {
    session.SendErrorReply(500, &command);
    return;
  }
  // SECURITY: data connections go only to the client itself (no bouncing to others).
  if (HostToNetwork32(address) != session.GetPeer()) {
    session.SendErrorReply(kReplyBadPortAddress, &command);
    return;
  }
  session.UseActivePort(static_cast<uint32_t>(port));
  session.SendText(200, "EPRT command successful.");
}

void HandleMdtm(CFtpSession& session, CFtpCommand& command) {
  std::string real;
  FileStatus status;
  if (session.FileSystem().ResolvePath(command.argument, false, real) != ResolveExists ||
      !GetFileStatus(real, status) || status.kind != FileKind::kRegular) {
    session.SendErrorReply(550, &command);
    return;
  }
  session.SendText(213, FormatUtc(status.modificationTime));
}

void HandleMfmt(CFtpSession& session, CFtpCommand& command) {
  const std::string& text = command.argument;
  const size_t blank = text.find(' ');
  int64_t seconds = 0;
  if (blank == std::string::npos || blank + 1 >= text.size() ||
      !ParseUtc(std::string_view(text).substr(0, blank), seconds)) {
    session.SendText(501, "Syntax: MFMT YYYYMMDDHHMMSS path");
    return;
  }
  const std::string path = text.substr(blank + 1);
  std::string real;
  FileStatus status;
  if (session.FileSystem().ResolvePath(path, false, real) != ResolveExists ||
      !GetFileStatus(real, status) || status.kind != FileKind::kRegular) {
    session.SendErrorReply(550, &command);
    return;
  }
  // Changing a file's time is changing the file: it needs the right to store there.
  const int access = session.CheckAccess(real, kOpStore, false, kTransferDele, command);
  if (access < 0) return;
  if (access == 0) {
    session.SendErrorReply(kReplyAccessDenied, &command);
    return;
  }
  if (!SetModificationTime(real, seconds)) {
    session.SendErrorReply(kReplySystemError, &command);
    return;
  }
  session.SendText(213, "Modify=" + FormatUtc(seconds) + "; " + path);
}

void HandleMlst(CFtpSession& session, CFtpCommand& command) {
  CFtpFileSystem& fs = session.FileSystem();
  std::string real;
  FileStatus status;
  std::string shown = command.argument;
  if (!command.HasArgument() && !fs.GetClientCurrentDir(shown)) shown = "/";
  const bool found = fs.ResolvePath(shown, false, real) == ResolveExists ||
                     fs.ResolvePath(shown, true, real) == ResolveExists;
  if (!found || !GetFileStatus(real, status) ||
      (status.kind != FileKind::kRegular && status.kind != FileKind::kDirectory)) {
    session.SendErrorReply(550, &command);
    return;
  }
  while (real.size() > 1 && real.back() == '/') real.pop_back();
  FactsEntry facts;
  facts.name = shown;
  facts.isDirectory = status.kind == FileKind::kDirectory;
  facts.size = status.size;
  facts.modified = status.modificationTime;
  const std::string perm = session.PermFactsOf(real, facts.isDirectory);
  facts.perm = perm;
  std::string line;
  AppendFactsLine(facts, line, session.GetMlstFacts());
  session.SendText(250, "Listing " + shown + "\r\n " + line + "End");
}

void HandleOpts(CFtpSession& session, CFtpCommand& command) {
  std::string_view text = command.argument;
  const std::string_view name = text.substr(0, text.find(' '));
  std::string_view value = text.substr(name.size());
  while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  while (!value.empty() && value.back() == ' ') value.remove_suffix(1);
  if (EqualsNoCase(name, "UTF8") || EqualsNoCase(name, "UTF-8")) {
    if (value.empty() || EqualsNoCase(value, "ON")) {
      session.UseUtf8Names(true);
      session.SendText(200, "UTF8 set to on");
      return;
    }
    if (EqualsNoCase(value, "OFF")) {
      session.UseUtf8Names(false);
      session.SendText(200, "UTF8 set to off");
      return;
    }
  }
  if (EqualsNoCase(name, "MLST")) {
    // "OPTS MLST type;size;": the facts to show from now on; unknown ones are left out.
    uint32_t chosen = 0;
    std::string accepted;
    size_t at = 0;
    while (at < value.size()) {
      size_t end = value.find(';', at);
      if (end == std::string_view::npos) end = value.size();
      const std::string_view fact = value.substr(at, end - at);
      static constexpr std::pair<const char*, uint32_t> kFacts[] = {
          {"type", kFactType}, {"size", kFactSize}, {"modify", kFactModify}, {"perm", kFactPerm}};
      for (const auto& [factName, bit] : kFacts) {
        if (EqualsNoCase(fact, factName) && (chosen & bit) == 0) {
          chosen |= bit;
          accepted += std::string(factName) + ";";
        }
      }
      at = end + 1;
    }
    session.SetMlstFacts(chosen);
    session.SendText(200, "MLST OPTS " + accepted);
    return;
  }
  session.SendText(501, "Option not understood.");
}

}  // namespace zelm
