// Owns the mapping of management-server paths (Windows forms) onto Linux paths.
#include "vfs/managed_path.h"

#include <algorithm>
#include <vector>

#include "vfs/ftp_path.h"

namespace zelm {
namespace {

std::vector<std::string_view> Split(std::string_view text) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// An absolute Linux path with "." and ".." resolved lexically (".." at "/" stays at "/").
bool NormalizeAbsolute(std::string_view path, std::string& out) {
  if (path.empty() || path.front() != '/') return false;
  std::vector<std::string_view> kept;
  for (std::string_view part : Split(path)) {
    if (part == ".") continue;
    if (part == "..") {
      if (!kept.empty()) kept.pop_back();
      continue;
    }
    kept.push_back(part);
  }
  out.clear();
  for (std::string_view part : kept) {
    out += '/';
    out += part;
  }
  if (out.empty()) out.assign(1, '/');
  return true;
}

// Appends the components of `relative` below `top`; "." is skipped, ".." fails (the result
// must stay below `top`). `requireName` fails when nothing is appended.
// SECURITY: home folders are built here; a name from the management server can never place
// a customer's home outside the main path or a drive's directory.
bool AppendBelow(std::string_view top, std::string_view relative, bool requireName,
                 std::string& out) {
  if (!NormalizeAbsolute(top, out)) return false;
  size_t added = 0;
  for (std::string_view part : Split(relative)) {
    if (part == ".") continue;
    if (part == "..") return false;
    if (out != "/") out += '/';
    out += part;
    ++added;
  }
  return !requireName || added > 0;
}

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

bool MapManagedPath(std::string_view text, const DriveLookup& drives, std::string_view base,
                    std::string& linuxPath) {
  if (text.empty() || std::any_of(text.begin(), text.end(),
                                  [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
    return false;
  }
  if (text.front() == '/') return NormalizeAbsolute(text, linuxPath);

  std::string windows(text);
  CFtpPath path(windows);
  if (!path.GetServer().empty()) {
    // "\\PC\D$" names the share itself: give it the separator that makes it a drive part.
    if (path.GetDrive().empty() && path.GetText().size() > path.GetServer().size()) {
      windows += '\\';
      path.SetText(windows);
    }
    // Only an administrative share of this computer has a local form.
    if (!path.GetText().starts_with("\\\\") || !path.IsLocal()) return false;
    path.SetServer("");
    if (!path.GetServer().empty()) return false;
    windows = path.GetText();
  }

  if (windows.size() >= 2 && windows[1] == ':') {
    if (!IsDriveLetter(windows[0])) return false;
    if (windows.size() > 2 && windows[2] != '\\' && windows[2] != '/') return false;
    const char drive = static_cast<char>(windows[0] & ~0x20);
    const std::string top = drives ? drives(drive) : std::string();
    if (top.empty()) return false;
    return AppendBelow(top, std::string_view(windows).substr(2), false, linuxPath);
  }

  // A home-folder name below the base.
  if (base.empty() || windows.front() == '\\' || windows.find(':') != std::string::npos) {
    return false;
  }
  return AppendBelow(base, windows, true, linuxPath);
}

}  // namespace zelm
