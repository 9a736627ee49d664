// CFtpAccount: the account record of one control session, and CPathRightsList, the rights
// the management server granted for single paths.
//
// The record is filled from the management server's login answer (or copied from another
// logged-in session of the same client address) and reset by USER, a failed PASS and REIN.
// Thread safety: belongs to its session's thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vfs/file_system.h"

namespace zelm {

// Rights flags of an account or a path.
inline constexpr uint32_t kRightsRead = 0x1;
inline constexpr uint32_t kRightsWrite = 0x2;
inline constexpr uint32_t kRightsModify = 0x4;
inline constexpr uint32_t kRightsPerPath = 0x8;
inline constexpr uint32_t kRightsAll = 0x100000;

// Operation codes of the rights check.
enum AccessOperation : uint32_t {
  kOpList = 1,       // list or enter a directory
  kOpDownload = 2,   // RETR
  kOpStore = 3,      // STOR, STOU, APPE onto a new file
  kOpMakeDir = 4,    // MKD
  kOpAppend = 5,     // APPE onto an existing file
  kOpDelete = 7,     // DELE
  kOpRemoveDir = 8,  // RMD
};

// Whether `rights` allow `operation`.
bool RightsAllow(uint32_t rights, uint32_t operation);

class CPathRightsList final {
 public:
  struct Entry {
    std::string path;
    uint32_t rights = 0;
  };

  // SECURITY: the entry whose path is `path`, compared exactly as the file system names it
  // (a trailing slash aside). An entry for a folder says nothing about what lies below it.
  const Entry* Find(std::string_view path) const;
  // Replaces the rights of an entry for the same path, or appends one.
  void Set(std::string_view path, uint32_t rights);
  void RemoveAll() { entries_.clear(); }
  size_t GetCount() const { return entries_.size(); }
  const Entry& GetAt(size_t index) const { return entries_[index]; }

 private:
  std::vector<Entry> entries_;
};

class CFtpAccount final {
 public:
  CFtpAccount() { Reset(); }
  CFtpAccount(const CFtpAccount&) = delete;
  CFtpAccount& operator=(const CFtpAccount&) = delete;

  // Logs out: empties the texts, zeroes the numbers, idle timeout 600 s, resets the file
  // system; the per-path rights go too, so the next user of the connection never inherits
  // them.
  void Reset();
  // Takes over another session's login (a password-less login from the same client address).
  void CopyFrom(const CFtpAccount& other);

  std::string userName;
  std::string password;
  std::string createdHome;  // the home folder, when the login had to create it
  uint64_t quota = 0;       // bytes, 0 = none
  uint32_t carried1 = 0;
  uint32_t carried2 = 0;
  uint32_t bandwidth = 0;     // KiB per second, 0 = unlimited
  uint32_t sessionLimit = 0;  // sessions per user, 0 = none
  uint32_t carried3 = 0;
  uint32_t carried4 = 0;
  uint32_t carried5 = 0;
  uint32_t idleTimeout = 600;  // seconds
  uint32_t loggedIn = 0;
  CFtpFileSystem fileSystem;
  std::string managementText;
  // The home folder as the management server (or "Default Path") names it, before it is
  // mapped below the main path into the file system's home.
  std::string homeName;
  uint32_t rights = 0;
  CPathRightsList pathRights;
};

}  // namespace zelm
