// Owns the capped, non-blocking whole-file read of small untrusted files.
#include "platform/small_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "platform/limits.h"

namespace zelm {

SmallFileResult ReadSmallFile(const std::string& path, size_t maxBytes, std::string& bytes) {
  bytes.clear();
  if (path.empty() || path.size() > kMaxPath) return SmallFileResult::kMissing;
  // SECURITY: O_NONBLOCK keeps a FIFO from stalling the open; only regular files are read.
  int fd = -1;
  do {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return SmallFileResult::kMissing;
  SmallFileResult result = SmallFileResult::kOk;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    result = SmallFileResult::kError;
  } else if (!S_ISREG(st.st_mode)) {
    result = SmallFileResult::kNotRegular;
  } else if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > maxBytes) {
    result = SmallFileResult::kTooLarge;
  } else {
    // SECURITY: the file may grow while it is read; one byte past the cap ends the read.
    const size_t limit = maxBytes + 1;
    bytes.resize(static_cast<size_t>(st.st_size) + 1);
    size_t filled = 0;
    for (;;) {
      if (filled == bytes.size()) {
        if (bytes.size() >= limit) break;
        bytes.resize(std::min(limit, bytes.size() * 2));
      }
      const ssize_t n = read(fd, bytes.data() + filled, bytes.size() - filled);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        result = SmallFileResult::kError;
        break;
      }
      if (n == 0) break;
      filled += static_cast<size_t>(n);
    }
    if (result == SmallFileResult::kOk && filled > maxBytes) result = SmallFileResult::kTooLarge;
    bytes.resize(result == SmallFileResult::kOk ? filled : 0);
  }
  close(fd);
  if (result != SmallFileResult::kOk) bytes.clear();
  return result;
}

}  // namespace zelm
