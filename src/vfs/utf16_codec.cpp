// Owns the strict UTF-8 and UTF-16 conversions of shortcut strings and their 8-bit forms.
#include "vfs/utf16_codec.h"

namespace zelm {
namespace {

void AppendUtf8(uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | cp >> 12);
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | cp >> 18);
    out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

bool Utf16ToUtf8(std::u16string_view in, std::string& out) {
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    uint32_t cp = in[i];
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 1 >= in.size() || in[i + 1] < 0xDC00 || in[i + 1] > 0xDFFF) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (in[++i] - 0xDC00);
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      return false;
    }
    AppendUtf8(cp, out);
  }
  return true;
}

bool NextUtf8CodePoint(std::string_view in, size_t& i, uint32_t& cp) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(in[k]); };
  const uint8_t lead = byte(i);
  size_t extra = 0;
  uint32_t min = 0;
  if (lead < 0x80) {
    cp = lead;
  } else if ((lead & 0xE0) == 0xC0) {
    cp = lead & 0x1F, extra = 1, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    cp = lead & 0x0F, extra = 2, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    cp = lead & 0x07, extra = 3, min = 0x10000;
  } else {
    return false;
  }
  if (in.size() - i - 1 < extra) return false;
  for (size_t k = 1; k <= extra; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return false;
    cp = cp << 6 | (byte(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  i += extra + 1;
  return true;
}

bool Utf8ToUtf16(std::string_view in, std::u16string& out) {
  out.clear();
  for (size_t i = 0; i < in.size();) {
    uint32_t cp = 0;
    if (!NextUtf8CodePoint(in, i, cp)) return false;
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return true;
}

std::string Utf8ToAnsi(std::string_view in, CCodePage& ansi, char fallback) {
  std::string out;
  if (ansi.FromUtf8(in, out)) return out;
  out.clear();
  std::string one;
  for (size_t i = 0; i < in.size();) {
    const size_t start = i;
    uint32_t cp = 0;
    if (!NextUtf8CodePoint(in, i, cp)) return out;
    if (ansi.FromUtf8(in.substr(start, i - start), one) && !one.empty()) {
      out += one;
    } else {
      out += fallback;
    }
  }
  return out;
}

}  // namespace zelm
