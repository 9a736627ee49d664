// Owns the splitting, rebuilding and normalising of path text.
#include "vfs/ftp_path.h"

#include <algorithm>

#include "platform/host.h"

namespace zelm {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

void ReplaceAll(std::string& text, char from, char to) {
  std::replace(text.begin(), text.end(), from, to);
}

char OtherSeparator(char sep) { return sep == '/' ? '\\' : '/'; }

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

void AddSeparator(std::string& text, char sep) {
  if (text.empty()) return;
  const char last = text.back();
  if (last == '\\' || last == '/') return;
  if (sep == 0) sep = text.find('/') != std::string::npos ? '/' : '\\';
  text.push_back(sep);
}

size_t CFtpPath::ServerLength() const {
  if (text_.size() > 2 && text_[0] == '\\' && text_[1] == '\\') {
    const size_t end = text_.find('\\', 2);
    return end == std::string::npos ? text_.size() : end + 1;
  }
  if (text_.size() >= 8 && StartsWithNoCase(text_, "file://")) {
    const size_t end = text_.find('/', 7);
    return end == std::string::npos ? text_.size() : end + 1;
  }
  return 0;
}

size_t CFtpPath::DriveLength(size_t serverLength) const {
  if (text_.size() > 2 && text_[1] == ':' && (text_[2] == '\\' || text_[2] == '/')) return 3;
  if (serverLength == 0) return 0;
  size_t end = text_.find('\\', serverLength);
  if (end != std::string::npos) return end + 1 - serverLength;
  end = text_.find(":/", serverLength);
  if (end != std::string::npos) return end + 2 - serverLength;
  return 0;
}

void CFtpPath::DirectorySpan(size_t& start, size_t& length) const {
  const size_t server = ServerLength();
  start = server + DriveLength(server);
  length = 0;
  size_t sep = text_.rfind('\\');
  if (sep == std::string::npos) sep = text_.rfind('/');
  if (sep != std::string::npos && sep != 0 && sep >= start) length = sep + 1 - start;
}

std::string CFtpPath::GetServer(bool bare) const {
  const size_t length = ServerLength();
  if (!bare || length == 0) return text_.substr(0, length);
  const size_t from = text_[0] == '\\' ? 2 : 7;
  size_t to = length;
  if (to > from && (text_[to - 1] == '\\' || text_[to - 1] == '/')) --to;
  return text_.substr(from, to - from);
}

std::string CFtpPath::GetDrive() const {
  const size_t server = ServerLength();
  return text_.substr(server, DriveLength(server));
}

std::string CFtpPath::GetDirectory() const {
  size_t start = 0;
  size_t length = 0;
  DirectorySpan(start, length);
  return text_.substr(start, length);
}

std::string CFtpPath::GetFileName() const {
  size_t start = 0;
  size_t length = 0;
  DirectorySpan(start, length);
  return text_.substr(std::min(start + length, text_.size()));
}

char CFtpPath::GetSeparator() const {
  const size_t back = text_.find('\\');
  const size_t slash = text_.find('/');
  if (back != std::string::npos && slash != std::string::npos) return back < slash ? '\\' : '/';
  if (slash != std::string::npos) return '/';
  return '\\';
}

void CFtpPath::SetServer(std::string_view name) {
  std::string result;
  if (!name.empty()) {
    if (name != "\\\\") result = "\\\\";
    result += name;
    AddSeparator(result, '\\');
  }
  result += GetDrive();
  if (name.empty() && (!result.empty() || ServerLength() != 0)) {
    if (!result.empty() && result.back() == '$') {
      result.pop_back();
    } else if (result.size() > 2 && result.ends_with("$\\")) {
      result.resize(result.size() - 2);
    }
    if (result.size() == 1) result += ":\\";
    const bool isDrive =
        result.size() > 2 && result[1] == ':' && (result[2] == '\\' || result[2] == '/');
    // A share that is no drive has no local form: leave the path as it is.
    if (!isDrive && ServerLength() != 0) return;
  }
  result += GetDirectory();
  result += GetFileName();
  text_ = std::move(result);
}

void CFtpPath::SetDrive(std::string_view drive) {
  std::string result = GetServer();
  result += drive;
  AddSeparator(result, '\\');
  result += GetDirectory();
  result += GetFileName();
  text_ = std::move(result);
}

void CFtpPath::SetDirectory(std::string_view dir) {
  std::string result = GetServer() + GetDrive();
  if (!dir.empty() && (dir.front() == '\\' || dir.front() == '/')) dir.remove_prefix(1);
  result += dir;
  AddSeparator(result, '\\');
  if (!text_.empty()) {
    const char sep = GetSeparator();
    ReplaceAll(result, OtherSeparator(sep), sep);
  }
  result += GetFileName();
  text_ = std::move(result);
}

void CFtpPath::SetFileName(std::string_view name) {
  std::string result = GetServer() + GetDrive() + GetDirectory();
  result += name;
  text_ = std::move(result);
}

void CFtpPath::AppendDirectory(std::string_view name) {
  std::string result = GetServer() + GetDrive() + GetDirectory();
  if (!name.empty()) {
    const char sep = GetSeparator();
    if (name.front() == sep) name.remove_prefix(1);
    result += name;
    AddSeparator(result, '\\');
    ReplaceAll(result, OtherSeparator(sep), sep);
  }
  result += GetFileName();
  text_ = std::move(result);
}

void CFtpPath::SetSeparator(char c) {
  if (text_.empty()) return;
  if (c == '/') {
    ReplaceAll(text_, '\\', '/');
  } else {
    ReplaceAll(text_, '/', c);
  }
}

size_t CFtpPath::GetDirectoryCount() const {
  const std::string dir = GetDirectory();
  if (dir.empty()) return 0;
  const size_t count = static_cast<size_t>(std::count(dir.begin(), dir.end(), GetSeparator()));
  return std::max<size_t>(count, 1);
}

std::string CFtpPath::GetDirectoryComponent(size_t index, bool prefixOnly) const {
  std::string copy = text_;
  const char sep = GetSeparator();
  const size_t server = ServerLength();
  const size_t start = server + DriveLength(server);
  size_t p = copy.find(sep, start);
  if (p == std::string::npos) return index == 0 ? text_ : std::string();
  AddSeparator(copy, '\\');
  size_t q = 0;
  for (size_t i = 0; i < index; ++i) {
    q = p + 1;
    p = copy.find(sep, q);
    if (p == std::string::npos) return {};
  }
  if (prefixOnly) return copy.substr(0, p);
  return copy.substr(q, p - q);
}

void CFtpPath::Combine(const CFtpPath& other) {
  std::string otherText = other.GetText();
  AddSeparator(otherText, '\\');
  const CFtpPath o(std::move(otherText));
  const size_t ownCount = GetDirectoryCount();
  const size_t otherCount = o.GetDirectoryCount();
  const size_t common = std::min(ownCount, otherCount);
  size_t k = common;
  for (size_t i = 0; i < common; ++i) {
    if (!EqualsNoCase(GetDirectoryComponent(i, false), o.GetDirectoryComponent(i, false))) {
      k = i;
      break;
    }
  }
  if (k == common) {
    if (otherCount != 0) SetDirectory(o.GetDirectory());
    return;
  }
  for (size_t j = k; j < otherCount; ++j) AppendDirectory(o.GetDirectoryComponent(j, false));
}

bool CFtpPath::IsLocal() const {
  const std::string server = GetServer(true);
  if (server.empty()) return true;
  std::string computer = GetComputerName();
  if (computer.size() > 100) computer.resize(100);
  return EqualsNoCase(server, computer);
}

bool NormalizePath(PathNormalizeRequest& request, std::string& out) {
  const char s = request.separator;
  std::string_view& path = request.path;
  const std::string_view root = request.root;
  if (path.size() == 1 && path[0] == s) {
    out.assign(root);
    return true;
  }
  const char oneDot[] = {'.', s, '\0'};
  const char twoDots[] = {'.', '.', s, '\0'};
  if (path.starts_with(oneDot)) path.remove_prefix(2);
  size_t levels = 0;
  while (path.starts_with(twoDots)) {
    path.remove_prefix(3);
    ++levels;
  }

  // Each leading "../" removes one level of the base; never above its first character.
  std::string base(request.base);
  if (levels > 0 && base.size() > 1) {
    do {
      if (levels == 0) break;
      --levels;
      const size_t last = base.rfind(s);
      if (last == std::string::npos) {
        base.clear();
      } else if (last == base.size() - 1) {
        base.pop_back();
        ++levels;  // a trailing separator costs no level
      } else {
        base.resize(last);
      }
    } while (base.size() > 1);
  }

  if (!root.empty() && StartsWithNoCase(path, root)) path.remove_prefix(root.size());

  std::string w;
  if (!path.empty() && path.front() == s) {
    w.assign(path);
  } else if (base.size() < 2) {
    w.push_back(s);
    w += path;
  } else if (base.back() == s) {
    w = base;
    w += path;
  } else {
    w = base;
    w.push_back(s);
    w += path;
  }

  const std::string oneDotSegment = {s, '.'};
  const std::string twoDotSegment = {s, '.', '.'};
  size_t prev = 0;
  size_t i = w.find(s, 1);
  while (i != std::string::npos) {
    const std::string_view seg = std::string_view(w).substr(prev, i - prev);
    if (seg == twoDotSegment) {
      size_t k = 0;
      if (i >= 4) {
        for (size_t j = i - 4;; --j) {
          if (w[j] == s) {
            k = j;
            break;
          }
          if (j == 0) break;
        }
      }
      std::string rest = i + 1 < w.size() ? w.substr(i + 1) : std::string();
      w.resize(k + 1);
      w += rest;
      prev = k;
    } else if (seg == oneDotSegment) {
      std::string rest = i + 1 < w.size() ? w.substr(i) : std::string();
      w.resize(prev);
      w += rest;
    } else if (seg.size() == 1) {
      return false;  // an empty component
    } else {
      prev = i;
    }
    i = w.find(s, prev + 1);
  }

  if (w.size() >= 3 && std::string_view(w).substr(w.size() - 3) == twoDotSegment) {
    w.resize(w.size() - 3);
    const size_t last = w.rfind(s);
    if (last == std::string::npos) {
      w.assign(1, s);
    } else {
      w.resize(last + 1);
    }
  } else if (w.size() >= 2 && std::string_view(w).substr(w.size() - 2) == oneDotSegment) {
    w.resize(w.size() - 2);
  }

  if (root.empty()) {
    out = std::move(w);
    return true;
  }
  const char r = root.back();
  const bool startsWithSep = !w.empty() && w.front() == s;
  std::string result(root);
  if (r != s && !startsWithSep) {
    result.push_back(s);
    result += w;
  } else if (r == s && startsWithSep) {
    result.append(w, 1);
  } else {
    result += w;
  }
  out = std::move(result);
  return true;
}

}  // namespace zelm
