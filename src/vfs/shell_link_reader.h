// The Shell Link parser: what a Windows shortcut file (".lnk") says about its target.
//
// A shortcut file is untrusted input: a customer may upload one. The parser reads from a
// buffer of at most `kMaxShortcutFileSize` bytes and checks every size and offset against the
// structure that holds it; anything that does not fit makes the file "not a shortcut".
// doc/shortcuts.md has the layout and the reading order: the link information's path first,
// then the ID list's, then the environment block's.
//
// Thread safety: re-entrant; the code-page converter passed in belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/code_page.h"

namespace zelm {

// Largest shortcut file that is read at all; bigger files are not shortcuts to the server.
inline constexpr size_t kMaxShortcutFileSize = 1024 * 1024;

// What the parser recovers from a shortcut file.
struct ShellLinkContents {
  std::string target;  // UTF-8; empty when the link names no file-system path
  std::string description;
  uint32_t linkFlags = 0;
  uint32_t fileAttributes = 0;
};

// Parses a whole shortcut file held in `bytes`, its 8-bit strings in `ansi`'s code page. False
// when the bytes are not a valid shortcut (wrong header, a size or offset outside its
// structure, a string past the end). A valid shortcut whose target cannot be recovered (a
// shell-namespace target, text that cannot be decoded) gives true with an empty target.
bool ParseShellLink(std::string_view bytes, CCodePage& ansi, ShellLinkContents& contents);

}  // namespace zelm
