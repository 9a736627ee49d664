// Owns every call the server makes on the POSIX file system.
#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/limits.h"

namespace zelm {
namespace {

template <typename Call>
auto RetryOnEintr(Call call) {
  for (;;) {
    auto result = call();
    if (result == -1 && errno == EINTR) continue;
    return result;
  }
}

FileKind KindOf(mode_t mode) {
  if (S_ISREG(mode)) return FileKind::kRegular;
  if (S_ISDIR(mode)) return FileKind::kDirectory;
  if (S_ISLNK(mode)) return FileKind::kSymlink;
  return FileKind::kOther;
}

// statx relative to `dirFd`; a followed link that dangles falls back to the link itself.
bool StatAt(int dirFd, const char* name, LinkPolicy links, FileStatus& status) {
  struct statx sx;
  const unsigned mask = STATX_TYPE | STATX_SIZE | STATX_MTIME | STATX_BTIME | STATX_INO;
  int flags = AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC;
  if (links == LinkPolicy::kNoFollow) flags |= AT_SYMLINK_NOFOLLOW;
  int rc = RetryOnEintr([&] { return statx(dirFd, name, flags, mask, &sx); });
  if (rc != 0 && links == LinkPolicy::kFollow && errno == ENOENT) {
    rc = RetryOnEintr([&] { return statx(dirFd, name, flags | AT_SYMLINK_NOFOLLOW, mask, &sx); });
  }
  if (rc != 0) return false;
  status.kind = KindOf(sx.stx_mode);
  status.size = sx.stx_size;
  status.creationTime = (sx.stx_mask & STATX_BTIME) != 0 && sx.stx_btime.tv_sec != 0
                            ? sx.stx_btime.tv_sec
                            : sx.stx_mtime.tv_sec;
  status.modificationTime = sx.stx_mtime.tv_sec;
  status.device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  status.inode = sx.stx_ino;
  return true;
}

// Opens a directory for reading; nullptr on failure.
DIR* OpenDirectory(const std::string& path) {
  if (path.empty() || path.size() > kMaxPath) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  const int fd = RetryOnEintr(
      [&] { return open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK); });
  if (fd < 0) return nullptr;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) close(fd);
  return dir;
}

bool IsDotEntry(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

int RemoveOne(const char* path, const struct stat*, int type, struct FTW*) {
  const int rc = (type == FTW_DP) ? rmdir(path) : unlink(path);
  return rc == 0 ? 0 : -1;
}

}  // namespace

bool GetFileStatus(const std::string& path, FileStatus& status, LinkPolicy links) {
  status = FileStatus{};
  if (path.empty() || path.size() > kMaxPath) {
    errno = path.empty() ? ENOENT : ENAMETOOLONG;
    return false;
  }
  return StatAt(AT_FDCWD, path.c_str(), links, status);
}

bool ReadDirectory(const std::string& path, LinkPolicy links,
                   std::vector<DirectoryEntry>& entries) {
  entries.clear();
  DIR* dir = OpenDirectory(path);
  if (dir == nullptr) return false;
  const int dirFd = dirfd(dir);
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) break;
    if (IsDotEntry(entry->d_name)) continue;
    DirectoryEntry& added = entries.emplace_back();
    added.name = entry->d_name;
    if (!StatAt(dirFd, entry->d_name, links, added.status)) added.status = FileStatus{};
  }
  closedir(dir);
  return true;
}

bool DirectoryHasEntries(const std::string& path) {
  DIR* dir = OpenDirectory(path);
  if (dir == nullptr) return false;
  bool found = false;
  while (const dirent* entry = readdir(dir)) {
    if (!IsDotEntry(entry->d_name)) {
      found = true;
      break;
    }
  }
  closedir(dir);
  return found;
}

bool CreateOneDirectory(const std::string& path) {
  if (path.empty() || path.size() > kMaxPath) return false;
  return RetryOnEintr([&] { return mkdir(path.c_str(), 0777); }) == 0;
}

bool RemoveFile(const std::string& path) {
  if (path.empty() || path.size() > kMaxPath) return false;
  return RetryOnEintr([&] { return unlink(path.c_str()); }) == 0;
}

bool RemoveEmptyDirectory(const std::string& path) {
  if (path.empty() || path.size() > kMaxPath) return false;
  return RetryOnEintr([&] { return rmdir(path.c_str()); }) == 0;
}

