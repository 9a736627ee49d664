// Owns the LIST and NLST line formats and the batched sending of a directory's lines.
#include "vfs/listing.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <vector>

#include "platform/code_page.h"
#include "platform/files.h"
#include "platform/limits.h"
#include "vfs/file_system.h"

namespace zelm {
namespace {

constexpr const char* kMonths[] = {"Jan ", "Feb ", "Mar ", "Apr ", "May ", "Jun ",
                                   "Jul ", "Aug ", "Sep ", "Oct ", "Nov ", "Dec "};

// Room kept free after the line in the buffer check.
constexpr size_t kLineSlack = 10;

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool NameLess(const DirectoryEntry& a, const DirectoryEntry& b) {
  const std::string& x = a.name;
  const std::string& y = b.name;
  const size_t common = std::min(x.size(), y.size());
  for (size_t i = 0; i < common; ++i) {
    const char cx = Lower(x[i]);
    const char cy = Lower(y[i]);
    if (cx != cy) return static_cast<unsigned char>(cx) < static_cast<unsigned char>(cy);
  }
  if (x.size() != y.size()) return x.size() < y.size();
  return x < y;
}

}  // namespace

void AppendListLine(const ListingEntry& entry, const SystemTime& now, std::string& out) {
  const unsigned month =
      entry.created.month >= 1 && entry.created.month <= 12 ? entry.created.month - 1u : 0u;
  char when[16];
  if (entry.created.year == now.year) {
    std::snprintf(when, sizeof when, "%02u:%02u", static_cast<unsigned>(entry.created.hour),
                  static_cast<unsigned>(entry.created.minute));
  } else {
    std::snprintf(when, sizeof when, "%5u", static_cast<unsigned>(entry.created.year));
  }
  char head[96];
  const int length =
      std::snprintf(head, sizeof head, "%crwxrwxrwx %3u %-8s %-8s %12" PRIu64 " %s%2u %s ",
                    entry.isDirectory ? 'd' : '-', 1u, "owner", "group", entry.size, kMonths[month],
                    static_cast<unsigned>(entry.created.day), when);
  out.append(head, static_cast<size_t>(length));
  out.append(entry.name);
  out.append("\r\n");
}

void AppendNameLine(std::string_view name, std::string& out) {
  out.append(name);
  out.append("\r\n");
}

void CFtpListing::ReadNow(SystemTime& time) { GetLocalTime(time); }

bool CFtpListing::WriteDirectoryListing(std::string_view pattern, CListingSink& connection,
                                        bool namesOnly) {
  // SECURITY: `pattern` is a real path the caller resolved inside the home; "*.*" is the
  // internal form of "every entry" and is no wildcard to the file system.
  std::string directory(pattern);
  if (directory.ends_with("*.*")) directory.resize(directory.size() - 3);
  if (directory.size() > 1 && directory.back() == '/') directory.pop_back();

  std::vector<DirectoryEntry> entries;
  if (!ReadDirectory(directory, LinkPolicy::kFollow, entries)) return false;
  std::sort(entries.begin(), entries.end(), NameLess);

  ReadNow(now);
  std::array<char, kListingBufferSize> buffer;
  size_t used = 0;
  size_t count = 0;
  std::string line;
  std::string clientName;
  for (const DirectoryEntry& entry : entries) {
    // SECURITY: a name with CR or LF would forge listing lines; no client can name it anyway.
    if (HasControlChars(entry.name)) continue;
    std::string_view name = entry.name;
    if (names_ != nullptr) {
      if (!names_->FromUtf8(entry.name, clientName)) continue;
      name = clientName;
    }
    line.clear();
    if (namesOnly) {
      AppendNameLine(name, line);
    } else {
      ListingEntry shown;
      shown.name = name;
      shown.isDirectory = entry.status.kind == FileKind::kDirectory;
      shown.size = entry.status.kind == FileKind::kRegular ? entry.status.size : 0;
      if (!ToLocalTime(entry.status.creationTime, shown.created)) shown.created = SystemTime{};
      AppendListLine(shown, now, line);
    }
    if (line.size() + kLineSlack > buffer.size()) continue;  // cannot fit any batch
    if (line.size() + used + kLineSlack > buffer.size()) {
      const int64_t sent = connection.Send(buffer.data(), used);
      used = 0;
      if (sent < 0) return false;
    }
    std::copy(line.begin(), line.end(), buffer.begin() + static_cast<std::ptrdiff_t>(used));
    used += line.size();
    ++count;
  }
  if (used > 0 && connection.Send(buffer.data(), used) < 0) return false;
  return count > 0;
}

}  // namespace zelm
