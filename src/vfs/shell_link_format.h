// The numbers of the Shell Link binary format that its reader and writer share: header,
// link flags, link information, ID list items and extra data. doc/shortcuts.md has the layout;
// only shell_link_reader.cpp and shell_link_writer.cpp include this header.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelm::lnk {

inline constexpr uint32_t kHeaderSize = 0x4C;
inline constexpr uint8_t kLinkClsid[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                           0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
// Roots of the ID list that start a file-system path: "My Computer" and "Network".
inline constexpr uint8_t kMyComputerClsid[16] = {0xE0, 0x4F, 0xD0, 0x20, 0xEA, 0x3A, 0x69, 0x10,
                                                 0xA2, 0xD8, 0x08, 0x00, 0x2B, 0x30, 0x30, 0x9D};
inline constexpr uint8_t kNetworkClsid[16] = {0x60, 0x2C, 0x8D, 0x20, 0xEA, 0x3A, 0x69, 0x10,
                                              0xA2, 0xD7, 0x08, 0x00, 0x2B, 0x30, 0x30, 0x9D};

// Link flags.
inline constexpr uint32_t kHasIdList = 0x1;
inline constexpr uint32_t kHasLinkInfo = 0x2;
inline constexpr uint32_t kHasName = 0x4;
inline constexpr uint32_t kHasRelativePath = 0x8;
inline constexpr uint32_t kHasWorkingDir = 0x10;
inline constexpr uint32_t kHasArguments = 0x20;
inline constexpr uint32_t kHasIconLocation = 0x40;
inline constexpr uint32_t kIsUnicode = 0x80;
inline constexpr uint32_t kForceNoLinkInfo = 0x100;
inline constexpr uint32_t kHasExpString = 0x200;

inline constexpr uint32_t kAttributeDirectory = 0x10;
inline constexpr uint32_t kAttributeArchive = 0x20;

// Link information.
inline constexpr uint32_t kLinkInfoHeaderAnsi = 0x1C;
inline constexpr uint32_t kLinkInfoHeaderUnicode = 0x24;
inline constexpr uint32_t kVolumeIdAndLocalBasePath = 0x1;
inline constexpr uint32_t kCommonNetworkRelativeLink = 0x2;
inline constexpr uint32_t kDriveFixed = 3;
inline constexpr uint32_t kNetworkLinkMinSize = 0x14;

// ID list items.
inline constexpr uint8_t kClassRoot = 0x1F;
inline constexpr uint8_t kClassVolume = 0x2F;
inline constexpr uint8_t kClassDirectory = 0x31;
inline constexpr uint8_t kClassFile = 0x32;
inline constexpr uint8_t kClassUnicodeName = 0x04;
inline constexpr size_t kFileEntryFixedSize =
    14;  // size, class, 0, file size, date, time, attributes
inline constexpr uint32_t kFileEntryExtension = 0xBEEF0004;
inline constexpr uint16_t kExtensionVersion = 3;
inline constexpr uint16_t kExtensionNameOffset = 0x14;  // of the long name, in a version 3 block

// Extra data.
inline constexpr uint32_t kEnvironmentBlock = 0xA0000001;
inline constexpr size_t kEnvironmentBlockSize = 0x314;
inline constexpr size_t kEnvironmentAnsiSize = 260;
inline constexpr size_t kEnvironmentUnicodeSize = 520;

// Longest string the writer puts into the string data (in UTF-16 units).
inline constexpr size_t kMaxStringUnits = 260;

inline constexpr int64_t kFileTimeEpochOffset = 116444736000000000LL;  // 1601 to 1970 in 100 ns

}  // namespace zelm::lnk
