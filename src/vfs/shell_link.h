// Windows shortcut files (".lnk", the Shell Link binary format) on disk: reading one and
// examining its target, writing a new one into place. The bytes themselves are parsed by
// vfs/shell_link_reader.h and built by vfs/shell_link_writer.h, which this header includes.
//
// A shortcut file is untrusted input: a customer may upload one. It is read only when it is a
// regular file of at most `kMaxShortcutFileSize` bytes.
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
#include "vfs/shell_link_reader.h"
#include "vfs/shell_link_writer.h"

namespace zelm {

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

// The 8-bit code page of a shortcut's ANSI strings for the setting "Code Page" (0 = 1252).
CCodePage ShortcutCodePage(uint32_t codePage);

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
