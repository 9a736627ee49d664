// Owns the existence, size and creation helpers on real paths and the small text helpers.
#include "vfs/file_helpers.h"

#include <algorithm>
#include <cctype>

#include "platform/files.h"
#include "platform/limits.h"

namespace zelm {
namespace {

char LowerChar(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool IsSlash(char c) { return c == '/' || c == '\\'; }

}  // namespace

bool PathExists(std::string_view path, uint32_t attributeMask) {
  if (path.empty() || path.size() > kMaxPath) return false;
  std::string copy(path);
  if (copy.size() > 1 && copy.back() == '/') copy.pop_back();
  FileStatus status;
  if (!GetFileStatus(copy, status, LinkPolicy::kFollow)) return false;
  const bool isDirectory = status.kind == FileKind::kDirectory;
  if (attributeMask != 0) {
    const uint32_t attributes = isDirectory ? kFileAttributeDirectory : kFileAttributeNormal;
    return (attributes & attributeMask) != 0;
  }
  return !isDirectory;
}

bool DirectoryExists(std::string_view path) { return PathExists(path, kFileAttributeDirectory); }

uint64_t GetFileSizeByName(std::string_view path) {
  FileStatus status;
  if (path.empty() || !GetFileStatus(std::string(path), status, LinkPolicy::kFollow)) return 0;
  return status.kind == FileKind::kRegular ? status.size : 0;
}

bool IsDirectoryEmpty(std::string_view path) {
  if (path.empty()) return true;
  return !DirectoryHasEntries(std::string(path));
}

bool PathMeetsLinkBelow(std::string_view home, std::string_view path) {
  while (home.size() > 1 && home.back() == '/') home.remove_suffix(1);
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  // SECURITY: a path outside the home is refused as if it met a link.
  if (home.empty() || path.size() > kMaxPath || path.substr(0, home.size()) != home) return true;
  if (path.size() == home.size()) return false;
  if (home.size() > 1 && path[home.size()] != '/') return true;
  // SECURITY: every level below the home is examined without following links; the home's own
  // levels are the operator's.
  size_t end = home.size() > 1 ? home.size() : 0;
  while (end < path.size()) {
    end = path.find('/', end + 1);
    if (end == std::string_view::npos) end = path.size();
    FileStatus status;
    if (!GetFileStatus(std::string(path.substr(0, end)), status, LinkPolicy::kNoFollow)) {
      return false;
    }
    if (status.kind == FileKind::kSymlink) return true;
  }
  return false;
}

bool CreateDirectoryTree(std::string_view path) {
  if (path.empty() || path.front() != '/' || path.size() > kMaxPath) return false;
  size_t start = 1;
  for (;;) {
    const size_t p = path.find('/', start);
    const std::string prefix(path.substr(0, p));
    if (prefix.size() > 1 && !DirectoryExists(prefix) && !CreateOneDirectory(prefix) &&
        !DirectoryExists(prefix)) {
      return false;
    }
    if (p == std::string_view::npos) return true;
    start = p + 1;
  }
}

bool SamePathNoCase(std::string_view a, std::string_view b) {
  const size_t shorter = std::min(a.size(), b.size());
  const size_t longer = std::max(a.size(), b.size());
  if (longer - shorter >= 2) return false;
  for (size_t i = 0; i < shorter; ++i) {
    if (LowerChar(a[i]) != LowerChar(b[i])) return false;
  }
  if (a.size() == b.size()) return true;
  return IsSlash(a.size() > b.size() ? a.back() : b.back());
}

bool IsPrefixNoCase(std::string_view a, std::string_view b) {
  if (b.empty() || a.size() >= b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerChar(a[i]) != LowerChar(b[i])) return false;
  }
  return true;
}

bool CharEquals(char c1, char c2, bool caseSensitive) {
  if (c1 == c2) return true;
  return !caseSensitive && LowerChar(c1) == LowerChar(c2);
}

bool FindCharInSet(std::string_view set, char c) { return set.find(c) != std::string_view::npos; }

std::optional<std::string_view> StartsWith(std::string_view text, std::string_view prefix) {
  if (prefix.empty() || text.size() < prefix.size()) return std::nullopt;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (!CharEquals(text[i], prefix[i], false)) return std::nullopt;
  }
  return text.substr(prefix.size());
}

std::string_view SkipPrefix(std::string_view text, std::string_view prefix) {
  return StartsWith(text, prefix).value_or(text);
}

}  // namespace zelm
