// Owns the Shell Link writer, the bounds-checked Shell Link parser and the shortcut file I/O.
#include "vfs/shell_link.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "platform/files.h"
#include "platform/limits.h"
#include "platform/small_file.h"
#include "vfs/file_helpers.h"

namespace zelm {
namespace {

constexpr uint32_t kHeaderSize = 0x4C;
constexpr uint8_t kLinkClsid[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                    0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
// Roots of the ID list that start a file-system path: "My Computer" and "Network".
constexpr uint8_t kMyComputerClsid[16] = {0xE0, 0x4F, 0xD0, 0x20, 0xEA, 0x3A, 0x69, 0x10,
                                          0xA2, 0xD8, 0x08, 0x00, 0x2B, 0x30, 0x30, 0x9D};
constexpr uint8_t kNetworkClsid[16] = {0x60, 0x2C, 0x8D, 0x20, 0xEA, 0x3A, 0x69, 0x10,
                                       0xA2, 0xD7, 0x08, 0x00, 0x2B, 0x30, 0x30, 0x9D};

// Link flags.
constexpr uint32_t kHasIdList = 0x1;
constexpr uint32_t kHasLinkInfo = 0x2;
constexpr uint32_t kHasName = 0x4;
constexpr uint32_t kHasRelativePath = 0x8;
constexpr uint32_t kHasWorkingDir = 0x10;
constexpr uint32_t kHasArguments = 0x20;
constexpr uint32_t kHasIconLocation = 0x40;
constexpr uint32_t kIsUnicode = 0x80;
constexpr uint32_t kForceNoLinkInfo = 0x100;
constexpr uint32_t kHasExpString = 0x200;

constexpr uint32_t kAttributeDirectory = 0x10;
constexpr uint32_t kAttributeArchive = 0x20;

// Link information.
constexpr uint32_t kLinkInfoHeaderAnsi = 0x1C;
constexpr uint32_t kLinkInfoHeaderUnicode = 0x24;
constexpr uint32_t kVolumeIdAndLocalBasePath = 0x1;
constexpr uint32_t kCommonNetworkRelativeLink = 0x2;
constexpr uint32_t kDriveFixed = 3;
constexpr uint32_t kNetworkLinkMinSize = 0x14;

// ID list items.
constexpr uint8_t kClassRoot = 0x1F;
constexpr uint8_t kClassVolume = 0x2F;
constexpr uint8_t kClassDirectory = 0x31;
constexpr uint8_t kClassFile = 0x32;
constexpr uint8_t kClassUnicodeName = 0x04;
constexpr size_t kFileEntryFixedSize = 14;  // size, class, 0, file size, date, time, attributes
constexpr uint32_t kFileEntryExtension = 0xBEEF0004;
constexpr uint16_t kExtensionVersion = 3;
constexpr uint16_t kExtensionNameOffset = 0x14;  // of the long name, in a version 3 block

// Extra data.
constexpr uint32_t kEnvironmentBlock = 0xA0000001;
constexpr size_t kEnvironmentBlockSize = 0x314;
constexpr size_t kEnvironmentAnsiSize = 260;
constexpr size_t kEnvironmentUnicodeSize = 520;

// Longest string the writer puts into the string data (in UTF-16 units).
constexpr size_t kMaxStringUnits = 260;

constexpr int64_t kFileTimeEpochOffset = 116444736000000000LL;  // 1601 to 1970 in 100 ns

// ---- Bounds-checked reads. SECURITY: every byte of a shortcut is read through these. ----

bool Fits(std::string_view b, size_t offset, size_t length) {
  return offset <= b.size() && b.size() - offset >= length;
}

bool ReadU16(std::string_view b, size_t offset, uint16_t& value) {
  if (!Fits(b, offset, 2)) return false;
  value = static_cast<uint16_t>(static_cast<uint8_t>(b[offset]) |
                                static_cast<uint8_t>(b[offset + 1]) << 8);
  return true;
}

bool ReadU32(std::string_view b, size_t offset, uint32_t& value) {
  if (!Fits(b, offset, 4)) return false;
  value = 0;
  for (size_t i = 4; i-- > 0;) value = value << 8 | static_cast<uint8_t>(b[offset + i]);
  return true;
}

// A NUL-terminated 8-bit string starting at `offset`; false when no NUL comes before the end.
bool ReadAnsiZ(std::string_view b, size_t offset, std::string_view& text) {
  if (offset >= b.size()) return false;
  const size_t end = b.find('\0', offset);
  if (end == std::string_view::npos) return false;
  text = b.substr(offset, end - offset);
  return true;
}

// A NUL-terminated UTF-16LE string; false when no NUL unit comes before the end.
bool ReadUtf16Z(std::string_view b, size_t offset, std::u16string& text) {
  text.clear();
  for (uint16_t unit = 0; ReadU16(b, offset, unit); offset += 2) {
    if (unit == 0) return true;
    text.push_back(static_cast<char16_t>(unit));
  }
  return false;
}

// ---- Text conversions ----

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

// False for an unpaired surrogate: such a name has no UTF-8 form on the disk.
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

// Decodes one UTF-8 sequence at `i`; false for anything that is not strict UTF-8.
bool NextCodePoint(std::string_view in, size_t& i, uint32_t& cp) {
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
    if (!NextCodePoint(in, i, cp)) return false;
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return true;
}

// The 8-bit form of a valid UTF-8 text; characters the code page lacks become `fallback`
// (the Unicode strings beside it carry the exact text).
std::string Utf8ToAnsi(std::string_view in, CCodePage& ansi, char fallback) {
  std::string out;
  if (ansi.FromUtf8(in, out)) return out;
  out.clear();
  std::string one;
  for (size_t i = 0; i < in.size();) {
    const size_t start = i;
    uint32_t cp = 0;
    if (!NextCodePoint(in, i, cp)) return out;
    if (ansi.FromUtf8(in.substr(start, i - start), one) && !one.empty()) {
      out += one;
    } else {
      out += fallback;
    }
  }
  return out;
}

// ---- The parser ----

// "base" + "suffix", with a separator between them when the base has none.
std::string JoinBaseAndSuffix(std::string base, std::string_view suffix) {
  if (!base.empty() && !suffix.empty() && base.back() != '\\' && suffix.front() != '\\') {
    base += '\\';
  }
  base += suffix;
  return base;
}

// Reads the link information `info` (its whole LinkInfoSize). False when it is malformed;
// `target` stays empty when it is well formed but its strings cannot be decoded.
bool ParseLinkInfo(std::string_view info, CCodePage& ansi, std::string& target) {
  target.clear();
  uint32_t headerSize = 0, flags = 0, volumeOffset = 0, baseOffset = 0, networkOffset = 0,
           suffixOffset = 0;
  // SECURITY: the header must lie inside the structure; every offset is checked against
  // the structure's own size before it is followed.
  if (!ReadU32(info, 4, headerSize) || !ReadU32(info, 8, flags) ||
      !ReadU32(info, 12, volumeOffset) || !ReadU32(info, 16, baseOffset) ||
      !ReadU32(info, 20, networkOffset) || !ReadU32(info, 24, suffixOffset)) {
    return false;
  }
  const bool unicode = headerSize >= kLinkInfoHeaderUnicode;
  if ((headerSize != kLinkInfoHeaderAnsi && !unicode) || headerSize > info.size()) return false;
  uint32_t baseOffsetUnicode = 0, suffixOffsetUnicode = 0;
  if (unicode &&
      (!ReadU32(info, 28, baseOffsetUnicode) || !ReadU32(info, 32, suffixOffsetUnicode))) {
    return false;
  }
  const auto inData = [&](uint32_t offset) { return offset >= headerSize && offset < info.size(); };

  std::string_view suffixAnsi;
  std::u16string suffixWide;
  if (!inData(suffixOffset) || !ReadAnsiZ(info, suffixOffset, suffixAnsi)) return false;
  const bool hasSuffixWide = unicode && suffixOffsetUnicode != 0;
  if (hasSuffixWide &&
      (!inData(suffixOffsetUnicode) || !ReadUtf16Z(info, suffixOffsetUnicode, suffixWide))) {
    return false;
  }

  std::string base;
  bool decoded = true;
  if ((flags & kVolumeIdAndLocalBasePath) != 0) {
    uint32_t volumeSize = 0;
    if (!inData(volumeOffset) || !ReadU32(info, volumeOffset, volumeSize) || volumeSize <= 0x10 ||
        !Fits(info, volumeOffset, volumeSize)) {
      return false;
    }
    std::string_view baseAnsi;
    if (!inData(baseOffset) || !ReadAnsiZ(info, baseOffset, baseAnsi)) return false;
    if (unicode && baseOffsetUnicode != 0) {
      std::u16string wide;
      if (!inData(baseOffsetUnicode) || !ReadUtf16Z(info, baseOffsetUnicode, wide)) return false;
      decoded = Utf16ToUtf8(wide, base);
    } else {
      decoded = ansi.ToUtf8(baseAnsi, base);
    }
  } else if ((flags & kCommonNetworkRelativeLink) != 0) {
    uint32_t networkSize = 0, netNameOffset = 0;
    if (!inData(networkOffset) || !ReadU32(info, networkOffset, networkSize) ||
        networkSize < kNetworkLinkMinSize || !Fits(info, networkOffset, networkSize)) {
      return false;
    }
    const std::string_view network = info.substr(networkOffset, networkSize);
    std::string_view netNameAnsi;
    if (!ReadU32(network, 8, netNameOffset) || netNameOffset < kNetworkLinkMinSize ||
        !ReadAnsiZ(network, netNameOffset, netNameAnsi)) {
      return false;
    }
    uint32_t netNameOffsetUnicode = 0;
    if (netNameOffset > kNetworkLinkMinSize && ReadU32(network, 20, netNameOffsetUnicode) &&
        netNameOffsetUnicode != 0) {
      std::u16string wide;
      if (netNameOffsetUnicode < kNetworkLinkMinSize ||
          !ReadUtf16Z(network, netNameOffsetUnicode, wide)) {
        return false;
      }
      decoded = Utf16ToUtf8(wide, base);
    } else {
      decoded = ansi.ToUtf8(netNameAnsi, base);
    }
  } else {
    return true;  // neither a local nor a network target
  }

  std::string suffix;
  if (hasSuffixWide) {
    decoded = decoded && Utf16ToUtf8(suffixWide, suffix);
  } else {
    decoded = decoded && ansi.ToUtf8(suffixAnsi, suffix);
  }
  if (decoded) target = JoinBaseAndSuffix(std::move(base), suffix);
  return true;
}

// The name of a file-entry item: the long name of its extension block when there is a
// well-formed one, otherwise its primary name. False when neither can be read.
bool FileEntryName(std::string_view item, uint8_t itemClass, CCodePage& ansi, std::string& name) {
  uint16_t extension = 0;
  if (item.size() > kFileEntryFixedSize + 2 && ReadU16(item, item.size() - 2, extension) &&
      extension >= kFileEntryFixedSize && extension < item.size() - 2) {
    uint16_t blockSize = 0, version = 0, nameOffset = 0;
    uint32_t signature = 0;
    std::u16string wide;
    // SECURITY: the block must lie inside the item, and the name inside the block.
    if (ReadU16(item, extension, blockSize) && Fits(item, extension, blockSize) &&
        ReadU16(item, extension + 2, version) && ReadU32(item, extension + 4, signature) &&
        signature == kFileEntryExtension && version >= kExtensionVersion) {
      const std::string_view block = item.substr(extension, blockSize);
      if (ReadU16(block, 16, nameOffset) && nameOffset >= 18 &&
          ReadUtf16Z(block, nameOffset, wide) && !wide.empty() && Utf16ToUtf8(wide, name)) {
        return true;
      }
    }
  }
  if ((itemClass & kClassUnicodeName) != 0) {
    std::u16string wide;
    return ReadUtf16Z(item, kFileEntryFixedSize, wide) && Utf16ToUtf8(wide, name);
  }
  std::string_view primary;
  return ReadAnsiZ(item, kFileEntryFixedSize, primary) && ansi.ToUtf8(primary, name);
}

// Walks the ID list (the bytes after IDListSize). False when an item does not fit; `target`
// is empty when the list does not name a file-system path.
bool ParseIdList(std::string_view list, CCodePage& ansi, std::string& target) {
  target.clear();
  std::string path;
  bool usable = true;
  size_t offset = 0;
  for (;;) {
    uint16_t itemSize = 0;
    if (!ReadU16(list, offset, itemSize)) return false;  // no terminal item
    if (itemSize == 0) break;
    // SECURITY: an item holds at least its size and class and lies inside the list.
    if (itemSize < 3 || !Fits(list, offset, itemSize)) return false;
    const std::string_view item = list.substr(offset, itemSize);
    offset += itemSize;
    if (!usable) continue;
    const uint8_t itemClass = static_cast<uint8_t>(item[2]);
    std::string name;
    if (itemClass == kClassRoot) {
      // A path starts at "My Computer" or "Network"; any other root is a shell namespace.
      usable = path.empty() && item.size() >= 20 &&
               (std::memcmp(item.data() + 4, kMyComputerClsid, 16) == 0 ||
                std::memcmp(item.data() + 4, kNetworkClsid, 16) == 0);
      continue;
    }
    switch (itemClass & 0x70) {
      case 0x20: {  // volume "C:\"
        std::string_view volume;
        usable = path.empty() && (itemClass & 0x01) != 0 && ReadAnsiZ(item, 3, volume) &&
                 ansi.ToUtf8(volume, path) && !path.empty();
        break;
      }
      case 0x40: {  // network location "\\server\share"
        std::string_view location;
        usable = path.empty() && ReadAnsiZ(item, 5, location) && ansi.ToUtf8(location, path) &&
                 !path.empty();
        break;
      }
      case 0x30:  // file entry
        usable = !path.empty() && FileEntryName(item, itemClass, ansi, name);
        if (usable) {
          if (path.back() != '\\') path += '\\';
          path += name;
        }
        break;
      default:
        usable = false;
        break;
    }
    if (path.size() > kMaxPath) usable = false;
  }
  if (usable) target = std::move(path);
  return true;
}

}  // namespace

CCodePage ShortcutCodePage(uint32_t codePage) { return CCodePage(codePage != 0 ? codePage : 1252); }

bool ParseShellLink(std::string_view b, CCodePage& ansi, ShellLinkContents& contents) {
  contents = ShellLinkContents();
  // SECURITY: the whole file is in `b`; nothing is read outside it.
  uint32_t headerSize = 0, flags = 0;
  if (b.size() < kHeaderSize || b.size() > kMaxShortcutFileSize || !ReadU32(b, 0, headerSize) ||
      headerSize != kHeaderSize || std::memcmp(b.data() + 4, kLinkClsid, 16) != 0 ||
      !ReadU32(b, 0x14, flags) || !ReadU32(b, 0x18, contents.fileAttributes)) {
    return false;
  }
  contents.linkFlags = flags;
  size_t offset = kHeaderSize;

  std::string idListTarget;
  if ((flags & kHasIdList) != 0) {
    uint16_t listSize = 0;
    if (!ReadU16(b, offset, listSize) || !Fits(b, offset + 2, listSize) ||
        !ParseIdList(b.substr(offset + 2, listSize), ansi, idListTarget)) {
      return false;
    }
    offset += 2 + listSize;
  }

  std::string linkInfoTarget;
  if ((flags & kHasLinkInfo) != 0) {
    uint32_t infoSize = 0;
    if (!ReadU32(b, offset, infoSize) || infoSize < kLinkInfoHeaderAnsi ||
        !Fits(b, offset, infoSize)) {
      return false;
    }
    if ((flags & kForceNoLinkInfo) == 0 &&
        !ParseLinkInfo(b.substr(offset, infoSize), ansi, linkInfoTarget)) {
      return false;
    }
    offset += infoSize;
  }

  const bool unicode = (flags & kIsUnicode) != 0;
  for (const uint32_t stringFlag :
       {kHasName, kHasRelativePath, kHasWorkingDir, kHasArguments, kHasIconLocation}) {
    if ((flags & stringFlag) == 0) continue;
    uint16_t count = 0;
    if (!ReadU16(b, offset, count)) return false;
    const size_t length = size_t{count} * (unicode ? 2 : 1);
    if (!Fits(b, offset + 2, length)) return false;
    if (stringFlag == kHasName) {
      const std::string_view raw = b.substr(offset + 2, length);
      std::string text;
      bool decoded = false;
      if (unicode) {
        std::u16string wide;
        for (size_t i = 0; i < raw.size(); i += 2) {
          wide.push_back(static_cast<char16_t>(static_cast<uint8_t>(raw[i]) |
                                               static_cast<uint8_t>(raw[i + 1]) << 8));
        }
        while (!wide.empty() && wide.back() == 0) wide.pop_back();
        decoded = Utf16ToUtf8(wide, text);
      } else {
        decoded = ansi.ToUtf8(raw.substr(0, std::min(raw.size(), raw.find('\0'))), text);
      }
      if (decoded) contents.description = std::move(text);
    }
    offset += 2 + length;
  }

  std::string environmentTarget;
  for (;;) {
    uint32_t blockSize = 0, signature = 0;
    // SECURITY: the blocks end at the terminal block, at the end of the file, or at a block
    // that claims more bytes than are left.
    if (!ReadU32(b, offset, blockSize) || blockSize < 4 || !Fits(b, offset, blockSize)) break;
    if ((flags & kHasExpString) != 0 && blockSize >= kEnvironmentBlockSize &&
        ReadU32(b, offset + 4, signature) && signature == kEnvironmentBlock) {
      const std::string_view ansiField = b.substr(offset + 8, kEnvironmentAnsiSize);
      const std::string_view wideField =
          b.substr(offset + 8 + kEnvironmentAnsiSize, kEnvironmentUnicodeSize);
      std::u16string wide;
      std::string_view narrow;
      if (ReadUtf16Z(wideField, 0, wide) && !wide.empty()) {
        Utf16ToUtf8(wide, environmentTarget);
      } else if (ReadAnsiZ(ansiField, 0, narrow)) {
        ansi.ToUtf8(narrow, environmentTarget);
      }
    }
    offset += blockSize;
  }

  if (!linkInfoTarget.empty()) {
    contents.target = std::move(linkInfoTarget);
  } else if (!idListTarget.empty()) {
    contents.target = std::move(idListTarget);
  } else {
    contents.target = std::move(environmentTarget);
  }
  if (contents.target.size() > kMaxPath) contents.target.clear();
  return true;
}

// ---- The writer ----

namespace {

void PutU16(std::string& out, uint32_t value) {
  out += static_cast<char>(value & 0xFF);
  out += static_cast<char>(value >> 8 & 0xFF);
}

void PutU32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>(value >> (8 * i) & 0xFF);
}

void PutU64(std::string& out, uint64_t value) {
  PutU32(out, static_cast<uint32_t>(value));
  PutU32(out, static_cast<uint32_t>(value >> 32));
}

void PutUtf16(std::string& out, std::u16string_view text, bool terminate) {
  for (const char16_t unit : text) PutU16(out, unit);
  if (terminate) PutU16(out, 0);
}

void SetU16(std::string& out, size_t offset, uint32_t value) {
  out[offset] = static_cast<char>(value & 0xFF);
  out[offset + 1] = static_cast<char>(value >> 8 & 0xFF);
}

// FAT date and time (UTC) of a time in seconds since the epoch; 0 before 1980.
void FatDateTime(int64_t seconds, uint16_t& date, uint16_t& time) {
  date = time = 0;
  if (seconds < 315532800) return;  // 1980-01-01
  const int64_t days = seconds / 86400;
  const int64_t rest = seconds % 86400;
  // Civil date from a day count (H. Hinnant's algorithm).
  const int64_t z = days + 719468;
  const int64_t era = z / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  if (year > 2107) return;
  date = static_cast<uint16_t>((year - 1980) << 9 | month << 5 | day);
  time = static_cast<uint16_t>((rest / 3600) << 11 | (rest / 60 % 60) << 5 | (rest % 60) / 2);
}

// One file-entry item of the ID list, with a version 3 extension block holding the long name.
bool AppendFileEntry(std::string& list, std::string_view name, bool isDirectory,
                     const ShellLinkTarget& target, CCodePage& ansi) {
  std::u16string wide;
  if (name.empty() || !Utf8ToUtf16(name, wide)) return false;
  uint16_t date = 0, time = 0;
  FatDateTime(target.time, date, time);
  std::string item;
  PutU16(item, 0);  // size, set below
  item += static_cast<char>(isDirectory ? kClassDirectory : kClassFile);
  item += '\0';
  PutU32(item, isDirectory ? 0 : static_cast<uint32_t>(target.size));
  PutU16(item, date);
  PutU16(item, time);
  PutU16(item, isDirectory ? kAttributeDirectory : kAttributeArchive);
  // The primary name stands where Windows keeps the 8.3 name; the long name follows.
  item += Utf8ToAnsi(name, ansi, '_');
  item += '\0';
  if (item.size() % 2 != 0) item += '\0';
  const size_t extension = item.size();
  PutU16(item, 0);  // block size, set below
  PutU16(item, kExtensionVersion);
  PutU32(item, kFileEntryExtension);
  PutU16(item, date);  // creation
  PutU16(item, time);
  PutU16(item, date);  // last access
  PutU16(item, time);
  PutU16(item, kExtensionNameOffset);
  PutU16(item, 0);  // no localised name
  PutUtf16(item, wide, true);
  PutU16(item, static_cast<uint32_t>(extension));
  if (item.size() > 0xFFFF) return false;
  SetU16(item, extension, static_cast<uint32_t>(item.size() - extension));
  SetU16(item, 0, static_cast<uint32_t>(item.size()));
  list += item;
  return true;
}

// The ID list of "X:\a\b": My Computer, the volume, one file entry per component.
bool BuildIdList(char drive, const std::vector<std::string_view>& parts,
                 const ShellLinkTarget& target, CCodePage& ansi, std::string& out) {
  std::string list;
  PutU16(list, 20);
  list += static_cast<char>(kClassRoot);
  list += '\x50';
  list.append(reinterpret_cast<const char*>(kMyComputerClsid), 16);
  std::string volume;
  PutU16(volume, 25);
  volume += static_cast<char>(kClassVolume);
  volume += drive;
  volume += ":\\";
  volume.resize(25, '\0');
  list += volume;
  for (size_t i = 0; i < parts.size(); ++i) {
    const bool last = i + 1 == parts.size();
    if (!AppendFileEntry(list, parts[i], !last || target.isDirectory, target, ansi)) return false;
  }
  PutU16(list, 0);  // terminal item
  if (list.size() > 0xFFFF) return false;
  PutU16(out, static_cast<uint32_t>(list.size()));
  out += list;
  return true;
}

// Link information with a fixed-disk volume and the local path in both string forms.
void AppendLinkInfo(std::string& out, std::string_view path, CCodePage& ansi) {
  std::u16string wide;
  Utf8ToUtf16(path, wide);
  std::string volume;
  PutU32(volume, 0x11);
  PutU32(volume, kDriveFixed);
  PutU32(volume, 0);     // serial number
  PutU32(volume, 0x10);  // label offset
  volume += '\0';        // empty label
  std::string base = Utf8ToAnsi(path, ansi, '?');
  base += '\0';
  const uint32_t volumeOffset = kLinkInfoHeaderUnicode;
  const uint32_t baseOffset = volumeOffset + static_cast<uint32_t>(volume.size());
  const uint32_t suffixOffset = baseOffset + static_cast<uint32_t>(base.size());
  const uint32_t baseOffsetUnicode = suffixOffset + 1;
  const uint32_t suffixOffsetUnicode =
      baseOffsetUnicode + static_cast<uint32_t>(2 * (wide.size() + 1));
  const uint32_t size = suffixOffsetUnicode + 2;
  PutU32(out, size);
  PutU32(out, kLinkInfoHeaderUnicode);
  PutU32(out, kVolumeIdAndLocalBasePath);
  PutU32(out, volumeOffset);
  PutU32(out, baseOffset);
  PutU32(out, 0);  // no network part
  PutU32(out, suffixOffset);
  PutU32(out, baseOffsetUnicode);
  PutU32(out, suffixOffsetUnicode);
  out += volume;
  out += base;
  out += '\0';  // empty suffix
  PutUtf16(out, wide, true);
  PutU16(out, 0);  // empty Unicode suffix
}

void AppendString(std::string& out, std::u16string text) {
  if (text.size() > kMaxStringUnits) {
    text.resize(kMaxStringUnits);
    if (text.back() >= 0xD800 && text.back() <= 0xDBFF) text.pop_back();
  }
  PutU16(out, static_cast<uint32_t>(text.size()));
  PutUtf16(out, text, false);
}

std::vector<std::string_view> SplitComponents(std::string_view text) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start && text.substr(start, end - start) != ".") {
      parts.push_back(text.substr(start, end - start));
    }
    start = end + 1;
  }
  return parts;
}

}  // namespace

