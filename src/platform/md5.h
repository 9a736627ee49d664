// MD5 (RFC 1321) digests, the one hash the management protocol uses.
//
// A thin wrapper over OpenSSL's EVP interface so that no other file includes OpenSSL.
// Thread safety: each `CMd5` object belongs to one thread; `Md5Of` may be called anywhere.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace zelm {

using Md5Digest = std::array<uint8_t, 16>;

// Incremental MD5: Update as often as needed, then Final once.
class CMd5 final {
 public:
  CMd5();
  ~CMd5();
  CMd5(const CMd5&) = delete;
  CMd5& operator=(const CMd5&) = delete;

  void Update(const void* data, size_t length);
  void Update(std::span<const uint8_t> bytes) { Update(bytes.data(), bytes.size()); }
  Md5Digest Final();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

Md5Digest Md5Of(const void* data, size_t length);

}  // namespace zelm