bool MovePath(const std::string& from, const std::string& to) {
  if (from.empty() || to.empty() || from.size() > kMaxPath || to.size() > kMaxPath) return false;
  int rc = RetryOnEintr(
      [&] { return renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE); });
  if (rc == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the no-replace flag: refuse an existing target, then rename.
  struct stat st;
  if (lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return false;
  }
  return RetryOnEintr([&] { return rename(from.c_str(), to.c_str()); }) == 0;
}

bool ReplaceFile(const std::string& from, const std::string& to) {
  if (from.empty() || to.empty() || from.size() > kMaxPath || to.size() > kMaxPath) return false;
  return RetryOnEintr([&] { return rename(from.c_str(), to.c_str()); }) == 0;
}

CFile::~CFile() { Close(); }

CFile::CFile(CFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

CFile& CFile::operator=(CFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

bool CFile::Open(const std::string& path, Mode mode) {
  Close();
  if (path.empty() || path.size() > kMaxPath) return false;
  int flags = O_CLOEXEC;
  mode_t permissions = 0666;
  switch (mode) {
    case Mode::kRead:
      flags |= O_RDONLY;
      break;
    case Mode::kWrite:
      flags |= O_WRONLY | O_CREAT;
      break;
    case Mode::kWriteTruncate:
      flags |= O_WRONLY | O_CREAT | O_TRUNC;
      break;
    case Mode::kWriteNew:
      flags |= O_WRONLY | O_CREAT | O_EXCL;
      break;
    case Mode::kWriteExisting:
      // SECURITY: nothing is created, and a link in the last place is not written through.
      flags |= O_WRONLY | O_NOFOLLOW;
      break;
    case Mode::kAppend:
      // A log: only the service's user and its group read it.
      flags |= O_WRONLY | O_CREAT | O_APPEND;
      permissions = 0640;
      break;
  }
  const int fd = RetryOnEintr([&] { return open(path.c_str(), flags, permissions); });
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    if (S_ISDIR(st.st_mode)) errno = EISDIR;
    close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void CFile::Close() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
}

int64_t CFile::Read(void* buffer, size_t length) {
  if (fd_ < 0) return -1;
  return RetryOnEintr([&] { return read(fd_, buffer, length); });
}

bool CFile::Write(const void* buffer, size_t length) {
  if (fd_ < 0) return false;
  const char* bytes = static_cast<const char*>(buffer);
  while (length > 0) {
    const ssize_t written = RetryOnEintr([&] { return write(fd_, bytes, length); });
    if (written <= 0) return false;
    bytes += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

uint64_t GetFileSize64(const CFile& file) {
  struct stat st;
  if (!file.IsOpen() || fstat(file.NativeHandle(), &st) != 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

bool GetFileId(const CFile& file, FileId& id) {
  id = {};
  struct stat st;
  if (!file.IsOpen() || fstat(file.NativeHandle(), &st) != 0) return false;
  id = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  return true;
}

uint64_t SeekFile(CFile& file, int64_t offset, int method) {
  int whence;
  switch (method) {
    case 0:
      whence = SEEK_SET;
      break;
    case 1:
      whence = SEEK_CUR;
      break;
    case 2:
      whence = SEEK_END;
      break;
    default:
      return 0;
  }
  if (!file.IsOpen()) return 0;
  const off_t position = lseek(file.NativeHandle(), static_cast<off_t>(offset), whence);
  return position < 0 ? 0 : static_cast<uint64_t>(position);
}

bool MakeTempDirectory(const std::string& prefix, std::string& path) {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = (tmp != nullptr && tmp[0] == '/') ? tmp : "/tmp";
  pattern += "/" + prefix + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) return false;
  path = buffer.data();
  return true;
}

bool RemoveTree(const std::string& path) {
  if (path.empty() || path == "/") return false;
  return nftw(path.c_str(), RemoveOne, 32, FTW_DEPTH | FTW_PHYS) == 0;
}

bool ResolveRealPath(const std::string& path, std::string& out) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return false;
  out = resolved;
  std::free(resolved);
  return true;
}

bool CreateSymbolicLink(const std::string& target, const std::string& path) {
  return symlink(target.c_str(), path.c_str()) == 0;
}

bool SetModificationTime(const std::string& path, int64_t seconds) {
  struct timespec times[2];
  times[0].tv_sec = seconds;
  times[0].tv_nsec = 0;
  times[1] = times[0];
  return utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace zelm
