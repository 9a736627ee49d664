// Windows shortcut files (".lnk", the Shell Link binary format), written and read on Linux.
//
// Café PCs and Windows users of the same folders through a file share see the shortcuts the
// server publishes as ordinary Windows shortcuts, so the files must be what Windows Explorer
// writes: a 76-byte header, an ID list and the link information for a drive-letter target
// (Explorer relies on the ID list), the link information alone for a Linux target, the
// description as the name string, Unicode strings throughout. doc/shortcuts.md has the layout
// and the reading order.
//
// A shortcut file is untrusted input: a customer may upload one. The parser reads from a
// buffer of at most `kMaxShortcutFileSize` bytes and checks every size and offset against the
// structure that holds it; anything that does not fit makes the file "not a shortcut".
//
// Targets are texts in the management server's forms ("D:\games\Chess", "/srv/games/Chess");
// every existence test maps them to Linux paths with `MapManagedPath`.
//
// Thread safety: re-entrant; every call makes its own code-page converter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/code_page.h"
#include "vfs/managed_path.h"

namespace zelm {

// Largest shortcut file that is read at all; bigger files are not shortcuts to the server.
inline constexpr size_t kMaxShortcutFileSize = 1024 * 1024;

// Result of `ReadShortcut`.
enum ShortcutState : int {
  kShortcutUnreadable = 0,  // no shortcut file, or not a valid one
  kShortcutDirectory = 1,   // the target is an existing directory
  kShortcutMissing = 2,     // the target does not exist (or names no file-system path)
  kShortcutFile = 3,        // the target is an existing file
};

// The settings the shortcut code depends on, passed in by its caller.
struct ShortcutContext {
  DriveLookup drives;     // the "Drive X" settings, for drive-letter targets and folders
  uint32_t codePage = 0;  // the "Code Page" setting: the 8-bit strings' code page, 0 = 1252
};

// What the parser recovers from a shortcut file.
struct ShellLinkContents {
  std::string target;  // UTF-8; empty when the link names no file-system path
  std::string description;
  uint32_t linkFlags = 0;
  uint32_t fileAttributes = 0;
};

// What the writer stores about the target.
struct ShellLinkTarget {
  // "X:\dir\name" (either separator) or an absolute Linux path, UTF-8.
  std::string path;
  bool isDirectory = false;
  uint64_t size = 0;
  int64_t time = 0;  // seconds since the epoch; 0 leaves the times unset
};

// The 8-bit code page of a shortcut's ANSI strings for the setting "Code Page" (0 = 1252).
CCodePage ShortcutCodePage(uint32_t codePage);

// Parses a whole shortcut file held in `bytes`. False when the bytes are not a valid shortcut
// (wrong header, a size or offset outside its structure, a string past the end). A valid
// shortcut whose target cannot be recovered (a shell-namespace target, text that cannot be
// decoded) gives true with an empty target.
bool ParseShellLink(std::string_view bytes, CCodePage& ansi, ShellLinkContents& contents);

// Builds the bytes of a shortcut to `target` with `description` as its name string. False
// when the path is neither a drive-letter path nor an absolute Linux path, contains a ".."
// component, or when the path or the description is not valid UTF-8 or holds a NUL.
bool BuildShellLink(const ShellLinkTarget& target, std::string_view description, CCodePage& ansi,
                    std::string& bytes);

// Reads the shortcut file `lnkPath` (a Linux path) and puts its target into `target`; with
// `linuxTarget` given, the target's Linux path too (empty when it has none). Returns a
// `ShortcutState`: 0 for a missing, oversized or invalid file; a target that cannot be mapped
// to a Linux path counts as missing (2).
int ReadShortcut(const std::string& lnkPath, std::string& target, const ShortcutContext& context,
                 std::string* linuxTarget = nullptr);

// Writes a shortcut to `target` (a management-server path) at the Linux path `lnkPath`, with
// `description` as its name string and the target's kind, size and time when it can be
// mapped and examined. The file is written under a temporary name in the same folder and
// renamed into place, so no reader sees half a file; an existing `lnkPath` is never replaced.
// True when the shortcut file is in place.
bool CreateShortcut(std::string_view target, const std::string& lnkPath,
                    std::string_view description, const ShortcutContext& context);

}  // namespace zelm
