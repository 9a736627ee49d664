// Owns password hashing with scrypt and random salts.
#include "platform/password_hash.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <charconv>
#include <vector>

namespace zelm {
namespace {

constexpr size_t kSaltBytes = 16;
constexpr size_t kKeyBytes = 32;
constexpr uint64_t kMaxMemory = 256ull * 1024 * 1024;

std::string Hex(const std::vector<uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 15]);
  }
  return text;
}

bool FromHex(std::string_view text, std::vector<uint8_t>& bytes) {
  if (text.empty() || text.size() % 2 != 0) return false;
  bytes.clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    uint8_t byte = 0;
    const auto [end, ec] = std::from_chars(text.data() + i, text.data() + i + 2, byte, 16);
    if (ec != std::errc() || end != text.data() + i + 2) return false;
    bytes.push_back(byte);
  }
  return true;
}

bool Derive(std::string_view password, const std::vector<uint8_t>& salt, const ScryptParameters& p,
            std::vector<uint8_t>& key) {
  return EVP_PBE_scrypt(password.data(), password.size(), salt.data(), salt.size(), p.n, p.r, p.p,
                        kMaxMemory, key.data(), key.size()) == 1;
}

// Splits "scrypt$N$r$p$salt$key".
bool Parse(std::string_view stored, ScryptParameters& p, std::vector<uint8_t>& salt,
           std::vector<uint8_t>& key) {
  std::string_view parts[6];
  for (int i = 0; i < 6; ++i) {
    const size_t dollar = i < 5 ? stored.find('$') : stored.size();
    if (dollar == std::string_view::npos) return false;
    parts[i] = stored.substr(0, dollar);
    stored.remove_prefix(i < 5 ? dollar + 1 : dollar);
  }
  if (parts[0] != "scrypt") return false;
  uint64_t* numbers[3] = {&p.n, &p.r, &p.p};
  for (int i = 0; i < 3; ++i) {
    const std::string_view text = parts[i + 1];
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *numbers[i]);
    if (ec != std::errc() || end != text.data() + text.size() || *numbers[i] == 0) return false;
  }
  return FromHex(parts[4], salt) && FromHex(parts[5], key);
}

}  // namespace

std::string HashPassword(std::string_view password, const ScryptParameters& parameters) {
  std::vector<uint8_t> salt(kSaltBytes);
  std::vector<uint8_t> key(kKeyBytes);
  if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1 ||
      !Derive(password, salt, parameters, key)) {
    return {};
  }
  return "scrypt$" + std::to_string(parameters.n) + "$" + std::to_string(parameters.r) + "$" +
         std::to_string(parameters.p) + "$" + Hex(salt) + "$" + Hex(key);
}

bool VerifyPassword(std::string_view password, std::string_view stored) {
  ScryptParameters parameters;
  std::vector<uint8_t> salt;
  std::vector<uint8_t> expected;
  if (!Parse(stored, parameters, salt, expected)) return false;
  std::vector<uint8_t> key(expected.size());
  if (!Derive(password, salt, parameters, key)) return false;
  return CRYPTO_memcmp(key.data(), expected.data(), key.size()) == 0;
}

CVerifiedPasswords::CVerifiedPasswords(size_t capacity) : capacity_(capacity) {
  // Without a random key nothing is ever remembered (every digest differs from the last).
  if (RAND_bytes(key_.data(), static_cast<int>(key_.size())) != 1) key_.fill(0);
}

std::string CVerifiedPasswords::Digest(std::string_view password, std::string_view stored) const {
  // The stored text's length first, so that no other pair gives the same message.
  std::string message = std::to_string(stored.size());
  message.push_back(':');
  message.append(stored);
  message.append(password);
  uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  if (HMAC(EVP_sha256(), key_.data(), static_cast<int>(key_.size()),
           reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest,
           &length) == nullptr) {
    length = 0;
  }
  OPENSSL_cleanse(message.data(), message.size());
  return std::string(reinterpret_cast<const char*>(digest), length);
}

bool CVerifiedPasswords::Verify(std::string_view password, std::string_view stored) {
  const std::string digest = capacity_ != 0 ? Digest(password, stored) : std::string();
  if (!digest.empty()) {
    std::lock_guard lock(mutex_);
    if (digests_.contains(digest)) {
      ++hits_;
      return true;
    }
  }
  if (!VerifyPassword(password, stored)) return false;
  if (digest.empty()) return true;
  std::lock_guard lock(mutex_);
  if (digests_.insert(digest).second) {
    order_.push_back(digest);
    if (order_.size() > capacity_) {
      digests_.erase(order_.front());
      order_.pop_front();
    }
  }
  return true;
}

uint64_t CVerifiedPasswords::Hits() const {
  std::lock_guard lock(mutex_);
  return hits_;
}

}  // namespace zelm
