// File names in a client's Windows code page.
//
// Café PCs that use Windows tools send and expect file names in their Windows code page (1252
// in Western Europe, 1251 Cyrillic, 936 Chinese, ...), while names on a Linux file system are
// UTF-8. `CCodePage` converts between the two with the platform's iconv. Code page 0 (and
// 65001, which is UTF-8 itself) passes bytes through unchanged.
//
// A conversion never guesses: a byte sequence that has no counterpart makes it fail, and the
// caller treats the name as invalid rather than touching a mangled file.
//
// Thread safety: an object keeps conversion state; use it from one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zelm {

class CCodePage final {
 public:
  // A pass-through converter.
  CCodePage() = default;
  // Same as `Set(codePage)`.
  explicit CCodePage(uint32_t codePage);
  ~CCodePage();
  CCodePage(CCodePage&& other) noexcept;
  CCodePage& operator=(CCodePage&& other) noexcept;
  CCodePage(const CCodePage&) = delete;
  CCodePage& operator=(const CCodePage&) = delete;

  // Selects a code page (0 = pass through). False when the platform has no converter for it;
  // the object then refuses every conversion, so no name is ever mis-translated.
  bool Set(uint32_t codePage);

  uint32_t GetCodePage() const { return codePage_; }
  bool IsPassThrough() const { return codePage_ == 0 || codePage_ == 65001; }

  // Client bytes to UTF-8; false (and `utf8` cleared) when the text cannot be converted.
  bool ToUtf8(std::string_view client, std::string& utf8);
  // UTF-8 to client bytes; false (and `client` cleared) when the text cannot be converted.
  bool FromUtf8(std::string_view utf8, std::string& client);

 private:
  void Close();

  uint32_t codePage_ = 0;
  bool broken_ = false;     // the code page has no converter
  void* toUtf8_ = nullptr;  // iconv descriptors
  void* fromUtf8_ = nullptr;
};

// The iconv name of a Windows code page number ("CP1252", "ISO-8859-2", ...).
std::string CodePageName(uint32_t codePage);

}  // namespace zelm
