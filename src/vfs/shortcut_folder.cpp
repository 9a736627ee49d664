// Owns the shortcut-folder request handler, the search for an existing shortcut to a target,
// and the shortcut test of STOU.
#include "vfs/shortcut_folder.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/files.h"
#include "vfs/file_helpers.h"
#include "vfs/ftp_path.h"

namespace zelm {
namespace {

// Tries after "name.lnk" go up to "name[1000].lnk".
constexpr int kMaxShortcutNameTries = 1000;

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool HasLnkExtension(std::string_view name) {
  return name.size() > 4 && EqualsNoCase(name.substr(name.size() - 4), ".lnk");
}

// `text` with the separator of its own form at the end: "/" for a Linux path, else "\".
std::string WithSeparator(std::string_view text) {
  std::string out(text);
  AddSeparator(out, !out.empty() && out.front() == '/' ? '/' : '\\');
  return out;
}

std::string LinuxChild(const std::string& folder, std::string_view name) {
  std::string out = folder;
  if (out.empty() || out.back() != '/') out += '/';
  out += name;
  return out;
}

// Anything at all by that name: a file, a directory, a dangling link, a FIFO.
bool AnythingAt(const std::string& path) {
  FileStatus status;
  return GetFileStatus(path, status, LinkPolicy::kNoFollow);
}

// The shortcut's base name for a target: its last component, for a file without its
// extension. Empty when the target has no last component (a drive root, "/").
std::string ShortcutName(std::string_view target, bool isFile) {
  while (!target.empty() && IsSeparator(target.back())) target.remove_suffix(1);
  const size_t cut = target.find_last_of("/\\");
  std::string name(cut == std::string_view::npos ? target : target.substr(cut + 1));
  if (name == "." || name == ".." || (name.size() == 2 && name[1] == ':')) return {};
  if (isFile) {
    const size_t dot = name.rfind('.');
    // A name that is all extension (".profile") keeps it.
    if (dot != std::string::npos && dot > 0) name.resize(dot);
  }
  return name;
}

}  // namespace

std::string ToLocalShortcutPath(std::string_view path) {
  std::string text(path);
  CFtpPath parsed(text);
  if (parsed.GetServer().empty() || !parsed.IsLocal()) return text;
  // "\\PC\D$" names the share itself: give it the separator that makes it a drive part.
  if (text.starts_with("\\\\") && parsed.GetDrive().empty() &&
      text.size() > parsed.GetServer().size()) {
    text += '\\';
    parsed.SetText(text);
  }
  parsed.SetServer("");
  return parsed.GetText();
}

bool FindShortcutTo(std::string_view folder, std::string_view target, std::string* lnkPath,
                    const ShortcutContext& context) {
  std::string folderLinux, targetLinux;
  if (!MapManagedPath(folder, context.drives, "", folderLinux) ||
      !MapManagedPath(target, context.drives, "", targetLinux)) {
    return false;
  }
  std::vector<DirectoryEntry> entries;
  if (!ReadDirectory(folderLinux, LinkPolicy::kNoFollow, entries)) return false;
  // The same answer every time, whatever order the file system lists the entries in.
  std::sort(entries.begin(), entries.end(),
            [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
  for (const DirectoryEntry& entry : entries) {
    if (entry.status.kind != FileKind::kRegular || !HasLnkExtension(entry.name) ||
        entry.status.size > kMaxShortcutFileSize) {
      continue;
    }
    std::string linkTarget, linkTargetLinux;
    const int state =
        ReadShortcut(LinuxChild(folderLinux, entry.name), linkTarget, context, &linkTargetLinux);
    // A shortcut whose target is gone never matches, even when its text is the same.
    if (state != kShortcutDirectory && state != kShortcutFile) continue;
    if (linkTargetLinux != targetLinux) continue;
    if (lnkPath != nullptr) *lnkPath = WithSeparator(folder) + entry.name;
    return true;
  }
  return false;
}

std::optional<ShortcutFolderAnswer> HandleShortcutFolderRequest(
    const ShortcutFolderRequest& request, const ShortcutContext& context) {
  if (!request.folder || !request.target) return std::nullopt;
  ShortcutFolderAnswer answer;
  answer.folder = ToLocalShortcutPath(*request.folder);
  const std::string target = ToLocalShortcutPath(*request.target);
  answer.path = target;

  std::string folderLinux, targetLinux;
  if (!MapManagedPath(answer.folder, context.drives, "", folderLinux) ||
      !DirectoryExists(folderLinux) || !MapManagedPath(target, context.drives, "", targetLinux) ||
      !PathExists(targetLinux, kFileAttributeDirectory | kFileAttributeNormal)) {
    return answer;
  }
  std::string found;
  if (FindShortcutTo(answer.folder, target, &found, context)) {
    answer.shortcutInPlace = true;
    answer.path = found;
    return answer;
  }

  const std::string name = ShortcutName(target, PathExists(targetLinux, 0));
  if (name.empty()) return answer;
  // SECURITY: `name` is one path component (no separator, not "." or ".."), so the shortcut
  // lands in the folder itself; nothing that exists is ever replaced.
  std::string numbered = name;
  std::string lnkLinux, plainLinux;
  for (int i = 0;; ++i) {
    if (i > 0) {
      char suffix[16];
      std::snprintf(suffix, sizeof suffix, "[%02i]", i);
      numbered = name + suffix;
    }
    lnkLinux = LinuxChild(folderLinux, numbered + ".lnk");
    plainLinux = LinuxChild(folderLinux, numbered);
    if ((!AnythingAt(lnkLinux) && !DirectoryExists(plainLinux)) || i == kMaxShortcutNameTries) {
      break;
    }
  }
  answer.path = WithSeparator(answer.folder) + numbered + ".lnk";
  if (!AnythingAt(lnkLinux) && CreateShortcut(target, lnkLinux, name, context))
    answer.shortcutInPlace = true;
  return answer;
}

int ResolveShortcutPath(const std::string& realPath, bool isDirectory, std::string& realPathOut,
                        const ShortcutContext& context) {
  realPathOut.clear();
  std::string path = realPath;
  if (!isDirectory) {
    // The extension of the file name (a dot in a directory name is no extension).
    const size_t nameStart = path.rfind('/') + 1;
    const size_t dot = path.rfind('.');
    if (dot != std::string::npos && dot > nameStart) path.resize(dot);
  }
  // Separators of the directory part: every "/" through the last one, unless that is the
  // first character (a path directly below "/" has no directory levels to look at).
  std::vector<size_t> separators;
  const size_t last = path.rfind('/');
  if (last != std::string::npos && last > 0) {
    for (size_t i = 0; i <= last; ++i) {
      if (path[i] == '/') separators.push_back(i);
    }
  }
  if (separators.size() < 2) return kNoShortcutOnPath;
  const size_t deepest = separators.size() - 1;
  for (size_t k = deepest; k >= 1; --k) {
    std::string lnk = path.substr(0, separators[k]) + ".lnk";
    std::string tail = path.substr(separators[k]);
    if (!PathExists(lnk, 0)) {
      if (k != deepest) continue;
      lnk = path + ".lnk";
      tail.clear();
      if (!PathExists(lnk, 0)) continue;
    }
    std::string target, targetLinux;
    const int state = ReadShortcut(lnk, target, context, &targetLinux);
    if (state != kShortcutDirectory && state != kShortcutFile) continue;
    realPathOut = targetLinux;
    if (!tail.empty() && tail != "/") {
      if (realPathOut.ends_with('/')) realPathOut.pop_back();
      realPathOut += tail;
    }
    if (isDirectory) {
      return DirectoryExists(realPathOut) ? kDirectoryThroughShortcut
                                          : kDirectoryThroughBrokenShortcut;
    }
    return PathExists(realPathOut, 0) ? kFileThroughShortcut : kFileThroughBrokenShortcut;
  }
  return kNoShortcutOnPath;
}

}  // namespace zelm
