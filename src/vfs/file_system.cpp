// Owns path resolution inside a session's home folder, the current directory, removals,
// unique upload names and the used-space total.
#include "vfs/file_system.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/files.h"
#include "platform/limits.h"
#include "vfs/file_helpers.h"
#include "vfs/ftp_path.h"

namespace zelm {
namespace {

bool IsDotComponent(std::string_view component) { return component == "." || component == ".."; }

// Splits `path` at "/" into its non-empty components.
std::vector<std::string_view> SplitComponents(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// Removes the last component of a current-directory text ("/pub/games/" -> "/pub").
void StripLastComponent(std::string& text) {
  if (text.size() > 1 && (text.back() == '/' || text.back() == '\\')) text.pop_back();
  if (text.size() <= 1) return;
  size_t p = text.rfind('/');
  if (p != std::string::npos && p > 1) {
    text.resize(p);
  } else if (p == 0) {
    text = "/";
  } else {
    p = text.rfind('\\');
    if (p != std::string::npos) text.resize(p);
  }
}

// True when something (of any kind, a dangling link included) exists at `path`.
bool EntryExists(const std::string& path) {
  FileStatus status;
  return GetFileStatus(path, status, LinkPolicy::kNoFollow);
}

}  // namespace

bool HasControlChars(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

bool HasInvalidNameChars(std::string_view name) {
  return name.find_first_of("\\*?\":<>|") != std::string_view::npos;
}

bool IsNameWindowsRefuses(std::string_view name) {
  if (name.empty() || name.back() == '.' || name.back() == ' ') return true;
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 ||
        std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos) {
      return true;
    }
  }
  std::string_view base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  for (std::string_view device : {"CON", "PRN", "AUX", "NUL"}) {
    if (EqualsNoCase(base, device)) return true;
  }
  if (base.size() == 4 &&
      (EqualsNoCase(base.substr(0, 3), "COM") || EqualsNoCase(base.substr(0, 3), "LPT"))) {
    return base[3] >= '1' && base[3] <= '9';
  }
  return false;
}

std::string_view LastPathComponent(std::string_view path) {
  while (!path.empty() && (path.back() == '/' || path.back() == '\\')) path.remove_suffix(1);
  const size_t cut = path.find_last_of("/\\");
  return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

void CFtpFileSystem::Reset() {
  homePath_.clear();
  homeBase_.clear();
  currentRealDir_.clear();
  currentDir_ = "/";
  lastError_ = 0;
  usedBytes_ = 0;
}

void CFtpFileSystem::SetHomePath(std::string_view path) {
  homePath_.clear();
  homeBase_.clear();
  // SECURITY: the home is the boundary of everything the client reaches; only a clean
  // absolute path is accepted.
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string_view::npos ||
      path.size() > kMaxPath) {
    return;
  }
  std::vector<std::string_view> kept;
  for (std::string_view part : SplitComponents(path)) {
    if (part == ".") continue;
    if (part == "..") {
      if (!kept.empty()) kept.pop_back();
      continue;
    }
    kept.push_back(part);
  }
  for (std::string_view part : kept) {
    homeBase_ += '/';
    homeBase_ += part;
  }
  homePath_ = homeBase_.empty() ? "/" : homeBase_;
}

bool CFtpFileSystem::GetClientCurrentDir(std::string& out) {
  return codePage_.FromUtf8(currentDir_, out);
}

bool CFtpFileSystem::IsInsideHome(std::string_view realPath) const {
  // SECURITY: component-wise containment; a string prefix alone would let /srv/ftp2 pass
  // for /srv/ftp.
  if (homePath_.empty() || realPath.find('\0') != std::string_view::npos) return false;
  if (realPath.size() < homeBase_.size() + 1) return realPath == homePath_;
  if (realPath.substr(0, homeBase_.size()) != homeBase_ || realPath[homeBase_.size()] != '/') {
    return false;
  }
  for (std::string_view part : SplitComponents(realPath.substr(homeBase_.size()))) {
    if (IsDotComponent(part)) return false;
  }
  return true;
}

bool CFtpFileSystem::MapToReal(const std::string& ftpPath, bool isDirectory,
                               std::string& real) const {
  // SECURITY: the real path is the home followed by the components of the normalised FTP
  // path; a component that could still climb ("." or "..") makes the path invalid.
  const std::vector<std::string_view> parts = SplitComponents(ftpPath);
  for (std::string_view part : parts) {
    if (IsDotComponent(part)) return false;
  }
  real = homeBase_;
  size_t directoryParts = parts.size();
  std::string_view name;
  if (!isDirectory && !ftpPath.ends_with('/') && !parts.empty()) {
    name = parts.back();
    --directoryParts;
  }
  for (size_t i = 0; i < directoryParts; ++i) {
    real += '/';
    real += parts[i];
  }
  real += '/';
  real += name;
  return real.size() <= kMaxPath && IsInsideHome(real);
}

ResolveResult CFtpFileSystem::ResolvePath(std::string_view ftpPath, bool isDirectory,
                                          std::string& realPathOut, std::string* realPathCopyOut,
                                          bool emptyMeansRoot) {
  realPathOut = currentDir_;
  // SECURITY: without a home there is no tree to map into.
  if (homePath_.empty()) return ResolveInvalid;

  std::string normalized;
  if (!ftpPath.empty()) {
    // SECURITY: the client's bytes become UTF-8 first (a "\" may be the second byte of a
    // double-byte character), then every "\" a separator, so "..\..\x" is resolved like
    // "../../x" and cannot leave the home. Control characters (NUL, CR, LF, ...) never reach
    // the file system: a name holding them could forge lines in a listing.
    std::string path;
    if (!codePage_.ToUtf8(ftpPath, path) || path.empty() || HasControlChars(path)) {
      return ResolveInvalid;
    }
    std::replace(path.begin(), path.end(), '\\', '/');
    const bool fromRoot = path.front() == '/' || EqualsNoCase(path, currentDir_);
    const std::string_view base = fromRoot ? std::string_view("/") : std::string_view(currentDir_);
    PathNormalizeRequest request{path, "/", base, '/'};
    if (!NormalizePath(request, normalized)) {
      PathNormalizeRequest retry{path, "/", "/", '/'};
      if (!NormalizePath(retry, normalized)) return ResolveInvalid;
    }
  } else if (isDirectory && emptyMeansRoot) {
    normalized = "/";
  } else {
    normalized = currentDir_;
  }

  // SECURITY: the temporary files of overwriting uploads are no client's to name.
  if (IsUploadTempName(normalized) ||
      normalized.find("/" + std::string(kUploadTempPrefix)) != std::string::npos) {
    return ResolveInvalid;
  }
  std::string real;
  if (!MapToReal(normalized, isDirectory, real)) return ResolveInvalid;
  if (realPathCopyOut != nullptr) *realPathCopyOut = real;

  int missing = 0;
  if (isDirectory) {
    // Missing levels of the real path below "/": when the deepest level exists, all exist;
    // otherwise its parent tells one missing level from two or more.
    const std::string deepest = real.size() > 1 ? real.substr(0, real.size() - 1) : real;
    if (!deepest.empty() && deepest != "/" && !DirectoryExists(deepest)) {
      missing = 1;
      const size_t slash = deepest.rfind('/');
      if (slash > 0 && !DirectoryExists(deepest.substr(0, slash))) missing = 2;
    }
  } else {
    missing = PathExists(real, 0) ? 0 : 1;
  }
  realPathOut = std::move(real);
  return static_cast<ResolveResult>(missing);
}

ResolveResult CFtpFileSystem::ResolveForRemoval(std::string_view ftpPath, bool isDirectory,
                                                std::string& realPathOut) {
  const ResolveResult result = ResolvePath(ftpPath, isDirectory, realPathOut, nullptr, false);
  if (result != ResolveExists || !isDirectory) return result;
  return IsDirectoryEmpty(realPathOut) ? ResolveExists : ResolveNotEmpty;
}

bool CFtpFileSystem::ChangeDirectory(std::string_view ftpPath) {
  std::string real;
  if (ResolvePath(ftpPath, true, real, nullptr, true) != ResolveExists) return false;
  if (real == currentRealDir_) return true;
  currentRealDir_ = real;
  if (ftpPath.empty() || ftpPath == "/") {
    currentDir_ = "/";
    return true;
  }
  // The FTP form follows from the real path below the home, keeping the client's letters.
  std::string tail = real.substr(homeBase_.size());
  currentDir_ = tail.starts_with('/') ? std::move(tail) : "/" + tail;
  return true;
}

void CFtpFileSystem::ChangeToParent() {
  StripLastComponent(currentDir_);
  if (currentDir_.size() < 2) {
    currentDir_ = "/";
    currentRealDir_ = homeBase_ + "/";
    return;
  }
  // SECURITY: the real directory is derived from the FTP one (which holds no "." or ".."),
  // so the two cannot drift apart and the result stays below the home.
  currentRealDir_ = homeBase_ + currentDir_ + "/";
}

bool CFtpFileSystem::CheckRemovable(const std::string& realPath, std::string& path) {
  // SECURITY: only entries below the home, never the home itself (removing it would leave
  // the session without a tree).
  path = realPath;
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  if (!IsInsideHome(path) || path == homePath_) {
    lastError_ = kWsaEacces;
    return false;
  }
  FileStatus status;
  if (!GetFileStatus(path, status, LinkPolicy::kNoFollow)) {
    lastError_ = static_cast<uint32_t>(LastSystemError());
    return false;
  }
  return true;
}

bool CFtpFileSystem::DeleteFile(const std::string& realPath) {
  std::string path;
  return CheckRemovable(realPath, path) && RemoveFile(realPath);
}

bool CFtpFileSystem::RemoveDirectory(const std::string& realPath) {
  lastError_ = 0;
  std::string path;
  return CheckRemovable(realPath, path) && RemoveEmptyDirectory(path);
}

bool CFtpFileSystem::MakeUniqueFileName(std::string& realPathOut) {
  realPathOut.clear();
  if (homePath_.empty()) return false;
  std::string base = currentRealDir_.empty() ? homeBase_ + "/" : currentRealDir_;
  AddSeparator(base, '/');
  // SECURITY: the directory is the current real directory, itself checked to lie below the
  // home when it was set.
  if (!IsInsideHome(base)) {
    realPathOut = homeBase_ + "/";
    return false;
  }
  std::string candidate = base + "file.tmp";
  if (EntryExists(candidate)) {
    char name[32];
    for (unsigned i = 0; i < 1000; ++i) {
      std::snprintf(name, sizeof name, "file[%03u].tmp", i);
      candidate = base + name;
      if (!EntryExists(candidate)) break;
    }
    if (EntryExists(candidate)) {
      realPathOut = base;
      return false;
    }
  }
  realPathOut = std::move(candidate);
  return true;
}

void CFtpFileSystem::ComputeUsedSpace() {
  usedBytes_ = 0;
  if (homePath_.empty()) return;
  // An explicit stack instead of recursion: a deep tree costs heap, not call stack, and
  // symbolic links are never followed, so a loop in the tree cannot make the walk endless.
  struct Pending {
    std::string path;
    size_t depth;
  };
  std::vector<Pending> pending;
  pending.push_back({homePath_, 0});
  std::vector<DirectoryEntry> entries;
  while (!pending.empty()) {
    Pending directory = std::move(pending.back());
    pending.pop_back();
    if (!ReadDirectory(directory.path, LinkPolicy::kNoFollow, entries)) continue;
    for (DirectoryEntry& entry : entries) {
      if (entry.status.kind == FileKind::kRegular) {
        usedBytes_ += entry.status.size;
      } else if (entry.status.kind == FileKind::kDirectory &&
                 directory.depth + 1 < kMaxDirectoryDepth) {
        std::string child = directory.path;
        AddSeparator(child, '/');
        child += entry.name;
        pending.push_back({std::move(child), directory.depth + 1});
      }
    }
  }
}

}  // namespace zelm
