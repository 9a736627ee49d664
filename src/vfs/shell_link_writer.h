// The Shell Link writer: the bytes of a Windows shortcut file (".lnk") to a target.
//
// Café PCs and Windows users of the same folders through a file share see the shortcuts the
// server publishes as ordinary Windows shortcuts, so the files must be what Windows Explorer
// writes: a 76-byte header, an ID list and the link information for a drive-letter target
// (Explorer relies on the ID list), the link information alone for a Linux target, the
// description as the name string, Unicode strings throughout. doc/shortcuts.md has the layout.
//
// Thread safety: re-entrant; the code-page converter passed in belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/code_page.h"

namespace zelm {

// What the writer stores about the target.
struct ShellLinkTarget {
  // "X:\dir\name" (either separator) or an absolute Linux path, UTF-8.
  std::string path;
  bool isDirectory = false;
  uint64_t size = 0;
  int64_t time = 0;  // seconds since the epoch; 0 leaves the times unset
};

// Builds the bytes of a shortcut to `target` with `description` as its name string, the 8-bit
// strings in `ansi`'s code page. False when the path is neither a drive-letter path nor an
// absolute Linux path, contains a ".." component, or when the path or the description is not
// valid UTF-8 or holds a NUL.
bool BuildShellLink(const ShellLinkTarget& target, std::string_view description, CCodePage& ansi,
                    std::string& bytes);

}  // namespace zelm
