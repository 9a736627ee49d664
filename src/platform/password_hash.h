// Salted scrypt hashes of stored passwords (OpenSSL's EVP_PBE_scrypt).
//
// A hash is stored as text: "scrypt$N$r$p$<salt hex>$<key hex>", so the parameters travel
// with it and can be raised later without invalidating older hashes.
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zelm {

struct ScryptParameters {
  uint64_t n = 16384;  // CPU/memory cost (a power of 2)
  uint64_t r = 8;
  uint64_t p = 1;
};

// A new hash with a fresh 16-byte random salt; empty when hashing failed.
std::string HashPassword(std::string_view password, const ScryptParameters& parameters = {});
// True when `password` matches `stored`; a malformed stored text never matches. The
// comparison takes the same time wherever the keys differ.
bool VerifyPassword(std::string_view password, std::string_view stored);

}  // namespace zelm
