// CFtpPath and NormalizePath: the path text of the server, split and rebuilt.
//
// Two kinds of path pass through the server: FTP paths as clients type them (separator "/",
// rooted at the session's virtual root "/") and Windows-form real paths as the management
// server sends them ("D:\ftp", "\\PC\D$\share"). `CFtpPath` holds one string and reads it as
// four consecutive parts, server + drive + directory + file name, deriving them anew from the
// text on every call; `NormalizePath` turns an FTP path relative to a current directory into
// a clean absolute FTP path.
//
// A backslash is an ordinary character to `NormalizePath`; callers that accept backslashes
// from clients turn them into "/" first. Comparisons of path text ignore ASCII letter case.
//
// Thread safety: values; no shared state.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace zelm {

// Appends `sep` to a non-empty `text` that does not already end with "\" or "/". With `sep`
// 0 the separator is "/" when the text contains a "/", otherwise "\".
void AddSeparator(std::string& text, char sep);

class CFtpPath final {
 public:
  CFtpPath() = default;
  explicit CFtpPath(std::string text) : text_(std::move(text)) {}

  const std::string& GetText() const { return text_; }
  void SetText(std::string text) { text_ = std::move(text); }

  // "\\server\" or "file://host/"; with `bare` the host name alone.
  std::string GetServer(bool bare = false) const;
  // "C:\", "C:/", or the share after a server part ("data\", "C$\").
  std::string GetDrive() const;
  // From the end of the drive part through the last separator; may be empty.
  std::string GetDirectory() const;
  // Whatever follows the directory part.
  std::string GetFileName() const;
  // The separator the text uses: the first of "\" and "/" when it holds both, "/" when it
  // holds only "/", otherwise "\".
  char GetSeparator() const;

  // Replaces the server part. An empty name makes the path local: an administrative share
  // ("C$\") becomes a drive ("C:\"). A share that is no drive has no local form; the text is
  // then left unchanged.
  void SetServer(std::string_view name);
  void SetDrive(std::string_view drive);
  void SetDirectory(std::string_view dir);
  void SetFileName(std::string_view name);
  // Appends one directory level (an empty name appends nothing).
  void AppendDirectory(std::string_view name);
  // "/" turns every "\" into "/"; any other character replaces every "/".
  void SetSeparator(char c);

  // Number of the path's own separators in the directory part (0 when that part is empty).
  size_t GetDirectoryCount() const;
  // Component `index` of the directory (component 0 includes the server and drive), or with
  // `prefixOnly` the text up to the separator that ends it; empty when there is none.
  std::string GetDirectoryComponent(size_t index, bool prefixOnly) const;
  // Joins `other` onto this path from the first directory component where they differ.
  void Combine(const CFtpPath& other);
  // True when the server part is empty or names this computer.
  bool IsLocal() const;

 private:
  size_t ServerLength() const;
  size_t DriveLength(size_t serverLength) const;
  // Start and length of the directory part.
  void DirectorySpan(size_t& start, size_t& length) const;

  std::string text_;
};

// Input of `NormalizePath`.
struct PathNormalizeRequest {
  std::string_view path;  // advanced past the prefixes the routine consumes
  std::string_view root;  // put in front of the result ("/")
  std::string_view base;  // directory the path is relative to (current directory or "/")
  char separator = '/';
};

// Writes the absolute, normalised form of `request.path` to `out`. False when the path cannot
// be normalised (an empty component such as "a//b"); `out` is then unchanged.
bool NormalizePath(PathNormalizeRequest& request, std::string& out);

// ASCII case-insensitive equality of two texts.
bool EqualsNoCase(std::string_view a, std::string_view b);

}  // namespace zelm
