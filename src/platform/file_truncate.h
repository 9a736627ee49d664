// Cutting an open file to a length (the upload engine's clean-up of a refused upload).
#pragma once

#include <cstdint>

#include "platform/files.h"

namespace zelm {

// Cuts (or extends) the open file to `length` bytes; the position is left as it is. False
// with the system's error number in `LastSystemError()` on failure.
bool TruncateFile(CFile& file, uint64_t length);

}  // namespace zelm
