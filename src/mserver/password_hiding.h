// Password hiding: a named user's FTP password travels to the management server combined
// with an MD5 keystream derived from the user name, as upper-case hexadecimal text.
//
// Block 0 is XORed with MD5(name); block i with MD5(name + hidden block i-1). The password is
// cut to 128 bytes and zero-padded to a multiple of 16; the name is cut to 254 bytes.
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zelm {

// The hidden bytes of `data` (cut to 128 bytes, zero-padded to a multiple of 16).
std::vector<uint8_t> HideBytes(const uint8_t* data, size_t length, std::string_view key);
// Two upper-case hexadecimal digits per hidden byte; empty for an empty password.
std::string HidePassword(std::string_view password, std::string_view userName);

// The inverse, as the management server computes it: the padded password bytes.
std::vector<uint8_t> RecoverBytes(const uint8_t* hidden, size_t length, std::string_view key);
// Recovers a password from its hexadecimal text (padding zeros removed); false when the text
// is not whole blocks of hexadecimal digits.
bool RecoverPassword(std::string_view hexText, std::string_view userName, std::string& password);

}  // namespace zelm
