// Owns the bounds-checked Shell Link parser: header, ID list, link information, string data
// and the environment block, read from a buffer that holds the whole file.
#include "vfs/shell_link_reader.h"

#include <algorithm>
#include <cstring>

#include "platform/limits.h"
#include "vfs/shell_link_format.h"
#include "vfs/utf16_codec.h"

namespace zelm {
namespace {

using namespace lnk;

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

}  // namespace zelm
