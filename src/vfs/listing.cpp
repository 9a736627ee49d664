// Owns the LIST and NLST line formats and the batched sending of a directory's lines.
#include "vfs/listing.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

#include "platform/code_page.h"
#include "platform/files.h"
#include "platform/limits.h"
#include "vfs/file_helpers.h"
#include "vfs/file_system.h"

namespace zelm {
namespace {

constexpr const char* kMonths[] = {"Jan ", "Feb ", "Mar ", "Apr ", "May ", "Jun ",
                                   "Jul ", "Aug ", "Sep ", "Oct ", "Nov ", "Dec "};

// Room kept free after the line in the buffer check.
constexpr size_t kLineSlack = 10;

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// An entry with its sort key: the name with ASCII letters lowered. Comparing the keys byte by
// byte (then the names themselves) orders names ignoring case, ties by the exact bytes.
struct SortedEntry {
  std::string key;
  const DirectoryEntry* entry;
  bool operator<(const SortedEntry& other) const {
    const int order = key.compare(other.key);
    return order != 0 ? order < 0 : entry->name < other.entry->name;
  }
};

// Appends `value` in decimal, right-aligned in `width` columns filled with `pad` (printf's
// "%Nu" and "%0Nu"); a wider number keeps every digit.
void AppendNumber(uint64_t value, size_t width, char pad, std::string& out) {
  char digits[24];
  size_t count = 0;
  do {
    digits[sizeof digits - 1 - count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  if (count < width) out.append(width - count, pad);
  out.append(digits + sizeof digits - count, count);
}

}  // namespace

// The columns, as "%crwxrwxrwx %3u %-8s %-8s %12llu %s%2u %s " would print them; built by
// hand because a large directory's listing spent most of its time in the formatter.
void AppendListLine(const ListingEntry& entry, const SystemTime& now, std::string& out) {
  const unsigned month =
      entry.created.month >= 1 && entry.created.month <= 12 ? entry.created.month - 1u : 0u;
  out.append(entry.isDirectory ? "drwxrwxrwx   1 owner    group    "
                               : "-rwxrwxrwx   1 owner    group    ");
  AppendNumber(entry.size, 12, ' ', out);
  out.push_back(' ');
  out.append(kMonths[month]);
  AppendNumber(entry.created.day, 2, ' ', out);
  out.push_back(' ');
  if (entry.created.year == now.year) {
    AppendNumber(entry.created.hour, 2, '0', out);
    out.push_back(':');
    AppendNumber(entry.created.minute, 2, '0', out);
  } else {
    AppendNumber(entry.created.year, 5, ' ', out);
  }
  out.push_back(' ');
  out.append(entry.name);
  out.append("\r\n");
}

void AppendNameLine(std::string_view name, std::string& out) {
  out.append(name);
  out.append("\r\n");
}

void AppendFactsLine(const FactsEntry& entry, std::string& out, uint32_t facts) {
  if ((facts & kFactType) != 0) out.append(entry.isDirectory ? "type=dir;" : "type=file;");
  if (!entry.isDirectory && (facts & kFactSize) != 0) {
    out.append("size=");
    out.append(std::to_string(entry.size));
    out.push_back(';');
  }
  SystemTime utc;
  if (!ToUtcTime(entry.modified, utc)) utc = SystemTime{1970, 1, 4, 1, 0, 0, 0, 0};
  char modify[64];
  std::snprintf(modify, sizeof modify, "modify=%04u%02u%02u%02u%02u%02u;", utc.year, utc.month,
                utc.day, utc.hour, utc.minute, utc.second);
  if ((facts & kFactModify) != 0) out.append(modify);
  if ((facts & kFactPerm) != 0) {
    out.append("perm=");
    out.append(entry.perm);
    out.push_back(';');
  }
  out.push_back(' ');
  out.append(entry.name);
  out.append("\r\n");
}

bool MatchesWildcard(std::string_view name, std::string_view pattern) {
  // Greedy with one remembered star: linear in practice, never recursive.
  size_t n = 0, p = 0, starP = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || Lower(pattern[p]) == Lower(name[n]))) {
      ++n;
      ++p;
    } else if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
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
  std::vector<SortedEntry> sorted(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    sorted[i].entry = &entries[i];
    sorted[i].key = entries[i].name;
    for (char& c : sorted[i].key) c = Lower(c);
  }
  std::sort(sorted.begin(), sorted.end());

  ReadNow(now);
  std::array<char, kListingBufferSize> buffer;
  size_t used = 0;
  size_t count = 0;
  std::string line;
  std::string clientName;
  line.reserve(128);
  for (const SortedEntry& item : sorted) {
    const DirectoryEntry& entry = *item.entry;
    // SECURITY: a name with CR or LF would forge listing lines; no client can name it anyway.
    if (HasControlChars(entry.name)) continue;
    if (IsUploadTempName(entry.name)) continue;  // an upload in progress, not a file yet
    std::string_view name = entry.name;
    if (names_ != nullptr) {
      if (!names_->FromUtf8(entry.name, clientName)) continue;
      name = clientName;
    }
    line.clear();
    if (!options_.namePattern.empty() &&
        !(options_.exactName ? name == options_.namePattern
                             : MatchesWildcard(name, options_.namePattern))) {
      continue;
    }
    if (options_.facts) {
      FactsEntry facts;
      facts.name = name;
      facts.isDirectory = entry.status.kind == FileKind::kDirectory;
      facts.size = entry.status.kind == FileKind::kRegular ? entry.status.size : 0;
      facts.modified = entry.status.modificationTime;
      const std::string perm = options_.facts(
          (directory == "/" ? directory : directory + "/") + entry.name, facts.isDirectory);
      facts.perm = perm;
      AppendFactsLine(facts, line, options_.factSet);
    } else if (namesOnly) {
      AppendNameLine(name, line);
    } else {
      ListingEntry shown;
      shown.name = name;
      shown.isDirectory = entry.status.kind == FileKind::kDirectory;
      shown.size = entry.status.kind == FileKind::kRegular ? entry.status.size : 0;
      const int64_t shownTime =
          options_.modificationTimes ? entry.status.modificationTime : entry.status.creationTime;
      if (!ToLocalTime(shownTime, shown.created)) shown.created = SystemTime{};
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
