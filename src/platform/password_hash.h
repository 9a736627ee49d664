// Salted scrypt hashes of stored passwords (OpenSSL's EVP_PBE_scrypt).
//
// A hash is stored as text: "scrypt$N$r$p$<salt hex>$<key hex>", so the parameters travel
// with it and can be raised later without invalidating older hashes.
// Thread safety: pure functions.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>

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

// Passwords that verified lately, so that the next check of the same password against the
// same stored hash skips the derivation, which is slow on purpose (a customer's client logs
// in again for every connection it opens). What is kept is a keyed digest (HMAC-SHA-256
// under a random key of this object) of the stored text and the password, never the password
// itself; a changed stored text (a new password, a fresh salt) matches none of them. A
// password that does not verify costs the full derivation every time, so guessing is as slow
// as without the cache. At most `capacity` digests are kept; the oldest go first.
// Thread safety: any thread (a mutex guards the digests).
class CVerifiedPasswords final {
 public:
  explicit CVerifiedPasswords(size_t capacity);
  CVerifiedPasswords(const CVerifiedPasswords&) = delete;
  CVerifiedPasswords& operator=(const CVerifiedPasswords&) = delete;

  // VerifyPassword, answered from the digests when `password` verified against `stored`
  // before.
  bool Verify(std::string_view password, std::string_view stored);
  // How many checks the digests answered (tests).
  uint64_t Hits() const;

 private:
  std::string Digest(std::string_view password, std::string_view stored) const;

  const size_t capacity_;
  std::array<uint8_t, 32> key_{};
  mutable std::mutex mutex_;  // guards the digests and the count
  std::unordered_set<std::string> digests_;
  std::deque<std::string> order_;  // oldest first
  uint64_t hits_ = 0;
};

}  // namespace zelm
