// Whole-file reads of small untrusted files (uploaded shortcut files, for one).
//
// `ReadSmallFile` never blocks on a FIFO or a device, never reads more than the cap, and
// refuses anything that is not a regular file, so a name a customer controls cannot make the
// server hang or swallow a huge file.
//
// Thread safety: re-entrant.
#pragma once

#include <cstddef>
#include <string>

namespace zelm {

enum class SmallFileResult : int {
  kOk,
  kMissing,     // the path cannot be opened (absent, no permission, too long)
  kNotRegular,  // a directory, FIFO, device or socket
  kTooLarge,    // more than the cap
  kError,       // a read failed
};

// Reads the whole regular file `path` (symbolic links followed) into `bytes` when it holds at
// most `maxBytes` bytes; `bytes` is cleared unless the result is kOk.
SmallFileResult ReadSmallFile(const std::string& path, size_t maxBytes, std::string& bytes);

}  // namespace zelm
