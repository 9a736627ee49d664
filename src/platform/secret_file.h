// Small files that only their owner may read (the console's access token).
//
// Thread safety: re-entrant.
#pragma once

#include <string>

namespace zelm {

// Writes `content` to `path` with mode 0600, replacing the file whole (a temporary file in the
// same folder, then a rename), so a reader never sees half a file. The folder must exist.
bool WriteSecretFile(const std::string& path, const std::string& content);

// Random bytes from the system's generator, as lower-case hex (2 characters a byte); empty
// when the generator failed.
std::string RandomHex(size_t bytes);

}  // namespace zelm
