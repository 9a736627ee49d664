// Strict conversions between UTF-8 and UTF-16 (the Unicode strings of shortcut files), and the
// 8-bit form of a UTF-8 text in a code page, for the ANSI strings beside them.
//
// Strict means: an unpaired surrogate has no UTF-8 form, and overlong sequences, surrogates
// and code points above U+10FFFF are not UTF-8; each conversion then fails as a whole.
//
// Thread safety: re-entrant; `Utf8ToAnsi` uses the caller's converter, which belongs to one
// thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/code_page.h"

namespace zelm {

// UTF-16 text to UTF-8 in `out`. False for an unpaired surrogate: such a name has no UTF-8
// form on the disk.
bool Utf16ToUtf8(std::u16string_view in, std::string& out);

// UTF-8 text to UTF-16 in `out`. False when `in` is not strict UTF-8.
bool Utf8ToUtf16(std::string_view in, std::u16string& out);

// Decodes the UTF-8 sequence at `i` (which must be below `in.size()`) into `cp` and moves `i`
// past it; false, with `i` unchanged, for anything that is not strict UTF-8.
bool NextUtf8CodePoint(std::string_view in, size_t& i, uint32_t& cp);

// The 8-bit form of a valid UTF-8 text in `ansi`'s code page; characters the code page lacks
// become `fallback` (the Unicode strings beside it carry the exact text). Stops at the first
// byte that is not strict UTF-8.
std::string Utf8ToAnsi(std::string_view in, CCodePage& ansi, char fallback);

}  // namespace zelm
