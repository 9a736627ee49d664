// The file system as the server sees it: status of a path, directory reading, the single-level
// create, remove and rename operations, open files with size and seek, and temporary
// directories for tests.
//
// Paths are POSIX byte strings (UTF-8 on a normal system). Every call retries on EINTR, every
// descriptor is opened with O_CLOEXEC, and failures report the system's error number through
// `LastSystemError()` (platform/error.h), never by exception.
//
// Thread safety: every function is re-entrant; a `CFile` is used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelm {

enum class FileKind : uint8_t { kNone, kRegular, kDirectory, kSymlink, kOther };

// What the server needs to know about a file-system object.
struct FileStatus {
  FileKind kind = FileKind::kNone;
  // Bytes of a regular file; the platform's figure for anything else.
  uint64_t size = 0;
  // Creation time in seconds since the epoch: the birth time where the file system records
  // it, otherwise the time of the last modification.
  int64_t creationTime = 0;
  // Time of the last modification, seconds since the epoch.
  int64_t modificationTime = 0;
  // Which file this is: the device and inode numbers (0 when unknown).
  uint64_t device = 0;
  uint64_t inode = 0;
};

// A file's identity, the same for every name (hard link) of it.
struct FileId {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FileId&) const = default;
  bool IsKnown() const { return inode != 0; }
};
inline FileId IdOf(const FileStatus& status) { return {status.device, status.inode}; }

// Whether a status query looks through a symbolic link to its target.
enum class LinkPolicy : uint8_t { kFollow, kNoFollow };

// Reads the status of `path`. With kFollow a dangling link is reported as the link itself
// (kSymlink). False when the path cannot be examined (absent, no permission, too long).
bool GetFileStatus(const std::string& path, FileStatus& status,
                   LinkPolicy links = LinkPolicy::kFollow);

struct DirectoryEntry {
  std::string name;
  FileStatus status;
};

// Reads every entry of the directory `path` except "." and ".." with its status, in the order
// the file system returns them. An entry whose status cannot be read is kept with kind kNone.
// False when the directory cannot be opened; `entries` is cleared first either way.
bool ReadDirectory(const std::string& path, LinkPolicy links, std::vector<DirectoryEntry>& entries);

// True when the directory `path` can be opened and holds an entry besides "." and "..".
bool DirectoryHasEntries(const std::string& path);

// The absolute path of `path` with every symbolic link, "." and ".." resolved (realpath);
// false when it does not exist or cannot be examined.
bool ResolveRealPath(const std::string& path, std::string& out);

// Creates one directory (mode 0777 before the umask). False when it exists already, its parent
// is missing or the platform refuses.
bool CreateOneDirectory(const std::string& path);

// Removes a file or symbolic link (unlink) / an empty directory (rmdir).
bool RemoveFile(const std::string& path);
bool RemoveEmptyDirectory(const std::string& path);

// Renames a file or directory; fails when `to` exists already (nothing is replaced).
bool MovePath(const std::string& from, const std::string& to);
// Renames the file `from` over `to` in one step (an existing `to` is replaced, never seen
// missing). Both in one file system. False with the system error set.
bool ReplaceFile(const std::string& from, const std::string& to);

// An open file; closes itself. Movable, not copyable.
class CFile final {
 public:
  enum class Mode : uint8_t {
    kRead,           // existing file, read only
    kWrite,          // create or open for writing, keeping the contents
    kWriteTruncate,  // create or open for writing, contents removed
    kWriteNew,       // create; fails when the name exists
    kWriteExisting,  // existing file for writing, contents kept; fails on a symbolic link
    kAppend,         // create (mode 0640 before the umask) or open; every write goes to the end
  };

  CFile() = default;
  ~CFile();
  CFile(CFile&& other) noexcept;
  CFile& operator=(CFile&& other) noexcept;
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;

  // Opens `path`; a file already open is closed first. Refuses directories.
  bool Open(const std::string& path, Mode mode);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }

  // Reads up to `length` bytes; the count, 0 at the end, -1 on failure.
  int64_t Read(void* buffer, size_t length);
  // Writes all `length` bytes (looping on partial writes); false on failure.
  bool Write(const void* buffer, size_t length);

  int NativeHandle() const { return fd_; }

 private:
  int fd_ = -1;
};

// Size of an open file; 0 when it cannot be read.
uint64_t GetFileSize64(const CFile& file);
// Identity of an open file; false (and `id` unknown) when it cannot be read.
bool GetFileId(const CFile& file, FileId& id);

// Moves the file position: method 0 from the start, 1 from the current position, 2 from the
// end. Returns the new position, 0 when the call fails.
uint64_t SeekFile(CFile& file, int64_t offset, int method);

// Creates a fresh directory below the system's temporary folder whose name starts with
// `prefix`; false when that fails.
bool MakeTempDirectory(const std::string& prefix, std::string& path);

// Removes `path` and everything below it without following symbolic links (for cleaning up
// test trees). False when something could not be removed.
bool RemoveTree(const std::string& path);

// Creates a symbolic link at `path` pointing to `target`.
bool CreateSymbolicLink(const std::string& target, const std::string& path);

// Sets the modification time of `path` (seconds since the epoch).
bool SetModificationTime(const std::string& path, int64_t seconds);

}  // namespace zelm
