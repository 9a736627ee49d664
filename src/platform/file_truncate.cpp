// Owns the truncation of open files.
#include "platform/file_truncate.h"

#include <unistd.h>

#include <cerrno>

namespace zelm {

bool TruncateFile(CFile& file, uint64_t length) {
  if (!file.IsOpen()) return false;
  int rc = 0;
  do {
    rc = ::ftruncate(file.NativeHandle(), static_cast<off_t>(length));
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

}  // namespace zelm
