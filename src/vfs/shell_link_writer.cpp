// Owns the Shell Link writer: the bytes of a shortcut as Windows Explorer writes them, with an
// ID list and link information for a drive-letter target and link information alone for a
// Linux one.
#include "vfs/shell_link_writer.h"

#include <algorithm>
#include <vector>

#include "vfs/shell_link_format.h"
#include "vfs/utf16_codec.h"

namespace zelm {
namespace {

using namespace lnk;

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

}  // namespace zelm
