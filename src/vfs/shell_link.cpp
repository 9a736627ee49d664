// Owns the shortcut file I/O: reading a shortcut file and examining its target, and writing a
// new one into place without replacing anything.
#include "vfs/shell_link.h"

#include <atomic>

#include "platform/files.h"
#include "platform/small_file.h"
#include "vfs/file_helpers.h"

namespace zelm {

CCodePage ShortcutCodePage(uint32_t codePage) { return CCodePage(codePage != 0 ? codePage : 1252); }

int ReadShortcut(const std::string& lnkPath, std::string& target, const ShortcutContext& context,
                 std::string* linuxTarget) {
  target.clear();
  if (linuxTarget != nullptr) linuxTarget->clear();
  if (lnkPath.empty()) return kShortcutUnreadable;
  // SECURITY: a shortcut may come from a customer: regular files only, size capped.
  std::string bytes;
  if (ReadSmallFile(lnkPath, kMaxShortcutFileSize, bytes) != SmallFileResult::kOk) {
    return kShortcutUnreadable;
  }
  CCodePage ansi = ShortcutCodePage(context.codePage);
  ShellLinkContents contents;
  if (!ParseShellLink(bytes, ansi, contents)) return kShortcutUnreadable;
  target = std::move(contents.target);
  std::string mapped;
  if (target.empty() || !MapManagedPath(target, context.drives, "", mapped)) {
    return kShortcutMissing;
  }
  if (linuxTarget != nullptr) *linuxTarget = mapped;
  if (DirectoryExists(mapped)) return kShortcutDirectory;
  if (PathExists(mapped, 0)) return kShortcutFile;
  return kShortcutMissing;
}

bool CreateShortcut(std::string_view target, const std::string& lnkPath,
                    std::string_view description, const ShortcutContext& context) {
  const size_t slash = lnkPath.rfind('/');
  if (slash == std::string::npos || slash + 1 == lnkPath.size()) return false;
  ShellLinkTarget link;
  link.path = std::string(target);
  std::string mapped;
  FileStatus status;
  if (MapManagedPath(target, context.drives, "", mapped) &&
      GetFileStatus(mapped, status, LinkPolicy::kFollow)) {
    link.isDirectory = status.kind == FileKind::kDirectory;
    link.size = status.kind == FileKind::kRegular ? status.size : 0;
    link.time = status.creationTime;
  }
  CCodePage ansi = ShortcutCodePage(context.codePage);
  std::string bytes;
  if (!BuildShellLink(link, description, ansi, bytes)) return false;

  // A temporary name in the same folder, then a rename that never replaces an existing file.
  static std::atomic<uint32_t> counter{0};
  const std::string folder = lnkPath.substr(0, slash + 1);
  CFile file;
  std::string temporary;
  for (int attempt = 0; attempt < 100 && !file.IsOpen(); ++attempt) {
    temporary = folder + ".zelm-shortcut-" + std::to_string(counter.fetch_add(1)) + ".tmp";
    file.Open(temporary, CFile::Mode::kWriteNew);
  }
  if (!file.IsOpen()) return false;
  const bool written = file.Write(bytes.data(), bytes.size());
  file.Close();
  if (written && MovePath(temporary, lnkPath)) return true;
  RemoveFile(temporary);
  return false;
}

}  // namespace zelm