bool BuildShellLink(const ShellLinkTarget& target, std::string_view description, CCodePage& ansi,
                    std::string& bytes) {
  bytes.clear();
  const std::string_view text = target.path;
  std::u16string check;
  if (text.empty() || !Utf8ToUtf16(text, check) || text.find('\0') != std::string_view::npos ||
      description.find('\0') != std::string_view::npos) {
    return false;
  }
  const bool driveForm =
      text.size() >= 2 && text[1] == ':' &&
      ((text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z')) &&
      (text.size() == 2 || text[2] == '\\' || text[2] == '/');
  if (!driveForm && text.front() != '/') return false;
  const std::vector<std::string_view> parts = SplitComponents(driveForm ? text.substr(2) : text);
  if (std::find(parts.begin(), parts.end(), "..") != parts.end()) return false;

  // The stored path: "X:\a\b" with backslashes, or the Linux path without a trailing "/".
  std::string path;
  std::string parent;
  const char drive = static_cast<char>(driveForm ? text[0] & ~0x20 : 0);
  const char sep = driveForm ? '\\' : '/';
  if (driveForm) path = std::string(1, drive) + ":";
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i + 1 == parts.size()) parent = path.empty() ? std::string(1, '/') : path;
    path += sep;
    path += parts[i];
  }
  if (parts.empty()) path += sep;
  if (driveForm && parent.size() == 2) parent += '\\';

  uint32_t flags = kHasLinkInfo | kIsUnicode;
  if (driveForm) flags |= kHasIdList;
  if (!description.empty()) flags |= kHasName;
  std::u16string workingDir;
  if (driveForm && !parent.empty() && Utf8ToUtf16(parent, workingDir) &&
      workingDir.size() <= kMaxStringUnits) {
    flags |= kHasWorkingDir;
  }

  const uint64_t fileTime =
      target.time > 0 ? static_cast<uint64_t>(target.time) * 10000000 + kFileTimeEpochOffset : 0;
  PutU32(bytes, kHeaderSize);
  bytes.append(reinterpret_cast<const char*>(kLinkClsid), 16);
  PutU32(bytes, flags);
  PutU32(bytes, target.isDirectory ? kAttributeDirectory : kAttributeArchive);
  PutU64(bytes, fileTime);  // creation
  PutU64(bytes, fileTime);  // access
  PutU64(bytes, fileTime);  // write
  PutU32(bytes, target.isDirectory ? 0 : static_cast<uint32_t>(target.size));
  PutU32(bytes, 0);  // icon index
  PutU32(bytes, 1);  // SW_SHOWNORMAL
  PutU16(bytes, 0);  // hot key
  PutU16(bytes, 0);  // reserved
  PutU32(bytes, 0);
  PutU32(bytes, 0);
  if (driveForm && !BuildIdList(drive, parts, target, ansi, bytes)) {
    bytes.clear();
    return false;
  }
  AppendLinkInfo(bytes, path, ansi);
  if ((flags & kHasName) != 0) {
    std::u16string wide;
    if (!Utf8ToUtf16(description, wide)) {
      bytes.clear();
      return false;
    }
    AppendString(bytes, std::move(wide));
  }
  if ((flags & kHasWorkingDir) != 0) AppendString(bytes, std::move(workingDir));
  PutU32(bytes, 0);  // terminal block
  return true;
}

