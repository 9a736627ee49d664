// Owns the MD5 keystream that hides passwords on the management link.
#include "mserver/password_hiding.h"

#include <algorithm>
#include <cstring>

#include "platform/limits.h"
#include "platform/md5.h"

namespace zelm {
namespace {

constexpr size_t kBlock = 16;

std::string_view CutKey(std::string_view key) { return key.substr(0, kMaxHidingKey); }

// MD5(key) for block 0, MD5(key + previous hidden block) after it.
Md5Digest KeyBlock(std::string_view key, const uint8_t* previousHidden) {
  CMd5 md5;
  md5.Update(key.data(), key.size());
  if (previousHidden != nullptr) md5.Update(previousHidden, kBlock);
  return md5.Final();
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::vector<uint8_t> HideBytes(const uint8_t* data, size_t length, std::string_view key) {
  length = std::min(length, kMaxHiddenPassword);
  std::vector<uint8_t> buffer((length + kBlock - 1) / kBlock * kBlock, 0);
  if (length != 0) std::memcpy(buffer.data(), data, length);
  key = CutKey(key);
  for (size_t at = 0; at < buffer.size(); at += kBlock) {
    const Md5Digest stream = KeyBlock(key, at == 0 ? nullptr : buffer.data() + at - kBlock);
    for (size_t i = 0; i < kBlock; ++i) buffer[at + i] ^= stream[i];
  }
  return buffer;
}

std::string HidePassword(std::string_view password, std::string_view userName) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  const std::vector<uint8_t> hidden =
      HideBytes(reinterpret_cast<const uint8_t*>(password.data()), password.size(), userName);
  std::string text;
  text.reserve(hidden.size() * 2);
  for (uint8_t byte : hidden) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

std::vector<uint8_t> RecoverBytes(const uint8_t* hidden, size_t length, std::string_view key) {
  length -= length % kBlock;
  std::vector<uint8_t> plain(hidden, hidden + length);
  key = CutKey(key);
  for (size_t at = 0; at < length; at += kBlock) {
    const Md5Digest stream = KeyBlock(key, at == 0 ? nullptr : hidden + at - kBlock);
    for (size_t i = 0; i < kBlock; ++i) plain[at + i] ^= stream[i];
  }
  return plain;
}

bool RecoverPassword(std::string_view hexText, std::string_view userName, std::string& password) {
  if (hexText.size() % (2 * kBlock) != 0) return false;
  std::vector<uint8_t> hidden(hexText.size() / 2);
  for (size_t i = 0; i < hidden.size(); ++i) {
    const int high = HexValue(hexText[2 * i]);
    const int low = HexValue(hexText[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    hidden[i] = static_cast<uint8_t>(high << 4 | low);
  }
  const std::vector<uint8_t> plain = RecoverBytes(hidden.data(), hidden.size(), userName);
  size_t end = plain.size();
  while (end > 0 && plain[end - 1] == 0) --end;
  password.assign(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(end));
  return true;
}

}  // namespace zelm