int ReadShortcut(const std::string& lnkPath, std::string& target, const ShortcutContext& context,
                 std::string* linuxTarget) {
  target.clear();
  if (linuxTarget != nullptr) linuxTarget->clear();
  if (lnkPath.empty()) return kShortcutUnreadable;
  // SECURITY: a shortcut may come from a customer: regular files only, size capped.
  std::string bytes;
  if (ReadSmallFile(lnkPath, kMaxShortcutFileSize, bytes) != SmallFileResult::kOk) {
    return kShortcutUnreadable;
  }
  CCodePage ansi = ShortcutCodePage(context.codePage);
  ShellLinkContents contents;
  if (!ParseShellLink(bytes, ansi, contents)) return kShortcutUnreadable;
  target = std::move(contents.target);
  std::string mapped;
  if (target.empty() || !MapManagedPath(target, context.drives, "", mapped)) {
    return kShortcutMissing;
  }
  if (linuxTarget != nullptr) *linuxTarget = mapped;
  if (DirectoryExists(mapped)) return kShortcutDirectory;
  if (PathExists(mapped, 0)) return kShortcutFile;
  return kShortcutMissing;
}

bool CreateShortcut(std::string_view target, const std::string& lnkPath,
                    std::string_view description, const ShortcutContext& context) {
  const size_t slash = lnkPath.rfind('/');
  if (slash == std::string::npos || slash + 1 == lnkPath.size()) return false;
  ShellLinkTarget link;
  link.path = std::string(target);
  std::string mapped;
  FileStatus status;
  if (MapManagedPath(target, context.drives, "", mapped) &&
      GetFileStatus(mapped, status, LinkPolicy::kFollow)) {
    link.isDirectory = status.kind == FileKind::kDirectory;
    link.size = status.kind == FileKind::kRegular ? status.size : 0;
    link.time = status.creationTime;
  }
  CCodePage ansi = ShortcutCodePage(context.codePage);
  std::string bytes;
  if (!BuildShellLink(link, description, ansi, bytes)) return false;

  // A temporary name in the same folder, then a rename that never replaces an existing file.
  static std::atomic<uint32_t> counter{0};
  const std::string folder = lnkPath.substr(0, slash + 1);
  CFile file;
  std::string temporary;
  for (int attempt = 0; attempt < 100 && !file.IsOpen(); ++attempt) {
    temporary = folder + ".zelm-shortcut-" + std::to_string(counter.fetch_add(1)) + ".tmp";
    file.Open(temporary, CFile::Mode::kWriteNew);
  }
  if (!file.IsOpen()) return false;
  const bool written = file.Write(bytes.data(), bytes.size());
  file.Close();
  if (written && MovePath(temporary, lnkPath)) return true;
  RemoveFile(temporary);
  return false;
}

}  // namespace zelm
